#include "file_scan.h"

#include "count_limit.h"
#include "file_checks.h"
#include "io_fault.h"
#include "laz_scan.h"
#include "message.h"
#include "update.h"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace lidar {

namespace {

// About 1 MiB per read, always a whole number of records. Each read call
// costs more than its copy on virtual machines, where 256 KiB blocks ran 1.5
// times slower than 1 MiB (AMD EPYC, 1 MiB L2); 1 MiB measured as fast as
// 256 KiB on an Intel Xeon with 2 MiB L2, where 2 MiB was 20% slower because
// the block no longer stayed in L2 between the read's copy and the scan.
constexpr std::size_t kBlockBytes = 1 << 20;

struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
};

}  // namespace

namespace {

// What a first read takes of a file larger than a block, or of any file
// whose header alone is judged: a page holds the header and, as a rule,
// its VLRs.
constexpr std::size_t kFirstBytes = 4096;

// t's buffer: a block for the reads of the point area, and after it as much
// again for the file's first bytes, which no block read overwrites. Null if
// memory is short. Pages are only taken as they are touched.
unsigned char* block_of(ScanBuffer& b) {
    if (b.size < 2 * kBlockBytes) {
        std::free(b.data);
        b.data = static_cast<unsigned char*>(std::malloc(2 * kBlockBytes));
        b.size = b.data ? 2 * kBlockBytes : 0;
    }
    return b.data;
}

// The file's first bytes in one read: a file of up to a block whole, so a
// tile costs one read; a larger one its first page. raw gets what a read
// of raw alone would have given. The count in raw, or -1.
std::int64_t read_first(File& f, const Target& t, FileScan& out) {
    const std::uint64_t size = out.opened.size > 0 ? static_cast<std::uint64_t>(out.opened.size) : 0;
    unsigned char* buf = t.buffer ? block_of(*t.buffer) : nullptr;
    std::size_t want = sizeof out.raw;
    // A size of 0 may be a file that says nothing of its size: its header
    // is read as it always was.
    if (buf && size > 0) {
        buf += kBlockBytes;
        want = static_cast<std::size_t>(
            std::min<std::uint64_t>(size, t.headers_only || size > kBlockBytes ? kFirstBytes : kBlockBytes));
    } else {
        buf = out.raw;
    }
    const std::int64_t got = f.read_full(buf, want);
    if (got < 0) return got;
    out.head = buf;
    out.head_size = static_cast<std::size_t>(got);
    out.head_ends = out.head_size < want;
    const std::size_t in_raw = std::min(out.head_size, sizeof out.raw);
    if (buf != out.raw) std::memcpy(out.raw, buf, in_raw);
    return static_cast<std::int64_t>(in_raw);
}

// Folds a block of whole records into the scan.
void fold(FileScan& out, PointStats& stats, PointDetail* detail, const unsigned char* p, std::size_t records,
          std::size_t reclen, unsigned mask) {
    scan_block(stats, detail, p, records, reclen, mask, out.model.point_format);
}

// Reads the point area from offset up to end (or the end of the file) in
// blocks of whole records and folds it into out.
int scan_area(File& f, const Target& t, std::uint64_t offset, std::uint64_t end, std::size_t reclen,
              unsigned mask, FileScan& out, std::string& why) {
    auto say = [&](int result, const char* format) {
        why = message(format, t.shown);
        return result;
    };
    // A point area the first read holds whole, or up to the file's end, is
    // not read again.
    if (t.general && out.head && offset <= out.head_size && (end <= out.head_size || out.head_ends)) {
        const std::uint64_t n = std::max(offset, std::min<std::uint64_t>(end, out.head_size)) - offset;
        out.point_bytes += n;
        if (t.bytes_read) t.bytes_read->fetch_add(n, std::memory_order_relaxed);
        fold(out, out.stats, t.detail, out.head + offset, static_cast<std::size_t>(n) / reclen, reclen, mask);
        return kDone;
    }
    const std::size_t block = kBlockBytes / reclen * reclen;
    // malloc, not new: a tight memory limit must give the message, not abort.
    std::unique_ptr<unsigned char, FreeDeleter> own;
    unsigned char* buf = nullptr;
    if (t.buffer) {
        buf = block_of(*t.buffer);
    } else {
        own.reset(static_cast<unsigned char*>(std::malloc(block)));
        buf = own.get();
    }
    if (!buf) return say(kFailed, "\nCannot allocate memory for storing a record of information from %s\n");

    // The audit reads by position: no seek for a file read in one block.
    if (!t.general && !f.seek(offset)) return say(kFailed, "\nCannot seek to the point records of %s\n");
    std::uint64_t left = end > offset ? end - offset : 0;
    // Read-ahead advice pays only past the first block.
    if (left > block) f.advise_sequential();
    for (std::uint64_t at = offset; left > 0;) {
        const std::size_t want = left < block ? static_cast<std::size_t>(left) : block;
        const std::int64_t got = t.general ? f.pread_full(at, buf, want) : f.read_full(buf, want);
        if (got < 0) return say(kFailed, "\nCannot read the point records of %s\n");
        out.point_bytes += static_cast<std::uint64_t>(got);
        if (t.bytes_read) t.bytes_read->fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        fold(out, out.stats, t.detail, buf, static_cast<std::size_t>(got) / reclen, reclen, mask);
        // A short block is the end of the file; a trailing fragment of a
        // record is not a point.
        if (static_cast<std::size_t>(got) < want) break;
        left -= want;
        at += want;
    }
    return kDone;
}

#ifndef _WIN32  // positional reads move the file position there: one thread reads
using Clock = std::chrono::steady_clock;

// Where a thread of a shared scan folds what it reads, copied or mapped.
struct Folding {
    FileScan* out;
    PointStats* stats;
    PointDetail* detail;
    std::size_t reclen;
    unsigned mask;
};
// The whole records of n bytes at p.
void fold_bytes(void* into, const unsigned char* p, std::size_t n) {
    const Folding& f = *static_cast<const Folding*>(into);
    fold(*f.out, *f.stats, f.detail, p, n / f.reclen, f.reclen, f.mask);
}

// One large point area read by several threads: it is cut into segments of
// whole records, which the threads take in turn and read with positional
// reads, each into statistics of its own; the partial results merge
// exactly. The scan counts only if what was read is the whole area: a
// segment short of its size is where the file ended, and anything read past
// that means the file changed under the scan (whether it was written at all
// is the caller's end check).
int scan_shared(File& f, const Target& t, std::uint64_t offset, std::uint64_t end, std::size_t reclen,
                unsigned mask, FileScan& out, std::string& why) {
    const std::uint64_t area = end - offset;
    const std::uint64_t seg = std::max<std::uint64_t>(1, t.share_segment / reclen) * reclen;
    const std::size_t segments = static_cast<std::size_t>((area + seg - 1) / seg);
    const std::size_t block = kBlockBytes / reclen * reclen;
    std::vector<std::uint64_t> got(segments, 0);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    struct Part {
        PointStats stats;
        PointDetail detail;
    };
    const IoPlanShare plan = share_io_plan();
    // Each segment is timed, mapped or copied. After four that pay for
    // the threads' start, four go mapped and four copied, so that the
    // threads take each way together (a mapping's teardown interrupts the
    // other threads, which would slow their copies and flatter the maps);
    // after that each segment goes the way faster so far, and every 16th
    // group of four the other way, as the way the kernel holds a file may
    // change along it. Once a segment is found not wholly in memory, all
    // are read.
    constexpr std::size_t kGroup = 4, kFirstTrial = 4, kRecheck = 16;
    std::atomic<bool> cold{false};
    std::atomic<std::int64_t> took[2] = {0, 0};  // ns: mapped, copied
    std::atomic<std::int64_t> times[2] = {0, 0};
    auto map_next = [&](std::size_t k) {
        if (t.segment_reads != SegmentReads::timed) return t.segment_reads == SegmentReads::mapped;
        if (cold || k < kFirstTrial) return false;
        const std::size_t group = (k - kFirstTrial) / kGroup;
        if (group < 2) return group == 0;
        const bool faster = double(took[0]) * double(times[1]) <= double(took[1]) * double(times[0]);
        return (group % kRecheck == 0) != faster;
    };
    auto timed = [&](bool mapped, Clock::time_point since) {
        took[mapped ? 0 : 1] += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since).count();
        ++times[mapped ? 0 : 1];
    };
    std::atomic<bool> shrank{false};
    // A segment scanned where the page cache holds it, unmapped again
    // before it is timed: 1 done; 0 to be read instead (not mapped, or not
    // wholly in memory, where read-ahead serves better than faults); -1 a
    // failed read; -2 the file shrank under it.
    auto scan_in_place = [&](Folding& into, std::uint64_t from, std::uint64_t to) {
        Mapped m;
        const int mapped = f.map(from, static_cast<std::size_t>(to - from), m);
        if (mapped <= 0) return mapped;
        if (t.segment_reads != SegmentReads::mapped && !f.cached(m)) return 0;
        return scan_mapped(m, fold_bytes, &into) ? 1 : -2;
    };
    std::vector<Part> parts(1);
    parts.reserve(9);  // the helpers' parts never move
    std::vector<std::thread> helpers;
    std::function<void(Part&, bool)> work;
    // Threads join while segments are left and the audit has idle ones:
    // the leading thread looks before each segment it takes.
    auto borrow = [&] {
        while (helpers.size() < 8 && next.load() + 1 < segments) {
            int n = t.spare->load();
            if (n <= 0 || !t.spare->compare_exchange_weak(n, n - 1)) return;
            Part& part = parts.emplace_back();
            try {
                helpers.emplace_back([&work, &part, plan] {
                    adopt_io_plan(plan);
                    work(part, false);
                });
            } catch (const std::system_error&) {
                parts.pop_back();
                t.spare->fetch_add(1);
                return;
            }
        }
    };
    work = [&](Part& part, bool lead) {
        std::unique_ptr<unsigned char, FreeDeleter> buf(static_cast<unsigned char*>(std::malloc(block)));
        if (!buf) {
            failed = true;
            return;
        }
        Folding into{&out, &part.stats, t.detail ? &part.detail : nullptr, reclen, mask};
        for (std::size_t k; !failed && !shrank && (!lead || (borrow(), true)) && (k = next.fetch_add(1)) < segments;) {
            const std::uint64_t from = offset + k * seg, to = std::min(end, from + seg);
            const Clock::time_point start = Clock::now();
            if (map_next(k)) {
                const int r = scan_in_place(into, from, to);
                if (r == -1) {
                    failed = true;
                    return;
                }
                // A page past the file's end: it shrank. The segment then
                // counts as unread, which refuses the scan.
                if (r == -2) {
                    shrank = true;
                    return;
                }
                if (r == 1) {
                    got[k] = to - from;
                    if (t.bytes_read) t.bytes_read->fetch_add(to - from, std::memory_order_relaxed);
                    timed(true, start);
                    continue;
                }
                cold = true;
            }
            for (std::uint64_t at = from; at < to;) {
                const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block, to - at));
                const std::int64_t n = f.pread_full(at, buf.get(), want);
                if (n < 0) {
                    failed = true;
                    return;
                }
                got[k] += static_cast<std::uint64_t>(n);
                if (t.bytes_read) t.bytes_read->fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
                fold_bytes(&into, buf.get(), static_cast<std::size_t>(n));
                if (static_cast<std::size_t>(n) < want) break;
                at += want;
            }
            if (k >= kFirstTrial) timed(false, start);
        }
    };
    work(parts[0], true);
    for (std::thread& h : helpers) h.join();
    t.spare->fetch_add(static_cast<int>(helpers.size()));
    if (failed) {
        why = message("\nCannot read the point records of %s\n", t.shown);
        return kFailed;
    }
    std::uint64_t total = 0;
    bool ended = false, changed = false;
    for (std::size_t k = 0; k < segments; ++k) {
        const std::uint64_t size = std::min(end, offset + (k + 1) * seg) - (offset + k * seg);
        changed |= ended && got[k] > 0;
        ended |= got[k] < size;
        total += got[k];
    }
    if (changed || total != area) {
        why = message(kChangedMessage, t.shown);
        return kFailed;
    }
    for (const Part& p : parts) {
        merge_stats(out.stats, p.stats);
        if (t.detail) merge_details(*t.detail, p.detail);
    }
    out.point_bytes += total;
    return kDone;
}
#endif

const char* const kTooMany = "\nCannot update the header of %s: more point records than a LAS header can count\n";
const char* const kNeedsV12 = "\nCannot update the header of %s: point formats 2 and 3 need LAS version 1.2\n";
const char* const kShortHeader = "\nCannot read the 227-byte header of %s\n";
const char* const kInsideHeader =
    "\nCannot update the header of %s: its point records would start inside the 227-byte header\n";

// Vexholt's verdict on a file the general rule accepts, from the same
// bytes and by the same checks as its own path below: empty if it would
// update it too.
std::string vexholt_verdict(const unsigned char* b, std::int64_t got, const Target& t, std::uint64_t records) {
    std::string why;
    if (check_file_extension_core(t.shown, "las", why) < 0) return why;
    const int LASType = classify_header(b, got, t.shown, why);
    if (LASType < 0) return why;
    const char* refusal = record_length_for(LASType) == 0                        ? kNeedsV12
                          : got < static_cast<std::int64_t>(sizeof(LAS12Header)) ? kShortHeader
                          : parse_header(b, static_cast<std::size_t>(got)).offset_to_data < sizeof(LAS12Header)
                              ? kInsideHeader
                          : records > legacy_count_limit() ? kTooMany
                                                 : nullptr;
    return refusal ? message(refusal, t.shown) : "";
}

// The point area from offset to end, decoded or read, by one thread or
// shared.
int scan_points(File& f, const Target& t, std::uint64_t offset, std::uint64_t end, FileScan& out,
                std::string& why) {
    if (out.model.compressed) return scan_laz(f, t, offset, end, out, why);
    const std::size_t reclen = out.model.record_length;
    const unsigned mask = return_mask_of(out.model.point_format);
#ifndef _WIN32
    if (t.spare && end > offset && end - offset >= t.share_from)
        return scan_shared(f, t, offset, end, reclen, mask, out, why);
#endif
    return scan_area(f, t, offset, end, reclen, mask, out, why);
}

// Whether f is still the file as it was opened: the same one, not written,
// grown or cut since, as far as its timestamps tell (the check the update
// makes before it writes). A scan counts only if so, else it mixes bytes
// of two versions of the file.
bool as_opened(File& f, const FileScan& out) {
    FileState now;
    return f.state(now) && unchanged(now, out.opened);
}

// The general rule: LAS 1.0 to 1.4, every point format, extra bytes.
int open_and_scan_general(const Target& t, bool for_update, File& f, FileScan& out, std::string& why) {
    auto say = [&](int result, const char* format) {
        why = message(format, t.shown);
        return result;
    };
    if (!(for_update ? f.open_update(t.where) : f.open_read(t.where))) {
        if (f.error() == kNotRegular) return say(kRefused, kTooShortMessage);
        out.open_error = f.error();
        why = access_failure_text(t.shown) + error_text(1, t.shown);
        return kRefused;
    }
    out.opened = f.opened();
    if (t.expect && !same_file(out.opened, *t.expect)) return say(kFailed, kChangedMessage);
    const std::int64_t got = read_first(f, t, out);
    if (got < 0) return say(kFailed, kTooShortMessage);
    // A compressed file is known by its content, whatever its name: writers
    // and downloads do not all name them .laz.
    const bool laz_content = got > 104 && std::memcmp(out.raw, "LASF", 4) == 0 && (out.raw[104] & 0xc0) != 0;
    if (!laz_content && !has_las_name(t.shown)) return say(kRefused, "\nFile extension of %s is not .las\n");
    out.raw_size = static_cast<std::size_t>(got);
    if (!classify_general(out.raw, got, t.shown, why, out.model, &out.id)) return kRefused;
    out.header_read = true;
    out.general = true;

    const std::uint64_t offset = out.model.offset_to_data;
    const std::uint64_t end = point_area_end(out.model, static_cast<std::uint64_t>(out.opened.size));
    const std::size_t reclen = out.model.record_length;
    // LAS 1.4 counts in 64 bits; earlier versions only in 32. Known from the
    // size alone, before a sparse file of terabytes is read.
    const std::uint64_t most = out.model.minor >= 4 ? UINT64_MAX : legacy_count_limit();
    if (end > offset && (end - offset) / reclen > most) return say(kRefused, kTooMany);
    if (t.headers_only && out.model.compressed) check_laz_end(f, offset, end, out);
    const int result = t.headers_only ? kDone : scan_points(f, t, offset, end, out, why);
    if (result != kDone) return result;
    // One read that took the whole file, as large as it was at open, or
    // the header alone with no point read, is one look at one version of
    // it: a second look would cost each small tile a twentieth of its
    // judging (2,000 tiles of 36 KiB, -j2: 37.7 ms against 35.8 ms; headers
    // only 28.8 ms against 27.2 ms). A compressed file is read again for
    // its chunks.
    const bool one_look = !out.model.compressed &&
                          (t.headers_only || (out.opened.size > 0 &&
                                              out.head_size == static_cast<std::uint64_t>(out.opened.size)));
    // An update makes its own check before it writes.
    if (!for_update && !one_look && !as_opened(f, out)) return say(kFailed, kChangedMessage);
    // Vexholt reads no LAZ: saying so on every compressed tile is noise.
    if (!t.headers_only && !out.model.compressed)
        out.vexholt_refusal = vexholt_verdict(out.raw, got, t, out.stats.count);
    return kDone;
}

}  // namespace

int open_and_scan(const Target& t, bool for_update, File& f, FileScan& out, std::string& why) {
    if (t.general && t.buffer) return open_and_scan_general(t, for_update, f, out, why);
    if (t.general) {
        // A buffer for this scan alone: what it held is gone after it.
        ScanBuffer own;
        Target with = t;
        with.buffer = &own;
        const int result = open_and_scan_general(with, for_update, f, out, why);
        out.head = out.raw;
        out.head_size = out.raw_size;
        out.head_ends = false;
        return result;
    }
    auto say = [&](int result, const char* format) {
        why = message(format, t.shown);
        return result;
    };
    // Read-only, the file the check opened is the one scanned.
    const int LASType = out.LASType =
        check_las_at(t.where, t.shown, why, &out.id, for_update ? nullptr : &f, &out.open_error);
    if (LASType < 0) return kRefused;
    const std::size_t reclen = record_length_for(LASType);
    if (reclen == 0) return say(kRefused, kNeedsV12);

    if (for_update && !f.open_update(t.where)) {
        // What is there now is no longer a regular file: not the one checked.
        if (f.error() == kNotRegular) return say(kFailed, kChangedMessage);
        out.open_error = f.error();
        return say(kFailed, "\nCannot open binary file %s for header update\n\n");
    }
    // The name may have been switched since the check or the walk: judge
    // what is open.
    out.opened = f.opened();
    if (t.expect && !same_file(out.opened, *t.expect)) return say(kFailed, kChangedMessage);
    if (!for_update && !f.seek(0)) return say(kFailed, kShortHeader);
    constexpr std::size_t kSize = sizeof(LAS12Header);
    std::int64_t got = f.read_full(out.raw, kSize);
    if (got != static_cast<std::int64_t>(kSize)) return say(got < 0 ? kFailed : kRefused, kShortHeader);
    out.header_read = true;
    out.raw_size = kSize;
    out.model = parse_header(out.raw, out.raw_size);
    std::string ignored;
    if (classify_header(out.raw, got, t.shown, ignored) != LASType) return say(kFailed, kChangedMessage);
    // Such a file would have its header scanned as points, and every update
    // would change it again.
    const std::uint64_t offset = out.model.offset_to_data;
    if (offset < kSize) return say(kRefused, kInsideHeader);
    // Known from the size alone: a sparse file of terabytes is not read for
    // minutes to find it out.
    const std::uint64_t size = static_cast<std::uint64_t>(out.opened.size);
    if (size > offset && (size - offset) / reclen > legacy_count_limit()) return say(kRefused, kTooMany);
    const int result = scan_area(f, t, offset, UINT64_MAX, reclen, 7, out, why);
    if (result != kDone) return result;
    if (out.stats.count > legacy_count_limit()) return say(kRefused, kTooMany);
    // The update makes its own check before it writes.
    if (!for_update && !as_opened(f, out)) return say(kFailed, kChangedMessage);
    return kDone;
}

int scan_file(const Target& t, FileScan& out, std::string& why) {
    File f;
    return open_and_scan(t, false, f, out, why);
}

}  // namespace lidar
