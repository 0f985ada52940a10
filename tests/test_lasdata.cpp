// Vexholt on real LAS files from public projects: every file is either
// updated to agree with its own point records or rejected and left alone.
// What to expect is worked out here from each file's bytes; MANIFEST.tsv is
// the second opinion.
#include "expect.h"
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace lastest;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> las_files(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".las") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::int32_t get_i32(const Bytes& b, std::size_t at) { return static_cast<std::int32_t>(get_u32(b, at)); }
unsigned get_u16(const Bytes& b, std::size_t at) { return b.at(at) | (b.at(at + 1) << 8); }

// The message a file must be rejected with, or "" if it must be accepted.
std::string expected_rejection(const Bytes& b, const std::string& name) {
    const int major = b[24], minor = b[25], format = b[104];
    const unsigned length = get_u16(b, 105);
    if (std::memcmp(b.data(), "LASF", 4) != 0) return "\n" + name + " is not a valid .las file\n\n";
    if (major != 1) return "\nCannot handle las files of version " + std::to_string(major) + ".x\n";
    if (minor > 2) return "\nCannot handle las files of version 1." + std::to_string(minor) + "\n";
    if (format > 3)
        return "\nPointDataFormatID in " + name + " is " + std::to_string(format) +
               ". Only 0, 1, 2, or 3 is accepted\n";
    if (minor < 2 && format >= 2)
        return "\nCannot update the header of " + name + ": point formats 2 and 3 need LAS version 1.2\n";
    if (length != static_cast<unsigned>(natural_length(format)))
        return "\nData format of " + name + " (" + std::to_string(format) +
               ") is incompatible with Length of Data Record (" + std::to_string(length) + ")\n";
    return "";
}

// Checks the rewritten header against the records of the original bytes.
void expect_header_describes_records(const Bytes& before, const Bytes& after) {
    const std::size_t offset = get_u32(before, 96), length = natural_length(before[104]);
    const std::size_t count = before.size() > offset ? (before.size() - offset) / length : 0;
    EXPECT_EQ(get_u32(after, 107), count);

    std::uint32_t by_return[5] = {};
    std::int32_t hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN}, lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX};
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = offset + i * length;
        for (int k = 0; k < 3; ++k) {
            hi[k] = std::max(hi[k], get_i32(before, at + 4 * k));
            lo[k] = std::min(lo[k], get_i32(before, at + 4 * k));
        }
        const int r = before[at + 14] & 7;
        if (r >= 1 && r <= 5) ++by_return[r - 1];
    }
    for (int r = 0; r < 5; ++r) EXPECT_EQ(get_u32(after, 111 + 4 * r), by_return[r]) << "return " << r + 1;
    if (count == 0) {
        hi[0] = hi[1] = -2147483646, lo[0] = lo[1] = 2147483646;
        hi[2] = -10000000, lo[2] = 10000000;
    }
    double want[6];
    for (int k = 0; k < 3; ++k) {
        const double scale = get_f64(before, 131 + 8 * k), offset_k = get_f64(before, 155 + 8 * k);
        want[2 * k] = world(hi[k], scale, offset_k);
        want[2 * k + 1] = world(lo[k], scale, offset_k);
    }
    expect_extents(after, want);

    // Independently of how the extremes were found: no point lies outside.
    for (std::size_t i = 0; i < count; ++i) {
        for (int k = 0; k < 3; ++k) {
            const double v = world(get_i32(before, offset + i * length + 4 * k), get_f64(before, 131 + 8 * k),
                                   get_f64(before, 155 + 8 * k));
            const double a = get_f64(after, 179 + 16 * k), b = get_f64(after, 187 + 16 * k);
            ASSERT_TRUE(std::min(a, b) <= v && v <= std::max(a, b))
                << "point " << i << " axis " << k << " at " << v << " outside " << b << ".." << a;
        }
    }
}

class LasData : public testing::Test {
protected:
    fs::path dir = LASDATA_DIR;
    // The corpus travels with the sources: without it these tests prove nothing.
    void SetUp() override { ASSERT_TRUE(fs::is_directory(dir)) << dir << " is missing"; }
};

TEST_F(LasData, ManifestListsEveryFileAsItIs) {
    auto manifest = read_manifest(dir.string());
    const auto names = las_files(dir);
    EXPECT_EQ(manifest.size(), names.size());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ASSERT_EQ(manifest.count(name), 1u);
        Row& row = manifest[name];
        const Bytes b = read_file((dir / name).string());
        ASSERT_GE(b.size(), 227u);
        EXPECT_EQ(row["las_version"], std::to_string(b[24]) + "." + std::to_string(b[25]));
        EXPECT_EQ(row["point_format"], std::to_string(b[104]));
        EXPECT_EQ(row["record_length"], std::to_string(get_u16(b, 105)));
        EXPECT_EQ(row["header_point_count"], std::to_string(get_u32(b, 107)));
        // The manifest calls a file rejected exactly when its bytes say so.
        EXPECT_EQ(row["note"].find("rejected") != std::string::npos, !expected_rejection(b, name).empty());
    }
}

TEST_F(LasData, EveryFileIsUpdatedFromItsRecordsOrRejectedUntouched) {
    TempDir work;
    int accepted = 0, rejected = 0;
    for (const std::string& name : las_files(dir)) {
        SCOPED_TRACE(name);
        const Bytes before = read_file((dir / name).string());
        ASSERT_GE(before.size(), 227u);
        write_file(work.file(name), before);
        const RunResult r = run(vexholt_path(), {name}, work.path);
        const Bytes after = read_file(work.file(name));

        const std::string rejection = expected_rejection(before, name);
        if (!rejection.empty()) {
            ++rejected;
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, banner() + rejection);
            EXPECT_EQ(after, before);
            continue;
        }
        ++accepted;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, banner() + completion(name));
        EXPECT_TRUE(only_stats_changed(before, after));
        expect_header_describes_records(before, after);

        EXPECT_EQ(run(vexholt_path(), {name}, work.path).status, 0);
        EXPECT_EQ(read_file(work.file(name)), after) << "a second run changed the header";
    }
    EXPECT_GT(accepted, 0);
    EXPECT_GT(rejected, 0);
}

TEST_F(LasData, HighZTileGetsItsRealLowestZ) {
    const fs::path src = dir / "epsg_4326.las";
    ASSERT_TRUE(fs::exists(src));
    const Bytes before = read_file(src.string());
    const std::size_t offset = get_u32(before, 96), length = natural_length(before[104]);
    ASSERT_GT(before.size(), offset);
    std::int32_t lowest = INT32_MAX;
    for (std::size_t at = offset; at + length <= before.size(); at += length)
        lowest = std::min(lowest, get_i32(before, at + 8));
    ASSERT_GT(lowest, 10000000) << "the tile no longer shows what this test is about";

    TempDir work;
    write_file(work.file("z.las"), before);
    ASSERT_EQ(run(vexholt_path(), {work.file("z.las")}).status, 0);
    const double scale = get_f64(before, 147), off = get_f64(before, 171);
    EXPECT_EQ(bits_of(get_f64(read_file(work.file("z.las")), 219)), bits_of(world(lowest, scale, off)));
}

}  // namespace
