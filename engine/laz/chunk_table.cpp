// The chunk table: where each chunk of compressed points lies and, for
// variable chunks (COPC), how many points it holds.
#include "laz/laz.h"
#include "laz/items.h"

#include <algorithm>
#include <new>

namespace lidar::laz {

namespace {

bool read_exact(const ReadAt& read, std::uint64_t at, void* buf, std::size_t n, std::uint64_t end) {
    return at <= end && n <= end - at && read(at, buf, n) == static_cast<std::int64_t>(n);
}

std::string num(std::uint64_t v) { return std::to_string(v); }

// The table's bytes, taken by its decoder a block at a time.
struct Window {
    const ReadAt* read;
    std::uint64_t at, end;
    std::uint64_t taken = 0;  // bytes read so far
    bool failed = false;
    unsigned char block[4096] = {};
};

bool next_window(ArithDecoder& dec, void* source) {
    Window& w = *static_cast<Window*>(source);
    if (w.at >= w.end) return false;
    const std::int64_t got = (*w.read)(w.at, w.block, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof w.block, w.end - w.at)));
    if (got <= 0) {
        w.failed = got < 0;
        w.at = w.end;
        return false;
    }
    w.at += static_cast<std::uint64_t>(got);
    w.taken += static_cast<std::uint64_t>(got);
    dec.next = w.block;
    dec.end = w.block + got;
    return true;
}

// Entries decoded for free, then at most this many a byte of the table.
constexpr std::uint64_t kFreeEntries = 1 << 16, kEntriesPerByte = 2;

}  // namespace

bool read_chunk_table(const ReadAt& read, std::uint64_t data_start, std::uint64_t end,
                      std::uint64_t header_points, const Laszip& z, ChunkTable& out, std::string& why) {
    out = ChunkTable{};
    const std::uint64_t record = z.record_length() ? z.record_length() : 1;
    if (data_start > end) {
        why = "the point data starts past its end";
        return false;
    }
    if (z.compressor == 1) {
        // Not chunked: one stream from the start of the point data.
        if (header_points) out.chunks.push_back(Chunk{data_start, end - data_start, header_points});
        out.points = header_points;
        return true;
    }
    unsigned char b[8];
    if (!read_exact(read, data_start, b, 8, end)) {
        if (header_points == 0 && end - data_start < 8) return true;
        why = "the file ends before the chunk table's offset at the start of the point data";
        return false;
    }
    const std::uint64_t chunks_start = data_start + 8;
    std::uint64_t table = get64(b);
    auto inside = [&](std::uint64_t t) { return t >= chunks_start && t <= end && end - t >= 8; };
    if (table == chunks_start - 8 && z.chunk_size != kVariableChunks) {
        why = "the chunk table was never written (its offset points at itself)";
        return false;
    }
    if (!inside(table)) {
        // Writers that cannot seek leave the offset at the end of the file.
        bool at_end = table == ~std::uint64_t{0};
        std::uint64_t stated = table;
        if (end - data_start < 16 || !read_exact(read, end - 8, b, 8, end) || !inside(table = get64(b))) {
            // A table that would lie past the end: the end was cut off.
            out.cut = !at_end && stated >= chunks_start;
            why = at_end ? "the chunk table's offset at the end of the file points outside the point data"
                         : "the chunk table's offset " + num(stated) + " points outside the point data" +
                               (out.cut ? ", which ends at byte " + num(end) : "");
            return false;
        }
        if (!at_end)
            out.problems.push_back("the chunk table's offset " + num(stated) +
                                   " points outside the point data; the offset at the end of the file was used");
    }
    if (!read_exact(read, table, b, 8, end)) {
        why = "the chunk table at " + num(table) + " could not be read";
        return false;
    }
    if (get32(b) != 0) {
        why = "the chunk table at " + num(table) + " is of version " + num(get32(b)) + ", not 0";
        return false;
    }
    const std::uint64_t count = get32(b + 4);
    const std::uint64_t area = table - chunks_start;
    // Each chunk starts with a whole raw point, which bounds what the table may claim.
    if (count > area / record + 1) {
        why = "the chunk table lists " + num(count) + " chunks, more than the " + num(area) +
              " bytes of compressed points can hold";
        return false;
    }
    const bool variable = z.chunk_size == kVariableChunks;
    if (count) {
        // The entries are read as the decoder takes them and the table grows
        // as they decode, so what it costs is what the file holds, not what
        // the count claims. An entry takes at most 2 x (4 bytes + a symbol).
        Window w{&read, table + 8, table + 8 + std::min(end - table - 8, count * 12 + 16)};
        ArithDecoder dec;
        dec.refill = next_window;
        dec.source = &w;
        dec.init(nullptr, nullptr);
        IntegerDecompressor ic(32, 2);
        ic.init();
        std::int32_t points = 0, size = 0;
        try {
            for (std::uint64_t i = 0; i < count && !dec.overrun; ++i) {
                // Real entries take a byte or more; only a run of zeros (as
                // a sparse file reads) decodes to many more a byte.
                const std::uint64_t used = w.taken - static_cast<std::uint64_t>(dec.end - dec.next);
                if (i > kFreeEntries && i - kFreeEntries > kEntriesPerByte * used) {
                    why = "the chunk table at " + num(table) + " decodes " + num(i) + " of its " + num(count) +
                          " entries from only " + num(used) + " bytes: it is not a chunk table";
                    out = ChunkTable{};
                    return false;
                }
                Chunk& c = out.chunks.emplace_back();
                if (variable) {
                    points = ic.decompress(dec, points, 0);
                    c.points = static_cast<std::uint32_t>(points);
                }
                size = ic.decompress(dec, size, 1);
                c.bytes = static_cast<std::uint32_t>(size);
            }
        } catch (const std::bad_alloc&) {
            why = "no memory for the " + num(out.chunks.size()) + " entries of the chunk table at " + num(table);
            out = ChunkTable{};
            return false;
        }
        if (w.failed) {
            why = "the chunk table at " + num(table) + " could not be read";
            out = ChunkTable{};
            return false;
        }
        if (dec.overrun) {
            const bool cut = w.at == end;
            why = "the chunk table at " + num(table) + " ends before its " + num(count) + " entries";
            out = ChunkTable{};
            out.cut = cut;
            return false;
        }
    }
    // Lay the chunks out end to end; one running past the table is cut there,
    // one that starts there does not exist.
    std::uint64_t at = chunks_start;
    for (std::size_t i = 0; i < out.chunks.size(); ++i) {
        Chunk& c = out.chunks[i];
        c.offset = at;
        if (at == table) {
            why = "the chunk table lists " + num(count) + " chunks but the compressed points end with chunk " + num(i);
            out = ChunkTable{};
            return false;
        }
        if (c.bytes > table - at) {
            out.problems.push_back("chunk " + num(i + 1) + " of " + num(count) + " ends " +
                                   num(c.bytes - (table - at)) + " bytes past the start of the chunk table");
            c.bytes = table - at;
        }
        at += c.bytes;
    }
    if (at < table)
        out.problems.push_back("the chunks end " + num(table - at) + " bytes before the chunk table");
    if (variable) {
        for (const Chunk& c : out.chunks) out.points += c.points;
        if (out.points != header_points)
            out.count_problem =
                "the chunk table's chunks hold " + num(out.points) + " points but the header states " + num(header_points);
        return true;
    }
    // Fixed chunks: all full but the last, which holds what the header's count leaves.
    const std::uint64_t per = z.chunk_size;
    const std::uint64_t needed = header_points / per + (header_points % per != 0);
    if (needed != count)
        out.count_problem =
            "the chunk table lists " + num(count) + " chunks but the header's point count needs " + num(needed);
    for (std::size_t i = 0; i < out.chunks.size(); ++i) {
        std::uint64_t before = i * per;
        bool last = i + 1 == out.chunks.size();
        std::uint64_t left = header_points > before ? header_points - before : 0;
        out.chunks[i].points = last && left > 0 && left < per ? left : per;
        out.points += out.chunks[i].points;
    }
    return true;
}

}  // namespace lidar::laz
