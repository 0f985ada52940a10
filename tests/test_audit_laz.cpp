// The audit on LAZ files: a stale header is fixed in place without a
// compressed byte changing, a file is known as LAZ by its content, threads
// sharing one file's chunks find what one thread finds, and damage is named.
#include "run.h"
#include "las_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

using namespace lastest;

namespace {

const std::string kDir = LASDATA_V14_DIR;

nlohmann::json judged(const std::vector<std::string>& args) {
    std::vector<std::string> a = {"-q", "--format", "jsonl"};
    a.insert(a.end(), args.begin(), args.end());
    const std::string out = run(audit_path(), a).out;
    return nlohmann::json::parse(out.substr(0, out.find('\n')));
}

std::vector<std::string> rules_of(const nlohmann::json& j) {
    std::vector<std::string> ids;
    for (const auto& f : j["findings"]) ids.push_back(f["rule"]);
    return ids;
}

bool has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }

// Named anything: the content says it is LAZ.
TEST(AuditLaz, StaleHeaderIsFixedAndNoCompressedByteMoves) {
    TempDir d;
    const Bytes original = read_file(kDir + "/lazperf-point-color-time.laz");
    ASSERT_EQ(judged({kDir + "/lazperf-point-color-time.laz"})["status"], "current");
    Bytes stale = original;
    put_f64(stale, 179, get_f64(stale, 179) + 1000);  // MaxX
    put_u32(stale, 111, get_u32(stale, 111) - 1);     // points of return 1
    const std::string f = d.file("tile.dat");
    write_file(f, stale);

    const nlohmann::json before = judged({f});
    EXPECT_EQ(before["status"], "stale");
    EXPECT_TRUE(has(rules_of(before), "stats.extent") && has(rules_of(before), "stats.by-return")) << before.dump();
    EXPECT_EQ(judged({"--fix", f})["status"], "fixed");
    // The statistics (from byte 107 of this 1.2 header) are written as the
    // points say, which may differ from the writer's in a last bit.
    const Bytes after = read_file(f);
    ASSERT_EQ(after.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 107, after.begin()));
    EXPECT_TRUE(std::equal(original.begin() + 227, original.end(), after.begin() + 227));
    EXPECT_EQ(get_u32(after, 111), get_u32(original, 111));
    EXPECT_EQ(get_f64(after, 179), get_f64(original, 179));
    EXPECT_EQ(judged({f})["status"], "current");
}

// A layered chunk states its own count, so a stale count is fixed.
TEST(AuditLaz, LayeredChunksCountTheirOwnPoints) {
    TempDir d;
    const std::string f = d.file("tile.laz");
    Bytes b = read_file(kDir + "/1_4_w_evlr.laz");
    const Bytes original = b;
    put_u32(b, 247, 999);  // the 64-bit count, 1000 points
    write_file(f, b);
    const nlohmann::json j = judged({f});
    EXPECT_EQ(j["status"], "stale");
    EXPECT_TRUE(has(rules_of(j), "laz.point-count")) << j.dump();
    EXPECT_EQ(judged({"--fix", f})["status"], "fixed");
    EXPECT_TRUE(read_file(f) == original);
}

TEST(AuditLaz, ThreadsSharingChunksFindWhatOneThreadFinds) {
    // Three chunks: with two threads and one file, the idle one takes some.
    const std::string f = kDir + "/autzen_trim.laz";
    const nlohmann::json one = judged({"-j1", f}), two = judged({"-j2", f});
    EXPECT_EQ(one["points"], 110000);
    EXPECT_EQ(one, two);
}

TEST(AuditLaz, DamageIsNamedNeverGuessed) {
    const Bytes good = read_file(kDir + "/autzen_trim.laz");
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* reason;                   // in the refusal
        std::vector<std::string> rules;       // among the findings
        const char* status = "refused";
    } cases[] = {
        {"a chunk's bytes garbled", [](Bytes& b) { b[300000] ^= 0xff; }, "chunk 2 of 3", {}},
        {"the file cut short", [](Bytes& b) { b.resize(500000); }, "chunk table", {}, "short"},
        // Only the header counts the points of pointwise chunks: a count
        // that does not fit them, or leaves bytes after the last point,
        // cannot be fixed by guessing.
        {"a count fewer chunks hold", [](Bytes& b) { put_u32(b, 107, 60000); }, "needs 2", {"laz.point-count"}},
        {"a count the last chunk exceeds", [](Bytes& b) { put_u32(b, 107, 109999); }, "chunk 3 of 3: it holds more",
         {"laz.point-count"}},
    };
    TempDir d;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = good;
        c.damage(b);
        const std::string f = d.file("tile.laz");
        write_file(f, b);
        const nlohmann::json j = judged({"--fix", f});
        EXPECT_EQ(j["status"], c.status);
        EXPECT_NE(j["reason"].get<std::string>().find(c.reason), std::string::npos) << j["reason"];
        for (const std::string& r : c.rules) EXPECT_TRUE(has(rules_of(j), r)) << r << " in " << j.dump();
        EXPECT_TRUE(std::equal(b.begin(), b.end(), read_file(f).begin())) << "a refused file is never written";
    }
}

}  // namespace
