// Waveform LAZ files (point formats 4, 5, 9 and 10), written by laz_make's
// own encoder with an uncompressed twin: each decodes to exactly the twin's
// records, the audit judges one like any other file, and a damaged chunk is
// named, never decoded into garbage.
#include "las_file.h"
#include "laz/laz.h"
#include "audit_json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

using namespace lastest;
using namespace lidar::laz;

namespace {

struct Made {
    Bytes laz, twin;
    std::string laz_path;
};

Made make(const TempDir& d, unsigned format, unsigned version) {
    Made m;
    const std::string name = std::to_string(format) + "-" + std::to_string(version);
    m.laz_path = d.file(name + ".laz");
    const RunResult r = run(LAZ_MAKE_PATH, {"wave", std::to_string(format), std::to_string(version), m.laz_path,
                                            d.file(name + ".twin.las")});
    EXPECT_EQ(r.status, 0);
    m.laz = read_file(m.laz_path);
    m.twin = read_file(d.file(name + ".twin.las"));
    return m;
}

std::uint64_t get_u64(const Bytes& b, std::size_t at) { return get_u32(b, at) | std::uint64_t{get_u32(b, at + 4)} << 32; }

// The whole file through the module's decoder, a chunk in pieces of growing
// size; "" and the records, or the reason.
std::string decode_file(const Bytes& b, Bytes& out) {
    const ReadAt read = [&b](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        if (at >= b.size()) return 0;
        n = std::min<std::size_t>(n, b.size() - at);
        std::memcpy(buf, b.data() + at, n);
        return static_cast<std::int64_t>(n);
    };
    const std::uint32_t offset = get_u32(b, 96);
    const unsigned record = b[105] | b[106] << 8;
    const std::uint64_t points = b[25] >= 4 ? get_u64(b, 247) : get_u32(b, 107);
    Laszip z;
    ChunkTable t;
    std::string why;
    if (!find_laszip(read, b[94] | b[95] << 8, get_u32(b, 100), offset, z, why) ||
        !items_fit(z, b[104] & 63, record, why) || !read_chunk_table(read, offset, b.size(), points, z, t, why))
        return why;
    DecoderPtr d = make_decoder(z);
    for (std::size_t i = 0; i < t.chunks.size(); ++i) {
        const Chunk& c = t.chunks[i];
        bool ok = start_chunk(*d, b.data() + c.offset, c.bytes, c.points, why);
        for (std::uint64_t done = 0, step = 1; ok && done < c.points; done += step, step = step * 3 + 1) {
            step = std::min(step, c.points - done);
            const std::size_t at = out.size();
            out.resize(at + step * record);
            ok = decode(*d, step, out.data() + at, why);
        }
        if (!ok) return "chunk " + std::to_string(i + 1) + ": " + why;
    }
    return {};
}

Bytes twin_records(const Bytes& twin) { return Bytes(twin.begin() + get_u32(twin, 96), twin.end()); }

// Layered versions 3 and 4 part after a switch back to a channel already
// used (the packet predicted from the channel left, or the one entered):
// read as the other version, a file's packets go wrong after its first
// such switch.
struct Kind {
    unsigned format, version, read_as;
};
const Kind kKinds[] = {{4, 2, 2}, {5, 2, 2}, {9, 3, 3}, {9, 4, 4}, {10, 3, 3}, {10, 4, 4}, {9, 3, 4}, {9, 4, 3}};

TEST(LazWave, DecodesToTheTwinsRecordsByteForByteAsTheirOwnVersion) {
    TempDir d;
    for (const Kind& k : kKinds) {
        SCOPED_TRACE("format " + std::to_string(k.format) + ", items of version " + std::to_string(k.version) +
                     " read as " + std::to_string(k.read_as));
        Made m = make(d, k.format, k.version);
        if (k.read_as != k.version) {
            // The LASzip record's last item, WAVEPACKET14, gets the other version.
            const std::size_t item = get_u32(m.laz, 96) - 6;
            ASSERT_EQ(m.laz[item] | m.laz[item + 1] << 8, WAVEPACKET14);
            m.laz[item + 4] = static_cast<unsigned char>(k.read_as);
        }
        Bytes records;
        ASSERT_EQ(decode_file(m.laz, records), "");
        EXPECT_EQ(records == twin_records(m.twin), k.read_as == k.version);
    }
}

// Judged current with the twin's points; a stale header is fixed back to
// exactly the bytes written, compressed bytes untouched.
TEST(LazWave, TheAuditJudgesAndFixesThemLikeAnyOtherFile) {
    TempDir d;
    for (unsigned format : {4, 5, 9, 10}) {
        SCOPED_TRACE(format);
        const Made m = make(d, format, format < 6 ? 2 : 4);
        const nlohmann::json j = audit_json({m.laz_path});
        ASSERT_EQ(j["status"], "current") << j.dump();
        EXPECT_EQ(j["points"], 5000);
        Bytes stale = m.laz;
        put_f64(stale, 179, get_f64(stale, 179) + 1000);
        if (format < 6) put_u32(stale, 111, 4999);
        else put_u32(stale, 255, 4999);
        const std::string f = d.file("stale.laz");
        write_file(f, stale);
        EXPECT_EQ(audit_json({"--fix", f})["status"], "fixed");
        EXPECT_TRUE(read_file(f) == m.laz);
    }
}

// A chunk cut or garbled in its wave packets: the audit refuses the file
// naming the chunk, and never writes it.
TEST(LazWave, DamagedChunksAreRefusedByName) {
    TempDir d;
    for (unsigned format : {4, 10}) {
        SCOPED_TRACE(format);
        const Made m = make(d, format, format < 6 ? 2 : 3);
        Bytes b = m.laz;
        if (format < 6) {
            // Inside the second of three chunks, of 2000, 2000 and 1000 points.
            std::fill(b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2), b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2 + 64), 0xFF);
        } else {
            // The first chunk's wave packet layer (its last) said to be 8 bytes.
            const std::size_t sizes = get_u32(b, 96) + 8 + 67 + 4;
            put_u32(b, sizes + 4 * 11, 8);
        }
        const std::string f = d.file("damaged.laz");
        write_file(f, b);
        const nlohmann::json j = audit_json({"--fix", f});
        EXPECT_EQ(j["status"], "refused") << j.dump();
        const std::string reason = j["reason"].is_string() ? j["reason"].get<std::string>() : "";
        EXPECT_NE(reason.find(format < 6 ? "chunk 2 of 3: " : "chunk 1 of 3: the wave packet layer ends"), std::string::npos)
            << reason;
        EXPECT_TRUE(read_file(f) == b);
    }
}

}  // namespace
