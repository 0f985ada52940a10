// Layered LAZ chunks (point formats 6-8): a chunk decoded a few points at a
// time gives exactly a run of its twin's records (test_laz compares whole
// files); scanner channels switch contexts as LASzip's reader does, item
// versions 3 and 4 apart; a damaged chunk gives a reason, never a crash or a
// read outside it.
#include "las_file.h"
#include "laz/arith.h"
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
    // 1_4_w_evlr.laz (format 6), 1.2-with-color.copc.laz (format 7),
    // gen-rgbnir16-extra-1.4.laz (format 8: NIR and 16-bit colours that change
    // in both bytes, three extra bytes).
    EXPECT_EQ(checked, 3);
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

// The coder's encoding side, for chunks composed here; it adapts the very
// models the decoder does.
struct Encoder {
    Bytes out;
    std::uint32_t base = 0, length = 0xFFFFFFFFu;
    void carry() {
        std::size_t i = out.size();
        while (out[--i] == 0xFF) out[i] = 0;
        ++out[i];
    }
    void renorm() {
        do {
            out.push_back(static_cast<unsigned char>(base >> 24));
            base <<= 8;
        } while ((length <<= 8) < kMinLength);
    }
    void narrow(std::uint32_t x, std::uint32_t len) {
        const std::uint32_t before = base;
        base += x;
        length = len;
        if (base < before) carry();
        if (length < kMinLength) renorm();
    }
    void bit(BitModel& m, unsigned b) {
        const std::uint32_t x = m.bit_0_prob * (length >> kBitShift);
        if (b == 0) ++m.bit_0_count;
        narrow(b ? x : 0, b ? length - x : x);
        if (--m.bits_until_update == 0) m.update();
    }
    void symbol(SymbolModel& m, unsigned s) {
        const std::uint32_t unit = length >> kSymShift, x = m.distribution[s] * unit;
        narrow(x, s == m.last_symbol ? length - x : m.distribution[s + 1] * unit - x);
        ++m.symbol_count[s];
        if (--m.symbols_until_update == 0) m.update();
    }
    void same(IntegerDecompressor& ic, unsigned context) {  // a value equal to its prediction
        symbol(ic.m_bits[context], 0);
        bit(ic.m_corrector0, 0);
    }
    Bytes done() {
        const bool wide = length > 2 * kMinLength;
        narrow(wide ? kMinLength : kMinLength >> 1, wide ? kMinLength >> 1 : kMinLength >> 9);
        out.insert(out.end(), wide ? 3 : 2, 0);
        return out;
    }
};

// A point of channel 0 with one extra byte of 10, then channel 1 (new in the
// chunk) with the byte 5 up, back to channel 0 with it 1 up, and on channel
// 0 once more 1 up. Only the XY and extra-byte layers are not empty.
TEST(LazLayered, ChannelSwitchesKeepTheContextsOfVersions3And4) {
    struct Ctx {  // the decoder's models of one channel, as they adapt
        std::vector<SymbolModel> changed = std::vector<SymbolModel>(8, SymbolModel(128));
        SymbolModel channel{3}, byte{256};
        IntegerDecompressor dx{32, 2}, dy{32, 22};
    } ctx[2];
    Encoder xy, extra;
    const unsigned switched = 1u << 6, lpr = 3;  // a single return before, time unchanged
    auto point = [&](Ctx& from, Ctx& to, unsigned changed, unsigned channel_step, unsigned byte_step) {
        xy.symbol(from.changed[lpr], changed);
        if (changed) xy.symbol(from.channel, channel_step);
        xy.same(to.dx, 1);  // single return: context 1 of both
        xy.same(to.dy, 1);
        extra.symbol(to.byte, byte_step);
    };
    point(ctx[0], ctx[1], switched, 0, 5);
    point(ctx[1], ctx[0], switched, 2, 1);
    point(ctx[0], ctx[0], 0, 0, 1);
    const Bytes xy_layer = xy.done(), byte_layer = extra.done();

    Bytes first(31, 0);
    first[14] = 0x11;  // return 1 of 1
    first[30] = 10;
    Bytes chunk = first;
    chunk.resize(chunk.size() + 4 + 40);
    put_u32(chunk, 31, 4);
    put_u32(chunk, 35, static_cast<std::uint32_t>(xy_layer.size()));
    put_u32(chunk, 71, static_cast<std::uint32_t>(byte_layer.size()));
    chunk.insert(chunk.end(), xy_layer.begin(), xy_layer.end());
    chunk.insert(chunk.end(), byte_layer.begin(), byte_layer.end());

    // Version 3 predicts the byte from the channel it left for the one point
    // that returns to a channel already used; version 4 from the one it enters.
    const unsigned char expected[2][4] = {{10, 15, 16, 11}, {10, 15, 11, 12}};
    for (std::uint16_t version : {3, 4}) {
        SCOPED_TRACE(version);
        Laszip z;
        z.compressor = 3;
        z.chunk_size = 50000;
        z.items = {{POINT14, 30, version}, {BYTE14, 1, version}};
        DecoderPtr d = make_decoder(z);
        Bytes out(4 * 31);
        std::string why;
        ASSERT_TRUE(start_chunk(*d, chunk.data(), chunk.size(), 4, why) && decode(*d, 4, out.data(), why)) << why;
        const unsigned char channel[4] = {0, 1, 0, 0};
        for (int i = 0; i < 4; ++i) {
            Bytes want = first;
            want[15] = static_cast<unsigned char>(channel[i] << 4);
            want[30] = expected[version - 3][i];
            EXPECT_EQ(Bytes(out.begin() + 31 * i, out.begin() + 31 * (i + 1)), want) << "point " << i;
        }
    }
}

}  // namespace
