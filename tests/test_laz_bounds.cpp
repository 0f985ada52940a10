// The audit on hostile and cut LAZ files: what a file costs to judge is
// bounded by the bytes it holds, not by the counts it claims or its
// apparent (sparse) size; a cut file is short; a chunk whose points leave
// bytes unread is never fixed. Memory is bounded by prlimit, not a timer.
#include "sanitized.h"
#include "run.h"
#include "las_file.h"
#include "laz/arith.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace lastest;
using namespace lidar::laz;

namespace {

const std::string kDir = LASDATA_V14_DIR;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

unsigned get_u16(const Bytes& b, std::size_t at) { return b.at(at) | b.at(at + 1) << 8; }
std::size_t data_at(const Bytes& b) { return get_u32(b, 96); }
std::uint64_t table_at(const Bytes& b) { return get_u32(b, data_at(b)) | std::uint64_t{get_u32(b, data_at(b) + 4)} << 32; }
void put_u64(Bytes& b, std::size_t at, std::uint64_t v) {
    put_u32(b, at, static_cast<std::uint32_t>(v));
    put_u32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
// The body of the LASzip VLR.
std::size_t laszip_at(const Bytes& b) {
    std::size_t at = get_u16(b, 94);
    while (get_u16(b, at + 18) != 22204) at += 54 + get_u16(b, at + 20);
    return at + 54;
}

// Writes b and makes the file size bytes long: what is not written is a hole.
void write_sparse(const std::string& f, const Bytes& b, std::uint64_t size, std::uint64_t tail_at = 0,
                  const Bytes& tail = {}) {
    write_file(f, b);
    std::filesystem::resize_file(f, size);
    if (tail.empty()) return;
    std::fstream s(f, std::ios::in | std::ios::out | std::ios::binary);
    s.seekp(static_cast<std::streamoff>(tail_at));
    s.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
}

std::string prlimit() {
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin");
    for (std::string dir; std::getline(path, dir, ':');)
        if (std::filesystem::exists(dir + "/prlimit")) return dir + "/prlimit";
    return "prlimit";
}

// The audit's lines for the files, under limits of address space and CPU
// seconds (prlimit): one that runs out of either has no line. The summary
// is left out.
std::vector<nlohmann::json> audit(std::vector<std::string> args, std::uint64_t memory = 2 * kGiB, int cpu = 20) {
    std::vector<std::string> a = {"--cpu=" + std::to_string(cpu), audit_path(), "-q", "-j1", "--format", "jsonl"};
#if !LASTEST_SANITIZED
    // The sanitizers reserve terabytes of address space for themselves: the
    // plain build asserts the bound.
    a.insert(a.begin(), "--as=" + std::to_string(memory));
#else
    (void)memory;
#endif
    a.insert(a.end(), args.begin(), args.end());
    std::istringstream out(run(prlimit(), a).out);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(out, line);)
        if (!line.empty() && line.find("\"type\":\"summary\"") == std::string::npos)
            lines.push_back(nlohmann::json::parse(line));
    return lines;
}

nlohmann::json one(std::vector<std::string> args, std::uint64_t memory = 2 * kGiB, int cpu = 20) {
    std::vector<nlohmann::json> lines = audit(std::move(args), memory, cpu);
    return lines.empty() ? nlohmann::json{{"status", "no line"}} : lines.front();
}

const nlohmann::json* finding(const nlohmann::json& j, const std::string& rule) {
    if (!j.contains("findings")) return nullptr;
    for (const auto& f : j["findings"])
        if (f["rule"] == rule) return &f;
    return nullptr;
}

std::string reason(const nlohmann::json& j) {
    return j.contains("reason") && j["reason"].is_string() ? j["reason"].get<std::string>() : "";
}

// The coder's encoding side, enough for a chunk table: values coded as the
// table's integer decompressor reads them.
struct TableEncoder {
    Bytes out;
    std::uint32_t base = 0, length = 0xFFFFFFFFu;
    IntegerDecompressor models{32, 2};  // adapts exactly as the decoder's do
    void narrow(std::uint32_t x, std::uint32_t len) {
        const std::uint32_t before = base;
        base += x;
        length = len;
        if (base < before)
            for (std::size_t i = out.size(); i-- > 0 && ++out[i] == 0;) {}
        while (length < kMinLength) {
            out.push_back(static_cast<unsigned char>(base >> 24));
            base <<= 8;
            length <<= 8;
        }
    }
    void symbol(SymbolModel& m, unsigned s) {
        const std::uint32_t unit = length >> kSymShift, x = m.distribution[s] * unit;
        narrow(x, s == m.last_symbol ? length - x : m.distribution[s + 1] * unit - x);
        ++m.symbol_count[s];
        if (--m.symbols_until_update == 0) m.update();
    }
    void value(std::int32_t v, std::int32_t pred, unsigned context) {
        const std::int32_t c = v - pred;
        unsigned k = 0;
        for (std::uint32_t c1 = c <= 0 ? -c : c - 1; c1; c1 >>= 1) ++k;
        symbol(models.m_bits[context], k);
        ASSERT_GT(k, 8u) << "only values of more than 8 bits are coded here";
        const std::uint32_t cc = c < 0 ? c + (1u << k) - 1 : c - 1, low = k - 8;
        symbol(models.m_corrector[k - 1], cc >> low);
        const std::uint32_t unit = length >>= low;
        narrow(unit * (cc & ((1u << low) - 1)), unit);
    }
    Bytes done() {
        const bool wide = length > 2 * kMinLength;
        narrow(wide ? kMinLength : kMinLength >> 1, wide ? kMinLength >> 1 : kMinLength >> 9);
        out.insert(out.end(), wide ? 3 : 2, 0);
        return out;
    }
};

// 1. A table that claims hundreds of millions of chunks in a sparse 8 GiB
// file costs what its bytes decode to, and the file beside it is judged.
TEST(LazBounds, AHugeClaimedChunkTableIsOneRefusalUnderAMemoryLimit) {
    TempDir d;
    Bytes b = read_file(kDir + "/autzen_trim.laz");
    const std::uint64_t size = 8 * kGiB, table = size - (1 << 20);
    b.resize(table_at(b));
    put_u64(b, data_at(b), table);
    Bytes head(8, 0);
    put_u32(head, 4, static_cast<std::uint32_t>((table - data_at(b) - 8) / 34));  // as many as the area allows
    write_sparse(d.file("hostile.laz"), b, size, table, head);
    std::filesystem::copy_file(kDir + "/simple.laz", d.file("simple.laz"));
    const std::vector<nlohmann::json> lines = audit({d.path}, kGiB);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& j : lines) {
        const bool hostile = j["path"].get<std::string>().ends_with("hostile.laz");
        EXPECT_EQ(j["status"], hostile ? "refused" : "current") << j.dump();
        if (hostile) {
            EXPECT_NE(reason(j).find("it is not a chunk table"), std::string::npos) << reason(j);
        }
    }
}

// 2 and 3. An unchunked stream (compressor 1) is decoded through a window:
// a sparse 2 GiB one costs no more memory than a small one, and zeros,
// which decode to hundreds of points a byte, are refused within the first.
TEST(LazBounds, AnUnchunkedStreamCostsWhatItsBytesHold) {
    const Bytes simple = read_file(kDir + "/simple.laz");
    // The one chunk of simple.laz is the stream; no table, no offset to it.
    Bytes stream(simple.begin(), simple.begin() + static_cast<long>(data_at(simple)));
    put_u16(stream, laszip_at(stream), 1);
    stream.insert(stream.end(), simple.begin() + static_cast<long>(data_at(simple) + 8),
                  simple.begin() + static_cast<long>(table_at(simple)));
    Bytes zeros(stream.begin(), stream.begin() + static_cast<long>(data_at(stream) + 34));  // the first point only
    put_u32(zeros, 107, 4000000000u);
    struct Case {
        const char* what;
        const Bytes& bytes;
        std::uint64_t size;
        const char* status;
        const char* says;  // in the reason
    } cases[] = {
        {"the stream alone", stream, stream.size(), "current", ""},
        {"2 GiB of holes after it", stream, 2 * kGiB, "refused", "holds more than the 1065 points"},
        {"zeros after a first point", zeros, zeros.size() + 100000, "refused", "chunk 1 of 1: its first"},
    };
    TempDir d;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_sparse(d.file("tile.laz"), c.bytes, c.size);
        const nlohmann::json j = one({d.file("tile.laz")}, kGiB, 5);
        EXPECT_EQ(j["status"], c.status) << j.dump();
        EXPECT_NE(reason(j).find(c.says), std::string::npos) << reason(j);
    }
}

// 3. A layered chunk, which is read whole, of a size a sparse file makes free.
TEST(LazBounds, ALayeredChunkIsReadWholeOnlyUpToAFixedSize) {
    Bytes b = read_file(kDir + "/1_4_w_evlr.laz");
    b.resize(table_at(b));  // the one chunk; the EVLRs after it are left out
    put_u32(b, 243, 0);
    const std::uint64_t table = 100 << 20;
    put_u64(b, data_at(b), table);
    TableEncoder enc;
    enc.value(static_cast<std::int32_t>(table - data_at(b) - 8), 0, 1);
    Bytes tail(8, 0);
    put_u32(tail, 4, 1);
    const Bytes entries = enc.done();
    tail.insert(tail.end(), entries.begin(), entries.end());
    TempDir d;
    write_sparse(d.file("tile.laz"), b, table + tail.size(), table, tail);
    const nlohmann::json j = one({d.file("tile.laz")}, kGiB);
    EXPECT_EQ(j["status"], "refused") << j.dump();
    const std::string says = "chunk 1 of 1: its " + std::to_string(table - data_at(b) - 8) +
                             " bytes are more than a layered chunk is read whole";
    EXPECT_NE(reason(j).find(says), std::string::npos) << reason(j);
}

// 4. Empty VLRs and EVLRs by the tens of millions in a sparse file: the
// walks stop at a fixed number and say so.
TEST(LazBounds, VlrWalksStopAtAFixedNumber) {
    TempDir d;
    Bytes laz = read_file(kDir + "/simple.laz");
    laz.resize(227);
    put_u32(laz, 100, 20000000);
    put_u32(laz, 96, 227 + 20000000u * 54);
    write_sparse(d.file("vlrs.laz"), laz, 227 + 20000000ull * 54 + 1000);
    const nlohmann::json j = one({d.file("vlrs.laz")}, 2 * kGiB, 5);
    EXPECT_EQ(j["status"], "refused") << j.dump();
    EXPECT_NE(reason(j).find("first 65536 of the 20000000 VLRs"), std::string::npos) << reason(j);
    const nlohmann::json* vlrs = finding(j, "vlr.count");
    ASSERT_TRUE(vlrs) << j.dump();
    EXPECT_NE((*vlrs)["actual"].get<std::string>().find("65536"), std::string::npos) << vlrs->dump();

    Bytes las = read_file(kDir + "/simple1_4.las");
    const std::uint64_t evlrs = las.size();
    put_u64(las, 235, evlrs);
    put_u32(las, 243, 20000000);
    write_sparse(d.file("evlrs.las"), las, evlrs + 20000000ull * 60);
    const nlohmann::json e = one({"--headers-only", d.file("evlrs.las")}, 2 * kGiB, 5);
    const nlohmann::json* bounds = finding(e, "evlr.bounds");
    ASSERT_TRUE(bounds) << e.dump();
    EXPECT_NE((*bounds)["actual"].get<std::string>().find("65536"), std::string::npos) << bounds->dump();
}

// 5. A chunk whose points end before its bytes do holds more points than
// its count says: the file is not fixed to the smaller count, even where
// lost points are accepted.
TEST(LazBounds, AChunkWithBytesAfterItsPointsKeepsTheFileFromBeingFixed) {
    // A layered chunk's own count: 500 of its 1000 points.
    Bytes layered = read_file(kDir + "/1_4_w_evlr.laz");
    put_u32(layered, data_at(layered) + 8 + get_u16(layered, 105), 500);
    // simple.laz's one chunk in a table of variable chunks that gives it 500 of its 1065 points.
    Bytes variable = read_file(kDir + "/simple.laz");
    put_u32(variable, laszip_at(variable) + 12, 0xFFFFFFFFu);  // variable chunks
    TableEncoder enc;
    enc.value(500, 0, 0);
    enc.value(static_cast<std::int32_t>(table_at(variable) - data_at(variable) - 8), 0, 1);
    variable.resize(table_at(variable) + 8);
    const Bytes entries = enc.done();
    variable.insert(variable.end(), entries.begin(), entries.end());
    TempDir d;
    for (const Bytes* b : {&layered, &variable}) {
        write_file(d.file("tile.laz"), *b);
        const nlohmann::json j = one({"--fix", "--accept-lost-points", d.file("tile.laz")});
        EXPECT_NE(j["status"], "fixed") << j.dump();
        const nlohmann::json* f = finding(j, "laz.chunk-table");
        ASSERT_TRUE(f) << j.dump();
        EXPECT_NE((*f)["actual"].get<std::string>().find("chunk 1 of 1 leaves"), std::string::npos) << f->dump();
        EXPECT_TRUE(read_file(d.file("tile.laz")) == *b) << "not written";
    }
}

// 6. Cut anywhere past its header, a LAZ file is short, with its points
// decoded or from its header and chunk table alone.
TEST(LazBounds, ACutFileIsShortWithOrWithoutItsPoints) {
    TempDir d;
    for (const char* name : {"simple.laz", "1_4_w_evlr.laz"}) {
        const Bytes good = read_file(kDir + "/" + name);
        const std::uint64_t table = table_at(good);
        for (std::uint64_t keep : {std::uint64_t{good.size() / 2}, table + 4, table - 100}) {
            for (bool headers_only : {false, true}) {
                SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(keep) + (headers_only ? ", headers only" : ""));
                write_file(d.file("tile.laz"), Bytes(good.begin(), good.begin() + static_cast<long>(keep)));
                std::vector<std::string> args = {d.file("tile.laz")};
                if (headers_only) args.insert(args.begin(), "--headers-only");
                EXPECT_EQ(one(args)["status"], "short");
            }
        }
    }
}

// 7. Expected: the header's claim; found: what the chunks hold.
TEST(LazBounds, APointCountFindingReadsHeaderThenChunks) {
    TempDir d;
    Bytes b = read_file(kDir + "/1_4_w_evlr.laz");
    put_u32(b, 247, 999);
    write_file(d.file("tile.laz"), b);
    const nlohmann::json j = one({d.file("tile.laz")});
    const nlohmann::json* f = finding(j, "laz.point-count");
    ASSERT_TRUE(f) << j.dump();
    EXPECT_EQ((*f)["expected"], "999 points");
    EXPECT_EQ((*f)["actual"], "1000 points in the chunks");
}

}  // namespace
