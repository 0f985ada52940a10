#include "file_scan.h"

#include "count_limit.h"
#include "file_checks.h"
#include "message.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace lidar {

namespace {

const char* const kNeedsV12 = "\nCannot update the header of %s: point formats 2 and 3 need LAS version 1.2\n";
const char* const kShortHeader = "\nCannot read the 227-byte header of %s\n";
const char* const kInsideHeader =
    "\nCannot update the header of %s: its point records would start inside the 227-byte header\n";

}  // namespace

unsigned char* block_of(ScanBuffer& b) {
    if (b.size < 2 * kBlockBytes) {
        std::free(b.data);
        b.data = static_cast<unsigned char*>(std::malloc(2 * kBlockBytes));
        b.size = b.data ? 2 * kBlockBytes : 0;
    }
    return b.data;
}

void scan_observed(PointStats& s, PointDetail* d, const unsigned char* p, std::size_t n, const AreaScan& a) {
    if (!a.observer) {
        scan_block(s, d, p, n, a.record_length, a.return_mask, a.point_format);
        return;
    }
    // A block is as large as some processors' L2: the observer would read
    // it again from farther away.
    const std::size_t slice = std::max<std::size_t>(1, (64 << 10) / a.record_length);
    for (std::size_t done = 0; done < n;) {
        const std::size_t m = std::min(slice, n - done);
        const unsigned char* at = p + done * a.record_length;
        scan_block(s, d, at, m, a.record_length, a.return_mask, a.point_format);
        a.observer(a.observer_context, at, m);
        done += m;
    }
}

int scan_area(File& f, const Target& t, std::uint64_t offset, std::uint64_t end, const AreaScan& a, FileScan& out,
              std::string& why) {
    auto say = [&](int result, const char* format) {
        why = message(format, t.shown);
        return result;
    };
    const std::size_t reclen = a.record_length;
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

    if (!a.positional && !f.seek(offset)) return say(kFailed, "\nCannot seek to the point records of %s\n");
    std::uint64_t left = end > offset ? end - offset : 0;
    // Read-ahead advice pays only past the first block.
    if (left > block) f.advise_sequential();
    for (std::uint64_t at = offset; left > 0;) {
        const std::size_t want = left < block ? static_cast<std::size_t>(left) : block;
        const std::int64_t got = a.positional ? f.pread_full(at, buf, want) : f.read_full(buf, want);
        if (got < 0) return say(kFailed, "\nCannot read the point records of %s\n");
        out.point_bytes += static_cast<std::uint64_t>(got);
        if (t.bytes_read) t.bytes_read->fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        scan_observed(out.stats, a.detail, buf, static_cast<std::size_t>(got) / reclen, a);
        // A short block is the end of the file; a trailing fragment of a
        // record is not a point.
        if (static_cast<std::size_t>(got) < want) break;
        left -= want;
        at += want;
    }
    return kDone;
}

bool as_opened(File& f, const FileScan& out) {
    FileState now;
    return f.state(now) && unchanged(now, out.opened);
}

// From the same bytes and by the same checks as Vexholt's own path below.
std::string vexholt_refusal(const unsigned char* b, std::int64_t got, const char* shown, std::uint64_t records) {
    std::string why;
    if (check_file_extension_core(shown, "las", why) < 0) return why;
    const int LASType = classify_header(b, got, shown, why);
    if (LASType < 0) return why;
    const char* refusal = record_length_for(LASType) == 0                        ? kNeedsV12
                          : got < static_cast<std::int64_t>(sizeof(LAS12Header)) ? kShortHeader
                          : parse_header(b, static_cast<std::size_t>(got)).offset_to_data < sizeof(LAS12Header)
                              ? kInsideHeader
                          : records > legacy_count_limit() ? kTooManyMessage
                                                 : nullptr;
    return refusal ? message(refusal, shown) : "";
}

int open_and_scan(const Target& t, bool for_update, File& f, FileScan& out, std::string& why) {
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
    if (size > offset && (size - offset) / reclen > legacy_count_limit()) return say(kRefused, kTooManyMessage);
    const int result = scan_area(f, t, offset, UINT64_MAX, AreaScan{reclen, 7, out.model.point_format}, out, why);
    if (result != kDone) return result;
    if (out.stats.count > legacy_count_limit()) return say(kRefused, kTooManyMessage);
    // The update makes its own check before it writes.
    if (!for_update && !as_opened(f, out)) return say(kFailed, kChangedMessage);
    return kDone;
}

int scan_file(const Target& t, FileScan& out, std::string& why) {
    File f;
    return keep_io_error(open_and_scan(t, false, f, out, why), f, out);
}

}  // namespace lidar
