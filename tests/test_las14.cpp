// The audit on real LAS 1.0-1.4 files of other projects (1.3 and 1.4, point
// formats 0-7, extended VLRs after the points, extra bytes): what it
// recomputes equals what an independent tool computed from the same points
// (MANIFEST.tsv); after --fix the header holds exactly that and the audit
// finds it current. A compressed file's truth is its twin's, decompressed by
// another tool, and its fix leaves every compressed byte as it was.
#include "expect.h"
#include "las_header.h"
#include "audit_json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

using namespace lastest;

namespace {

// What the manifest computed: count, counts of returns 1-15, extents in
// header order.
struct Truth {
    std::uint64_t points;
    std::vector<std::uint64_t> by_return;
    double extent[6];
};
Truth truth_of(const Row& row) {
    Truth t;
    t.points = std::stoull(row.at("points"));
    std::stringstream counts(row.at("by_return_1_15"));
    for (std::string n; std::getline(counts, n, ',');) t.by_return.push_back(std::stoull(n));
    const char* const cols[6] = {"max_x", "min_x", "max_y", "min_y", "max_z", "min_z"};
    for (int k = 0; k < 6; ++k) t.extent[k] = t.points ? std::stod(row.at(cols[k])) : 0;
    return t;
}

// The header fields the truth fixes, for the file's version and format.
void expect_header_holds(const lidar::LasHeader& h, const Truth& t) {
    const bool legacy = h.minor < 4 || (h.point_format <= 5 && t.points <= UINT32_MAX);
    EXPECT_EQ(h.legacy_count, legacy ? t.points : 0);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(h.legacy_by_return[k], legacy ? t.by_return[k] : 0) << "return " << k + 1;
    if (h.minor >= 4) {
        EXPECT_EQ(h.count, t.points);
        for (int k = 0; k < 15; ++k) EXPECT_EQ(h.by_return[k], t.by_return[k]) << "return " << k + 1;
    }
    // The manifest prints each extent to the digits that read back as the
    // same double, computed as here: the scaled integer times the scale,
    // plus the offset.
    for (int k = 0; t.points > 0 && k < 6; ++k) EXPECT_EQ(h.extent[k], t.extent[k]) << "extent " << k;
}

// All files in one audit with --fix, then one without: one process each,
// not two per file, which under Wine cost a second apiece.
TEST(RealFiles, RecomputedStatisticsAreTheIndependentOnes) {
    TempDir d;
    int checked = 0, compressed = 0;
    const auto manifest = read_manifest(LASDATA_V14_DIR);
    std::map<std::string, Bytes> before;
    std::vector<std::string> fix = {"--fix", "--exact"}, check = {"--exact"};
    for (const auto& [name, row] : manifest) {
        const std::string f = d.file(name);
        before[name] = read_file(std::string(LASDATA_V14_DIR) + "/" + name);
        write_file(f, before[name]);
        fix.push_back(f);
        check.push_back(f);
    }
    const auto fixed = audit_lines(fix);
    const auto again = audit_lines(check);
    for (const auto& [name, row] : manifest) {
        SCOPED_TRACE(name);
        const std::string f = d.file(name);
        const bool laz = row.at("compressed") == "yes";
        const Truth t = truth_of(laz ? manifest.at(name.substr(0, name.size() - 4) + ".twin.las") : row);
        ASSERT_TRUE(fixed.count(f) && again.count(f));
        const nlohmann::json& j = fixed.at(f);
        ASSERT_TRUE(j["status"] == "fixed" || j["status"] == "current") << j.dump();
        EXPECT_EQ(j["points"], t.points);
        const Bytes after = read_file(f);
        const lidar::LasHeader h = lidar::parse_header(after.data(), after.size());
        expect_header_holds(h, t);
        EXPECT_EQ(again.at(f)["status"], "current");
        if (laz) {
            ASSERT_EQ(after.size(), before[name].size());
            EXPECT_TRUE(std::equal(before[name].begin() + h.header_size, before[name].end(), after.begin() + h.header_size));
            ++compressed;
        }
        ++checked;
    }
    EXPECT_GE(checked, 53);
    EXPECT_GE(compressed, 19);
}

}  // namespace
