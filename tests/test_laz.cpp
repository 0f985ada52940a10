// The LAZ decoder on real files of other projects: each decodes to exactly
// the point records of its twin, decompressed by another tool. Damaged files
// and chunks give a reason, never a crash or a read outside them.
#include "las_file.h"
#include "laz/arith.h"
#include "laz/laz.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

using namespace lastest;
using namespace lidar::laz;
namespace fs = std::filesystem;

namespace {

std::uint64_t get_u64(const Bytes& b, std::size_t at) {
    return get_u32(b, at) | std::uint64_t{get_u32(b, at + 4)} << 32;
}
unsigned get_u16(const Bytes& b, std::size_t at) { return b.at(at) | b.at(at + 1) << 8; }

// The header fields the decoder is given.
struct Header {
    std::uint32_t header_size, vlr_count, offset;
    unsigned format, record_length;
    std::uint64_t points, end;
};

Header header_of(const Bytes& b) {
    const bool v14 = b.at(25) >= 4;
    Header h{get_u16(b, 94), get_u32(b, 100), get_u32(b, 96), b.at(104) & 63u, get_u16(b, 105),
             v14 ? get_u64(b, 247) : get_u32(b, 107), b.size()};
    if (v14 && get_u32(b, 243) && get_u64(b, 235) > h.offset && get_u64(b, 235) < b.size()) h.end = get_u64(b, 235);
    return h;
}

// Reads must stay inside the bytes; one that does not fails the test.
ReadAt reader(const Bytes& b) {
    return [&b](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        EXPECT_LE(at + n, b.size() + 0) << "read of " << n << " bytes at " << at;
        if (at >= b.size()) return 0;
        n = std::min<std::size_t>(n, b.size() - at);
        std::memcpy(buf, b.data() + at, n);
        return static_cast<std::int64_t>(n);
    };
}

// A whole file through the module: the stage that refused it and why, or
// "" and the records.
struct Outcome {
    std::string stage, why;
    std::vector<std::string> problems;
    Bytes records;
};

Outcome decode_file(const Bytes& b) {
    Outcome o;
    const Header h = header_of(b);
    const ReadAt read = reader(b);
    Laszip z;
    ChunkTable t;
    if (!find_laszip(read, h.header_size, h.vlr_count, h.offset, z, o.why)) return o.stage = "vlr", o;
    if (!items_fit(z, h.format, h.record_length, o.why)) return o.stage = "items", o;
    if (!read_chunk_table(read, h.offset, h.end, h.points, z, t, o.why)) return o.stage = "table", o;
    o.problems = t.problems;
    if (!t.count_problem.empty()) o.problems.push_back(t.count_problem);
    DecoderPtr d = make_decoder(z);
    for (std::size_t i = 0; i < t.chunks.size(); ++i) {
        const Chunk& c = t.chunks[i];
        EXPECT_LE(c.offset + c.bytes, h.end) << "chunk " << i + 1 << " lies outside the point data";
        std::size_t at = o.records.size();
        o.records.resize(at + c.points * h.record_length);
        // In pieces of growing size, so that a chunk is also continued across calls.
        bool ok = start_chunk(*d, b.data() + c.offset, c.bytes, c.points, o.why);
        for (std::uint64_t done = 0, step = 1; ok && done < c.points; done += step, step = step * 3 + 1) {
            step = std::min(step, c.points - done);
            ok = decode(*d, step, o.records.data() + at + done * h.record_length, o.why);
        }
        if (!ok) return o.stage = "chunk " + std::to_string(i + 1), o;
    }
    return o;
}

std::string data_file(const std::string& name) { return std::string(LASDATA_V14_DIR) + "/" + name; }

std::vector<std::string> laz_files() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(LASDATA_V14_DIR))
        if (e.path().extension() == ".laz") names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class LazTwin : public testing::TestWithParam<std::string> {};

TEST_P(LazTwin, DecodesToTheTwinsRecordsByteForByte) {
    const Bytes laz = read_file(data_file(GetParam() + ".laz"));
    const Bytes twin = read_file(data_file(GetParam() + ".twin.las"));
    Outcome o = decode_file(laz);
    ASSERT_EQ(o.stage, "") << o.why;
    EXPECT_TRUE(o.problems.empty()) << o.problems.front();
    const Header t = header_of(twin);
    ASSERT_LE(t.offset, t.end);
    Bytes want(twin.begin() + t.offset, twin.begin() + static_cast<long>(t.end));
    ASSERT_EQ(o.records.size(), want.size());
    // The other tool reads a COPC file's chunks in an order of its own.
    if (GetParam().find(".copc") != std::string::npos) {
        auto sorted = [&](Bytes& b) {
            const std::size_t n = t.record_length;
            std::vector<const unsigned char*> r;
            for (std::size_t i = 0; i < b.size(); i += n) r.push_back(b.data() + i);
            std::sort(r.begin(), r.end(), [n](auto x, auto y) { return std::memcmp(x, y, n) < 0; });
            Bytes s;
            for (const unsigned char* x : r) s.insert(s.end(), x, x + n);
            b.swap(s);
        };
        sorted(o.records);
        sorted(want);
    }
    auto diff = std::mismatch(o.records.begin(), o.records.end(), want.begin());
    EXPECT_TRUE(diff.first == o.records.end())
        << "first difference in record " << (diff.first - o.records.begin()) / t.record_length << ", byte "
        << (diff.first - o.records.begin()) % t.record_length;
}

INSTANTIATE_TEST_SUITE_P(RealFiles, LazTwin, testing::ValuesIn(laz_files()),
                         [](const testing::TestParamInfo<std::string>& p) {
                             std::string n = p.param;
                             std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return n;
                         });

// autzen_trim.laz: LAS 1.2, format 3, three chunks of up to 50,000 points.
struct Damage {
    const char* name;
    std::function<void(Bytes&)> harm;
    std::string stage;  // "" when the file still decodes, with a problem
    const char* says;
};

std::uint64_t table_at(const Bytes& b) { return get_u64(b, get_u32(b, 96)); }
// The LASzip VLR's items start 34 bytes into its body, after the first VLR.
std::size_t items_at(const Bytes& b) {
    std::size_t at = get_u16(b, 94);
    while (get_u16(b, at + 18) != 22204) at += 54 + get_u16(b, at + 20);
    return at + 54 + 34;
}

TEST(LazDamage, EachGivesAReasonNeverACrash) {
    const Bytes good = read_file(data_file("autzen_trim.laz"));
    const Damage cases[] = {
        {"table offset past the end", [](Bytes& b) { put_u32(b, get_u32(b, 96) + 4, 7); }, "table",
         "points outside the point data"},
        {"table claims too many chunks", [](Bytes& b) { put_u32(b, table_at(b) + 4, 0xFFFFFFF0u); }, "table",
         "more than the"},
        {"table of another version", [](Bytes& b) { put_u32(b, table_at(b), 2); }, "table", "version 2"},
        {"table cut short", [](Bytes& b) { b.resize(table_at(b) + 9); }, "table", "ends before its 3 entries"},
        {"file cut in the last chunk", [](Bytes& b) { b.resize(b.size() - 20000); }, "table", "points outside"},
        {"header count needs a fourth chunk", [](Bytes& b) { put_u32(b, 107, 160000); }, "",
         "lists 3 chunks but the header's point count needs 4"},
        {"wrong item type", [](Bytes& b) { put_u16(b, items_at(b) + 12, RGB14); }, "items", "needs RGB12"},
        {"wrong item size", [](Bytes& b) { put_u16(b, items_at(b) + 2, 21); }, "items", "states 21 bytes"},
        {"waveform item", [](Bytes& b) { put_u16(b, items_at(b) + 12, WAVEPACKET13); }, "items", "needs RGB12"},
        {"item of an unknown version", [](Bytes& b) { put_u16(b, items_at(b) + 4, 7); }, "items",
         "POINT10 version 7"},
        {"no LASzip VLR", [](Bytes& b) { put_u16(b, items_at(b) - 34 - 54 + 18, 22205); }, "vlr", "no LASzip VLR"},
        {"compressor 9", [](Bytes& b) { put_u16(b, items_at(b) - 34, 9); }, "vlr", "compressor 9"},
        {"chunks cut before the table", [](Bytes& b) {
             // The table stays whole: the last chunk loses its end.
             std::uint64_t t = table_at(b);
             Bytes table(b.begin() + static_cast<long>(t), b.end());
             b.resize(t - 3000);
             b.insert(b.end(), table.begin(), table.end());
             put_u32(b, get_u32(b, 96), static_cast<std::uint32_t>(t - 3000));
         }, "", "ends 3000 bytes past the start of the chunk table"},
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        c.harm(b);
        Outcome o = decode_file(b);
        if (c.stage.empty()) {
            ASSERT_FALSE(o.problems.empty());
            EXPECT_NE(o.problems.front().find(c.says), std::string::npos) << o.problems.front();
        } else {
            EXPECT_EQ(o.stage, c.stage);
            EXPECT_NE(o.why.find(c.says), std::string::npos) << o.why;
        }
    }
}

TEST(LazDamage, ATruncatedChunkSaysWhichPointIsMissing) {
    const Bytes b = read_file(data_file("autzen_trim.laz"));
    const Header h = header_of(b);
    Laszip z;
    ChunkTable t;
    std::string why;
    ASSERT_TRUE(find_laszip(reader(b), h.header_size, h.vlr_count, h.offset, z, why)) << why;
    ASSERT_TRUE(read_chunk_table(reader(b), h.offset, h.end, h.points, z, t, why)) << why;
    const Chunk& c = t.chunks.at(0);
    // A copy of just the kept bytes, so that reading past them would be seen by the sanitizers.
    for (std::size_t keep : {std::size_t{10}, std::size_t{40}, std::size_t{c.bytes / 2}}) {
        Bytes part(b.begin() + static_cast<long>(c.offset), b.begin() + static_cast<long>(c.offset + keep));
        DecoderPtr d = make_decoder(z);
        Bytes out(c.points * h.record_length);
        bool ok = start_chunk(*d, part.data(), part.size(), c.points, why) && decode(*d, c.points, out.data(), why);
        EXPECT_FALSE(ok) << keep;
        const char* says = keep < h.record_length ? "fewer than the 34 of its first point"
                                                  : "the compressed data ends before point ";
        EXPECT_NE(why.find(says), std::string::npos) << why;
    }
}

TEST(LazChunkTable, AnOffsetOfMinusOneFindsTheTableAtTheEnd) {
    const Bytes good = read_file(data_file("autzen_trim.laz"));
    Bytes b = good;
    const std::uint64_t table = table_at(b);
    const std::size_t data = get_u32(b, 96);
    for (int i = 0; i < 8; ++i) {
        b[data + i] = 0xFF;
        b.push_back(static_cast<unsigned char>(table >> (8 * i)));
    }
    const Outcome o = decode_file(b), want = decode_file(good);
    ASSERT_EQ(o.stage, "") << o.why;
    EXPECT_TRUE(o.problems.empty());
    EXPECT_EQ(o.records.size(), 110000u * 34);
    EXPECT_TRUE(o.records == want.records);
}

// The items of the point formats, and what is refused.
TEST(LazItems, FitThePointFormatAndRecordLength) {
    const Item p10{POINT10, 20, 2}, gps{GPSTIME11, 8, 2}, rgb{RGB12, 6, 2}, p14{POINT14, 30, 3};
    struct Case {
        unsigned format, length;
        std::vector<Item> items;
        std::uint16_t compressor;
        const char* says;  // "" when the items fit
    };
    const Case cases[] = {
        {0, 20, {p10}, 2, ""},
        {1, 28, {p10, gps}, 2, ""},
        {3, 34, {p10, gps, rgb}, 1, ""},
        {3, 37, {p10, gps, rgb, {BYTE, 3, 2}}, 2, ""},
        {2, 26, {p10, {RGB12, 6, 1}}, 2, ""},
        {6, 30, {p14}, 3, ""},
        {7, 36, {p14, {RGB14, 6, 3}}, 3, ""},
        {1, 28, {p10, rgb}, 2, "item 2 of the LASzip VLR is RGB12 version 2 where point format 1 needs GPSTIME11"},
        {3, 34, {p10, gps}, 2, "lists 2 items where point format 3 needs at least 3"},
        {1, 30, {p10, gps}, 2, "make records of 28 bytes but the header states 30"},
        {1, 28, {p10, {GPSTIME11, 8, 3}}, 2, "GPSTIME11 version 3, which is not decoded"},
        {4, 57, {p10, gps, {WAVEPACKET13, 29, 1}}, 2, ""},
        {10, 67, {p14, {RGBNIR14, 8, 4}, {WAVEPACKET14, 29, 4}}, 3, ""},
        {9, 58, {p14, {WAVEPACKET14, 28, 3}}, 3, "WAVEPACKET14 version 3, states 28 bytes"},
        {0, 20, {p10}, 3, "compressed pointwise, not by the layered compressor 3"},
        {6, 30, {p14}, 2, "compressed layered (compressor 3), not by compressor 2"},
        {0, 20, {{BYTE, 0, 2}}, 2, "is BYTE version 2 where point format 0 needs POINT10"},
        {11, 20, {p10}, 2, "point format 11 has no LAZ items"},
    };
    for (const Case& c : cases) {
        Laszip z;
        z.compressor = c.compressor;
        z.chunk_size = 50000;
        z.items = c.items;
        std::string why;
        SCOPED_TRACE("format " + std::to_string(c.format) + ", expecting '" + c.says + "'");
        EXPECT_EQ(items_fit(z, c.format, c.length, why), *c.says == 0) << why;
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
    }
}

TEST(LazArith, PastTheEndReadsZerosAndSaysSo) {
    const unsigned char bytes[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    ArithDecoder dec;
    EXPECT_FALSE(dec.init(bytes, bytes + 3));
    EXPECT_TRUE(dec.overrun);
    ASSERT_TRUE(dec.init(bytes, bytes + 6));
    EXPECT_FALSE(dec.overrun);
    dec.read_short();  // takes the next two bytes, the last there are
    EXPECT_FALSE(dec.overrun);
    dec.read_short();
    EXPECT_TRUE(dec.overrun);
}

}  // namespace
