// libFuzzer target over the LAZ decoder: every input is a whole LAZ file
// (header, VLRs, chunks and chunk table) taken through the LASzip VLR, the
// chunk table and the decoding of every chunk, as the audit takes it. The
// run aborts on a read outside the file, a chunk outside the point data, a
// table whose points do not add up, more points decoded than the chunk
// holds, or a refusal without a reason.
#include "laz/laz.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void violation(const std::string& what) {
    std::fprintf(stderr, "\ninvariant broken: %s\n", what.c_str());
    std::abort();
}

std::uint64_t le(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lidar::laz;
    if (size < 227) return 0;
    const bool v14 = data[25] >= 4 && size >= 375;
    const std::uint32_t header_size = static_cast<std::uint32_t>(le(data + 94, 2));
    const std::uint32_t offset = static_cast<std::uint32_t>(le(data + 96, 4));
    const std::uint32_t vlrs = static_cast<std::uint32_t>(le(data + 100, 4));
    const unsigned format = data[104] & 63, record_length = static_cast<unsigned>(le(data + 105, 2));
    const std::uint64_t points = v14 ? le(data + 247, 8) : le(data + 107, 4);
    std::uint64_t end = size;
    if (v14 && le(data + 243, 4) && le(data + 235, 8) > offset && le(data + 235, 8) < size) end = le(data + 235, 8);

    // Each stage may read only up to its own limit: the VLRs up to the
    // points, the chunk table up to the end of the point area.
    std::uint64_t limit = offset;
    ReadAt read = [&](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        if (at > limit || n > limit - at) violation("a read of " + std::to_string(n) + " bytes at " +
                                                    std::to_string(at) + " passes " + std::to_string(limit));
        if (at >= size) return 0;
        n = std::min<std::size_t>(n, size - at);
        std::memcpy(buf, data + at, n);
        return static_cast<std::int64_t>(n);
    };
    Laszip z;
    std::string why;
    if (!find_laszip(read, header_size, vlrs, offset, z, why) || !items_fit(z, format, record_length, why)) {
        if (why.empty()) violation("refused without a reason");
        return 0;
    }
    limit = end;
    ChunkTable table;
    if (!read_chunk_table(read, offset, end, points, z, table, why)) {
        if (why.empty()) violation("the chunk table was refused without a reason");
        return 0;
    }
    std::uint64_t sum = 0;
    for (const Chunk& c : table.chunks) {
        if (c.offset < std::uint64_t{offset} + 8 && z.compressor != 1) violation("a chunk starts before the chunks");
        if (c.offset > end || c.bytes > end - c.offset) violation("a chunk lies outside the point area");
        sum += c.points;
    }
    if (sum != table.points) violation("the chunks' points do not add up to the table's");

    // A few points at a time into a buffer of just that size, so that any
    // write past them is seen; each layered chunk's bytes copied alone
    // likewise, pointwise ones read through the decoder's window as the
    // audit reads them.
    constexpr std::size_t kBatch = 64;
    std::vector<unsigned char> out(kBatch * record_length);
    DecoderPtr d = make_decoder(z);
    for (const Chunk& c : table.chunks) {
        std::vector<unsigned char> chunk;
        if (z.compressor == 3) chunk.assign(data + c.offset, data + c.offset + c.bytes);
        limit = c.offset + c.bytes;
        if (z.compressor == 3 ? !start_chunk(*d, chunk.data(), chunk.size(), c.points, why)
                              : !start_chunk_at(*d, read, c.offset, c.bytes, c.points, why)) {
            if (why.empty()) violation("a chunk was refused without a reason");
            continue;
        }
        std::uint64_t done = 0;
        while (done < c.points) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBatch, c.points - done));
            if (!decode(*d, n, out.data(), why)) {
                if (why.empty()) violation("decoding stopped without a reason");
                break;
            }
            done += n;
        }
        // Asking past the chunk's points must be refused.
        if (done == c.points && decode(*d, 1, out.data(), why)) violation("a point past the chunk's count was decoded");
        if (unread_bytes(*d) > c.bytes) violation("more bytes unread than the chunk holds");
    }
    return 0;
}
