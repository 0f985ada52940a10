// Layered LAZ chunks (point formats 6-8): a chunk decoded a few points at a
// time gives exactly a run of its twin's records (test_laz compares whole
// files); a damaged chunk gives a reason, never a crash or a read outside it.
#include "las_file.h"
#include "laz/laz.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace lastest;
using namespace lidar::laz;

namespace {

std::uint64_t get_u64(const Bytes& b, std::size_t at) {
    return get_u32(b, at) | std::uint64_t{get_u32(b, at + 4)} << 32;
}

// A LAZ file as the module sees it: its LASzip items and chunks.
struct LazFile {
    Bytes bytes;
    Laszip z;
    ChunkTable table;
    std::size_t record_length = 0;
};

LazFile open_laz(const std::string& path) {
    LazFile f;
    f.bytes = read_file(path);
    const Bytes& b = f.bytes;
    ReadAt read = [&b](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        if (at >= b.size()) return 0;
        n = std::min<std::size_t>(n, b.size() - at);
        std::memcpy(buf, b.data() + at, n);
        return static_cast<std::int64_t>(n);
    };
    const std::uint32_t offset = get_u32(b, 96);
    f.record_length = b[105] | b[106] << 8;
    const bool v14 = b[25] >= 4;
    const std::uint64_t evlrs = v14 ? get_u64(b, 235) : 0;
    const std::uint64_t end = v14 && get_u32(b, 243) && evlrs > offset ? evlrs : b.size();
    const std::uint64_t points = v14 ? get_u64(b, 247) : get_u32(b, 107);
    std::string why;
    EXPECT_TRUE(find_laszip(read, b[94] | b[95] << 8, get_u32(b, 100), offset, f.z, why)) << why;
    EXPECT_TRUE(items_fit(f.z, b[104] & 63, static_cast<unsigned>(f.record_length), why)) << why;
    EXPECT_TRUE(read_chunk_table(read, offset, end, points, f.z, f.table, why)) << why;
    return f;
}

// Every chunk in pieces of growing size, so that a chunk is also continued
// across calls. Empty on success, else the first reason.
std::string decode_all(const LazFile& f, Bytes& out) {
    DecoderPtr d = make_decoder(f.z);
    std::string why;
    for (const Chunk& c : f.table.chunks) {
        if (c.offset + c.bytes > f.bytes.size()) return "chunk outside the file";
        if (!start_chunk(*d, f.bytes.data() + c.offset, c.bytes, c.points, why)) return why;
        for (std::uint64_t done = 0, step = 1; done < c.points; done += step, step *= 3) {
            step = std::min(step, c.points - done);
            const std::size_t at = out.size();
            out.resize(at + step * f.record_length);
            if (!decode(*d, step, out.data() + at, why)) return why;
        }
    }
    return {};
}

TEST(LazLayered, ChunksDecodedInPiecesAreRunsOfTheTwin) {
    int checked = 0;
    const auto manifest = read_manifest(LASDATA_V14_DIR);
    for (const auto& [name, row] : manifest) {
        const int format = std::stoi(row.at("point_format"));
        if (row.at("compressed") != "yes" || format < 6 || format > 8) continue;
        SCOPED_TRACE(name);
        const LazFile f = open_laz(std::string(LASDATA_V14_DIR) + "/" + name);
        Bytes points;
        ASSERT_EQ(decode_all(f, points), "");
        const std::string twin_name = name.substr(0, name.size() - 4) + ".twin.las";
        const Bytes twin = read_file(std::string(LASDATA_V14_DIR) + "/" + twin_name);
        const std::size_t at = get_u32(twin, 96), rl = f.record_length;
        ASSERT_EQ(points.size(), std::stoull(manifest.at(twin_name).at("points")) * rl);
        ASSERT_LE(at + points.size(), twin.size());
        // LAStools reads a COPC file's chunks in the order of its octree, not
        // of the file: each chunk must be a run of the twin's records, the
        // runs all of them.
        std::vector<bool> seen(f.table.points);
        std::size_t from = 0;
        for (const Chunk& c : f.table.chunks) {
            const unsigned char* ours = points.data() + from * rl;
            std::size_t run = 0;
            while (run < seen.size() && std::memcmp(twin.data() + at + run * rl, ours, rl) != 0) ++run;
            ASSERT_LE(run + c.points, seen.size()) << "chunk at " << c.offset;
            for (std::size_t i = 0; i < c.points; ++i) {
                ASSERT_EQ(0, std::memcmp(ours + i * rl, twin.data() + at + (run + i) * rl, rl)) << "point " << from + i;
                ASSERT_FALSE(seen[run + i]);
                seen[run + i] = true;
            }
            from += c.points;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 2);  // 1_4_w_evlr.laz (format 6), 1.2-with-color.copc.laz (format 7)
}

// Damage to the first chunk of a format 6 file: its first point (30 bytes),
// its count, then the sizes of the nine POINT14 layers.
TEST(LazLayered, DamagedChunksGiveTheirReason) {
    const LazFile f = open_laz(std::string(LASDATA_V14_DIR) + "/1_4_w_evlr.laz");
    ASSERT_FALSE(f.table.chunks.empty());
    const Chunk c = f.table.chunks[0];
    constexpr std::size_t kCount = 30, kSizes = 34;
    auto layer_size = [](Bytes& b, int layer, std::uint32_t v) { put_u32(b, kSizes + 4 * layer, v); };
    struct Case {
        const char* name;
        std::function<void(Bytes&, std::uint64_t& points)> damage;
        const char* reason;
    };
    const Case cases[] = {
        {"no points", [](Bytes& b, std::uint64_t&) { put_u32(b, kCount, 0); }, "holds no points"},
        {"more points than the table", [](Bytes& b, std::uint64_t&) { put_u32(b, kCount, 1001); }, "more than the 1000"},
        {"fewer points than the table", [](Bytes&, std::uint64_t& p) { ++p; }, "holds 1000 points, fewer than the 1001"},
        {"cut inside the layer sizes", [](Bytes& b, std::uint64_t&) { b.resize(kSizes + 10); }, "too few for its first point"},
        {"a layer past the chunk", [&](Bytes& b, std::uint64_t&) { layer_size(b, 8, 0xFFFFFFF0u); }, "GPS time layer of 4294967280 bytes runs past"},
        {"a layer cut", [](Bytes& b, std::uint64_t&) { b.resize(b.size() - 100); }, "runs past the end of the chunk"},
        {"an empty first layer", [&](Bytes& b, std::uint64_t&) { layer_size(b, 0, 0); }, "XY layer is empty"},
        {"a layer too short to start", [&](Bytes& b, std::uint64_t&) { layer_size(b, 1, 3); }, "Z layer holds 3 bytes, too few"},
        {"a layer that runs out", [&](Bytes& b, std::uint64_t&) {
             b.resize(b.size() - get_u32(b, kSizes + 32) + 8);
             layer_size(b, 8, 8);
         }, "GPS time layer ends before point"},
    };
    DecoderPtr d = make_decoder(f.z);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bytes chunk(f.bytes.begin() + static_cast<std::ptrdiff_t>(c.offset),
                    f.bytes.begin() + static_cast<std::ptrdiff_t>(c.offset + c.bytes));
        std::uint64_t points = c.points;
        k.damage(chunk, points);
        Bytes out(points * f.record_length);
        std::string why;
        const bool ok = start_chunk(*d, chunk.data(), chunk.size(), points, why) &&
                        decode(*d, points, out.data(), why);
        EXPECT_FALSE(ok);
        EXPECT_NE(why.find(k.reason), std::string::npos) << why;
    }
    // The decoder is whole again for the next chunk.
    Bytes out(c.points * f.record_length);
    std::string why;
    EXPECT_TRUE(start_chunk(*d, f.bytes.data() + c.offset, c.bytes, c.points, why) &&
                decode(*d, c.points, out.data(), why)) << why;
}

}  // namespace
