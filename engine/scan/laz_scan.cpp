#include "laz_scan.h"

#include "io_fault.h"
#include "laz/laz.h"
#include "message.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace audit {

using namespace lidar;

namespace {

// A growable malloc'd buffer: a memory limit gives a message, not an abort.
struct Bytes {
    std::unique_ptr<unsigned char, FreeDeleter> data;
    std::size_t size = 0;
    bool reserve(std::size_t n) {
        if (n <= size) return true;
        data.reset(static_cast<unsigned char*>(std::malloc(n)));
        size = data ? n : 0;
        return data != nullptr;
    }
};

// Decoded points are scanned in batches of about this many bytes: large
// enough that the kernels run long, small enough to stay in cache.
constexpr std::size_t kBatchBytes = 256 << 10;

// Real points take several bytes each, and even a run of identical ones
// a fraction of a byte; zeros (a sparse file's) decode to hundreds a byte.
// Past the first points of a chunk, more than this many a byte of it are
// not points: the work a chunk costs is bounded by the bytes it holds.
constexpr std::uint64_t kFreePoints = 1 << 16, kPointsPerByte = 16;

// Layered chunks are read whole (their layers decode side by side): up to
// this size, some hundred times what a chunk of 50,000 points takes, so a
// sparse file cannot make a worker hold gigabytes.
constexpr std::uint64_t kMostWholeChunk = 64 << 20;

// What one thread decodes: its own decoder, buffers and partial results.
struct Worker {
    laz::DecoderPtr decoder;
    Bytes packed, points;
    PointStats stats;
    PointDetail detail;
    // The survey this worker's points go to: the target's for the first
    // worker, its own for a helper.
    PointSurvey* survey = nullptr;
    PointSurvey own;
    // Pointwise chunks are read as they decode, through this: how it went.
    laz::ReadAt read;
    bool read_failed = false, read_short = false;
};

enum class Outcome { done, unreadable, short_read, bad_chunk };

struct Shared {
    const laz::ChunkTable* table = nullptr;
    std::size_t reclen = 0;
    unsigned mask = 7, format = 0;
    bool details = false;
    std::atomic<std::uint64_t>* progress = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    // The first chunk that went wrong, and why.
    // Layered chunks of a fixed-size table state their own count, up to
    // this; pointwise ones hold what the table says, and the last one's
    // unread bytes tell whether the header's count left points out.
    std::uint64_t own_counts_up_to = 0;
    bool check_unread = false;
    bool streamed = false;      // pointwise: chunks read as they decode
    std::uint64_t file_size = 0;
    std::atomic<bool> count_short{false};
    std::atomic<bool> cut{false};  // the chunk that ends the file ran out
    std::mutex m;
    std::atomic<std::size_t> first_bad{SIZE_MAX};
    Outcome outcome = Outcome::done;
    std::string why;
    // Chunks whose points left bytes unread: their count is wrong. The
    // lowest is named.
    std::size_t unread_chunks = 0, first_unread = SIZE_MAX;
    std::string unread_why;
};

Outcome decode_chunk(Shared& s, Worker& w, std::size_t k, std::string& why) {
    const laz::Chunk& c = s.table->chunks[k];
    const std::uint64_t most = s.own_counts_up_to ? std::max(c.points, s.own_counts_up_to) : c.points;
    // The table placed the chunk inside the file as opened: a short read
    // means the file shrank under the audit.
    auto read_outcome = [&] {
        return w.read_failed ? Outcome::unreadable : w.read_short ? Outcome::short_read : Outcome::bad_chunk;
    };
    w.read_failed = w.read_short = false;
    if (s.streamed) {
        if (!laz::start_chunk_at(*w.decoder, w.read, c.offset, c.bytes, most, why)) return read_outcome();
    } else {
        if (c.bytes > kMostWholeChunk) {
            why = "its " + std::to_string(c.bytes) + " bytes are more than a layered chunk is read whole (" +
                  std::to_string(kMostWholeChunk) + ")";
            return Outcome::bad_chunk;
        }
        if (!w.packed.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(c.bytes, 1)))) {
            why = "no memory for its " + std::to_string(c.bytes) + " bytes";
            return Outcome::bad_chunk;
        }
        const std::size_t bytes = static_cast<std::size_t>(c.bytes);
        if (w.read(c.offset, w.packed.data.get(), bytes) != static_cast<std::int64_t>(bytes)) return read_outcome();
        if (!laz::start_chunk(*w.decoder, w.packed.data.get(), bytes, most, why)) return Outcome::bad_chunk;
    }
    const std::uint64_t points = laz::chunk_points(*w.decoder);
    const std::size_t batch = std::max<std::size_t>(1, kBatchBytes / s.reclen);
    if (!w.points.reserve(batch * s.reclen)) {
        why = "no memory for its decoded points";
        return Outcome::bad_chunk;
    }
    for (std::uint64_t done = 0; done < points;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(points - done, batch));
        if (!laz::decode(*w.decoder, n, w.points.data.get(), why)) {
            if (w.read_failed || w.read_short) return read_outcome();
            // Its compressed data ends where the file does: cut there.
            if (laz::ran_out(*w.decoder) && c.offset + c.bytes == s.file_size) s.cut = true;
            return Outcome::bad_chunk;
        }
        scan_block(w.stats, s.details ? &w.detail : nullptr, w.points.data.get(), n, s.reclen, s.mask, s.format);
        if (w.survey) survey_block(*w.survey, w.points.data.get(), n, s.reclen, s.format);
        done += n;
        const std::uint64_t used = c.bytes - laz::unread_bytes(*w.decoder);
        if (done > kFreePoints && done - kFreePoints > kPointsPerByte * used) {
            why = "its first " + std::to_string(done) + " points decode from only " + std::to_string(used) +
                  " of its bytes, more than compressed points can be";
            return Outcome::bad_chunk;
        }
    }
    // A decoder needs every byte of a chunk for its points, and no more.
    const std::uint64_t unread = laz::unread_bytes(*w.decoder);
    if (s.check_unread && k + 1 == s.table->chunks.size() && unread > 0) {
        why = "it holds more than the " + std::to_string(points) + " points the header's count leaves it: " +
              std::to_string(unread) + " of its bytes follow the last of them";
        s.count_short = true;
        return Outcome::bad_chunk;
    }
    if (unread > 0) {
        std::lock_guard lock(s.m);
        ++s.unread_chunks;
        if (k < s.first_unread) {
            s.first_unread = k;
            s.unread_why = "chunk " + std::to_string(k + 1) + " of " + std::to_string(s.table->chunks.size()) +
                           " leaves " + std::to_string(unread) + " of its " + std::to_string(c.bytes) +
                           " bytes after its " + std::to_string(points) + " points";
        }
    }
    return Outcome::done;
}

// Takes chunks in turn until none is left or one went wrong; the lowest
// chunk that went wrong is the one reported, whichever thread met it.
void work(File& f, Shared& s, Worker& w, const std::function<void()>& before_each) {
    std::string why;
    w.read = [&f, &s, &w](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        const std::int64_t got = f.pread_full(at, buf, n);
        w.read_failed |= got < 0;
        if (got < 0) return got;
        if (s.progress) s.progress->fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        w.read_short |= static_cast<std::size_t>(got) != n;
        return got;
    };
    for (;;) {
        if (before_each) before_each();
        const std::size_t k = s.next.fetch_add(1);
        if (k >= s.table->chunks.size() || s.stop.load()) return;
        const Outcome o = decode_chunk(s, w, k, why);
        if (o == Outcome::done) continue;
        std::lock_guard lock(s.m);
        if (k < s.first_bad.load()) {
            s.first_bad = k;
            s.outcome = o;
            s.why = why;
        }
        s.stop = true;
        return;
    }
}

// The VLRs and a small file's chunk table often lie in the bytes the first
// read took: no read of their own for them.
laz::ReadAt reader(File& f, const TileScan& out) {
    return [&f, &out](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        if (out.head && at <= out.head_size && n <= out.head_size - at) {
            std::memcpy(buf, out.head + at, n);
            return static_cast<std::int64_t>(n);
        }
        return f.pread_full(at, buf, n);
    };
}

// LAS 1.4 counts in 64 bits; a writer of formats 0-5 may leave them 0.
std::uint64_t stated_points(const LasHeader& h) { return h.minor >= 4 && h.count != 0 ? h.count : h.legacy_count; }

// The table read for a file cut short: where it would lie past the end of
// the file, not of the point area before the EVLRs.
bool table_cut(const laz::ChunkTable& table, std::uint64_t end, const TileScan& out) {
    return table.cut && end == static_cast<std::uint64_t>(out.opened.size);
}

}  // namespace

void check_laz_end(File& f, std::uint64_t offset, std::uint64_t end, TileScan& out) {
    const LasHeader& h = out.model;
    const laz::ReadAt read = reader(f, out);
    laz::Laszip z;
    laz::ChunkTable table;
    std::string what;
    if (!laz::find_laszip(read, h.header_size, out.model.vlr_count, h.offset_to_data,
                          z, what) ||
        z.compressor == 1)
        return;
    if (!laz::read_chunk_table(read, offset, end, stated_points(h), z, table, what)) out.short_points = table_cut(table, end, out);
}

int scan_laz(File& f, const TileTarget& t, std::uint64_t offset, std::uint64_t end, TileScan& out, std::string& why) {
    const LasHeader& h = out.model;
    auto refuse = [&](const std::string& what) {
        why = message("\nCannot decode the compressed points of %s: ", t.shown) + what + "\n";
        return kRefused;
    };
    const laz::ReadAt read = reader(f, out);
    const auto vlr_count = out.model.vlr_count;
    laz::Laszip z;
    std::string what;
    if (!laz::find_laszip(read, h.header_size, vlr_count, h.offset_to_data, z, what)) return refuse(what);
    if (!laz::items_fit(z, h.point_format, h.record_length, what)) return refuse(what);
    const std::uint64_t stated = stated_points(h);
    laz::ChunkTable table;
    if (!laz::read_chunk_table(read, offset, end, stated, z, table, what)) {
        out.short_points = table_cut(table, end, out);
        return refuse(what);
    }
    out.laz = true;
    for (const std::string& p : table.problems)
        out.laz_problems.push_back({"laz.chunk-table", "a chunk table that agrees with its chunks", p});
    // Where the points are counted: by each layered chunk itself, by a table
    // of variable chunks, or only by the header (pointwise, fixed size).
    const bool layered = z.compressor == 3 || std::any_of(z.items.begin(), z.items.end(), [](const laz::Item& i) {
                             return i.type >= laz::POINT14;
                         });
    const bool variable = z.chunk_size == laz::kVariableChunks;
    out.laz_counts_chunks = layered || variable;
    // Expected: what the header claims; found: what the chunks hold.
    auto count_finding = [&](const std::string& found) {
        out.laz_problems.push_back({"laz.point-count", std::to_string(stated) + " points", found});
    };
    if (!table.count_problem.empty() && !out.laz_counts_chunks) {
        count_finding(std::to_string(table.chunks.size()) + " chunks of up to " + std::to_string(z.chunk_size) +
                      " points");
        return refuse(table.count_problem + ", and only the header counts this file's points");
    }
    if (variable && !table.count_problem.empty()) count_finding(std::to_string(table.points) + " points in the chunks");

    Shared s;
    s.table = &table;
    s.reclen = h.record_length;
    s.mask = return_mask_of(h.point_format);
    s.format = h.point_format;
    s.details = t.detail != nullptr;
    s.progress = t.bytes_read;
    s.own_counts_up_to = layered && !variable ? z.chunk_size : 0;
    s.check_unread = !layered && !variable;
    s.streamed = !layered;
    s.file_size = static_cast<std::uint64_t>(out.opened.size);

    std::vector<Worker> workers(1);
    workers.reserve(9);  // helpers' workers never move
    workers[0].decoder = laz::make_decoder(z);
    workers[0].detail.box = t.detail ? t.detail->box : nullptr;
    workers[0].survey = t.survey;
    if (!workers[0].decoder) return refuse("no memory for a decoder");
    std::vector<std::thread> helpers;
#ifndef _WIN32
    // Chunks decode independently: idle threads of the audit take a share
    // of a file with several (on Windows positional reads move the file
    // position, so one thread reads).
    const IoPlanShare plan = share_io_plan();
    std::function<void()> borrow = [&] {
        while (t.spare && helpers.size() < 8 && s.next.load() + 1 < table.chunks.size()) {
            int n = t.spare->load();
            if (n <= 0 || !t.spare->compare_exchange_weak(n, n - 1)) return;
            Worker& w = workers.emplace_back();
            w.decoder = laz::make_decoder(z);
            w.detail.box = workers[0].detail.box;
            if (t.survey) {
                start_survey(w.own, out.grid);
                w.survey = &w.own;
            }
            try {
                if (!w.decoder) throw std::system_error(std::make_error_code(std::errc::not_enough_memory));
                helpers.emplace_back([&f, &s, &w, plan] {
                    adopt_io_plan(plan);
                    work(f, s, w, nullptr);
                });
            } catch (const std::system_error&) {
                workers.pop_back();
                t.spare->fetch_add(1);
                return;
            }
        }
    };
#else
    std::function<void()> borrow;
#endif
    work(f, s, workers[0], t.spare ? borrow : std::function<void()>());
    for (std::thread& th : helpers) th.join();
    if (t.spare) t.spare->fetch_add(static_cast<int>(helpers.size()));

    // Points that end before their chunk does: its count (in the chunk, or
    // the table) is wrong, and the points after them were never seen.
    if (s.unread_chunks)
        out.laz_problems.push_back(
            {"laz.chunk-table", "chunks whose points take all their bytes",
             s.unread_why + (s.unread_chunks > 1 ? " (and " + std::to_string(s.unread_chunks - 1) + " chunks more)" : "")});
    switch (s.outcome) {
        case Outcome::done: break;
        case Outcome::unreadable: why = message("\nCannot read the point records of %s\n", t.shown); return kFailed;
        case Outcome::short_read: why = message(kChangedMessage, t.shown); return kFailed;
        case Outcome::bad_chunk:
            if (s.count_short) count_finding("more than " + std::to_string(stated) + " points in the chunks");
            out.short_points = s.cut;
            return refuse("chunk " + std::to_string(s.first_bad.load() + 1) + " of " +
                          std::to_string(table.chunks.size()) + ": " + s.why);
    }
    for (const Worker& w : workers) {
        merge_stats(out.stats, w.stats);
        if (t.detail) merge_details(*t.detail, w.detail);
        if (w.survey == &w.own) merge_survey(*t.survey, w.own);
    }
    if (layered && out.stats.count != stated) count_finding(std::to_string(out.stats.count) + " points in the chunks");
    // The update checks the point area still ends where it did: all of it
    // was taken into account, the chunk table included.
    out.point_bytes = end - offset;
    return kDone;
}

}  // namespace audit
