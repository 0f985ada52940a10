// The header update end to end: Vexholt run as a process on files written
// byte by byte.
#include "expect.h"
#include "las_file.h"
#include "run.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

using namespace lastest;

namespace {


TEST(Update, StaleHeaderIsCorrectedAndOnlyStatisticsChange) {
    TempDir d;
    LasRecipe s;
    s.format = 1;
    s.points = {{100, -5, 7, 1}, {-300, 40, 9, 2}, {50, 10, -2, 0x81}, {0, 0, 0, 6}};
    s.trailing = 3;
    const std::string f = d.file("a.las");
    const Bytes before = build_las(s);
    write_file(f, before);

    RunResult r = run(vexholt_path(), {f});
    EXPECT_EQ(r.status, 0);
    const std::string tail = kBannerEnd + completion(f);
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);

    const Bytes after = read_file(f);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        bool stat_field = (i >= 107 && i < 131) || (i >= 179 && i < 227);
        if (!stat_field) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(get_u32(after, 107), 4u);
    EXPECT_EQ(get_u32(after, 111), 2u);  // return 1, including the 0x81 byte
    EXPECT_EQ(get_u32(after, 115), 1u);
    EXPECT_EQ(get_u32(after, 119), 0u);
    EXPECT_EQ(get_f64(after, 179), 100 * 0.01);
    EXPECT_EQ(get_f64(after, 187), -300 * 0.01);
    EXPECT_EQ(get_f64(after, 219), -2 * 0.01);

    RunResult again = run(vexholt_path(), {f});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(read_file(f), after);
}

// The update through Vexholt on files written byte by byte, each checked
// against statistics the test computes itself from the points it wrote.
class UpdateFile : public testing::Test {
protected:
    TempDir dir;

    struct Outcome {
        RunResult run;
        Bytes before, after;
    };

    Outcome update(const Bytes& b, const std::string& name = "t.las") {
        write_file(dir.file(name), b);
        Outcome o{run(vexholt_path(), {name}, dir.path), b, {}};
        o.after = read_file(dir.file(name));
        return o;
    }

    void expect_rejected(const Bytes& b, const std::string& message, const std::string& name = "t.las") {
        Outcome o = update(b, name);
        EXPECT_EQ(o.run.status, 255);
        EXPECT_EQ(o.run.out, banner() + message);
        EXPECT_EQ(o.after, b) << "a rejected file was written";
    }

    // Runs Vexholt on s and expects the header to describe exactly the
    // points in counted.
    Bytes expect_updated(const LasRecipe& s, const std::vector<Point>& counted) {
        Outcome o = update(build_las(s));
        EXPECT_EQ(o.run.status, 0);
        EXPECT_EQ(o.run.out, banner() + completion("t.las"));
        EXPECT_TRUE(only_stats_changed(o.before, o.after));
        if (o.after.size() < 227) return o.after;

        std::uint32_t by_return[5] = {};
        // Start values stand for an empty point area.
        std::int32_t hi[3] = {-2147483646, -2147483646, -10000000};
        std::int32_t lo[3] = {2147483646, 2147483646, 10000000};
        if (!counted.empty()) {
            hi[0] = hi[1] = hi[2] = INT32_MIN;
            lo[0] = lo[1] = lo[2] = INT32_MAX;
        }
        for (const Point& p : counted) {
            const std::int32_t v[3] = {p.x, p.y, p.z};
            for (int k = 0; k < 3; ++k) {
                hi[k] = std::max(hi[k], v[k]);
                lo[k] = std::min(lo[k], v[k]);
            }
            int r = p.bits & 7;
            if (r >= 1 && r <= 5) ++by_return[r - 1];
        }
        EXPECT_EQ(get_u32(o.after, 107), counted.size());
        for (int r = 0; r < 5; ++r) EXPECT_EQ(get_u32(o.after, 111 + 4 * r), by_return[r]) << "return " << r + 1;
        double want[6];
        for (int k = 0; k < 3; ++k) {
            want[2 * k] = world(hi[k], s.scale[k], s.offset[k]);
            want[2 * k + 1] = world(lo[k], s.scale[k], s.offset[k]);
        }
        expect_extents(o.after, want);
        return o.after;
    }
};

LasRecipe recipe_with(std::vector<Point> points) {
    LasRecipe s;
    s.points = std::move(points);
    return s;
}

TEST_F(UpdateFile, EveryRejectionLeavesTheFileAsItWas) {
    struct Row {
        const char* what;
        std::function<void(Bytes&)> change;
        std::string message;
    };
    const std::string too_short = "\nt.las is too short or unreadable to be a valid .las file\n\n";
    const std::string short_header = "\nCannot read the 227-byte header of t.las\n";
    const std::string code_zero =
        "\nCannot update the header of t.las: point formats 2 and 3 need LAS version 1.2\n";
    const Row rows[] = {
        {"signature", [](Bytes& b) { b[0] = 'l'; }, "\nt.las is not a valid .las file\n\n"},
        {"version 2.0", [](Bytes& b) { b[24] = 2; }, "\nCannot handle las files of version 2.x\n"},
        {"version 1.3", [](Bytes& b) { b[25] = 3; }, "\nCannot handle las files of version 1.3\n"},
        {"format 4", [](Bytes& b) { b[104] = 4; },
         "\nPointDataFormatID in t.las is 4. Only 0, 1, 2, or 3 is accepted\n"},
        {"record length", [](Bytes& b) { b[104] = 3; put_u16(b, 105, 36); },
         "\nData format of t.las (3) is incompatible with Length of Data Record (36)\n"},
        {"1.0 with format 2", [](Bytes& b) { b[25] = 0; b[104] = 2; put_u16(b, 105, 26); }, code_zero},
        {"1.1 with format 3", [](Bytes& b) { b[25] = 1; b[104] = 3; put_u16(b, 105, 34); }, code_zero},
        {"26 bytes", [](Bytes& b) { b.resize(26); }, too_short},
        {"106 bytes", [](Bytes& b) { b.resize(106); }, too_short},
        {"107 bytes", [](Bytes& b) { b.resize(107); }, short_header},
        {"226 bytes", [](Bytes& b) { b.resize(226); }, short_header},
        {"points inside the header", [](Bytes& b) { put_u32(b, 96, 226); },
         "\nCannot update the header of t.las: its point records would start inside the 227-byte header\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes b = build_las(recipe_with({{1, 2, 3, 1}, {4, 5, 6, 2}}));
        row.change(b);
        expect_rejected(b, row.message);
    }
    expect_rejected(build_las(LasRecipe{}), "\nFile extension of t.LAS is not .las\n", "t.LAS");

    std::filesystem::create_directory(dir.file("d.las"));
    RunResult r = run(vexholt_path(), {"d.las"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner() + "\nd.las is too short or unreadable to be a valid .las file\n\n");
}

TEST_F(UpdateFile, ReadOnlyFileIsNotWritten) {
    const Bytes b = build_las(recipe_with({{1, 2, 3, 1}}));
    write_file(dir.file("t.las"), b);
    namespace fs = std::filesystem;
    fs::permissions(dir.file("t.las"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    std::string program = vexholt_path();
    std::vector<std::string> args = {"t.las"};
#ifndef _WIN32
    if (geteuid() == 0) {
        // Root may write any file: run as nobody so the mode is what refuses.
        if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "running as root without setpriv";
        fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
        fs::copy_file(program, dir.file("Vexholt"));
        args = {"--reuid=65534", "--regid=65534", "--clear-groups", dir.file("Vexholt"), "t.las"};
        program = "/usr/bin/setpriv";
    }
#else
    // Windows holds administrators to the read-only attribute too; Wine run
    // as root does not, and there the test cannot tell anything.
    if (std::fstream(dir.file("t.las"), std::ios::in | std::ios::out | std::ios::binary).is_open())
        GTEST_SKIP() << "the read-only attribute is not enforced here (Wine as root)";
#endif
    RunResult r = run(program, args, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner() + "\nCannot open binary file t.las for header update\n\n");
    EXPECT_EQ(read_file(dir.file("t.las")), b);
#ifdef _WIN32
    fs::permissions(dir.file("t.las"), fs::perms::owner_write, fs::perm_options::add);  // or it stays
#endif
}

TEST_F(UpdateFile, EveryTypeCodeReadsItsOwnRecordLength) {
    const std::vector<Point> points = {
        {-7, 300, 12, 1}, {90000, -2, -40, 0x12}, {5, 5, 5, 0x83}, {-100000, 77, 1000, 4}, {0, -9999, 0, 5}};
    const int pairs[8][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}};
    for (const auto& [minor, format] : pairs) {
        SCOPED_TRACE("1." + std::to_string(minor) + " format " + std::to_string(format));
        LasRecipe s = recipe_with(points);
        s.minor = static_cast<std::uint8_t>(minor);
        s.format = static_cast<std::uint8_t>(format);
        s.trailing = static_cast<std::size_t>(natural_length(format) - 1);
        expect_updated(s, points);
    }
}

TEST_F(UpdateFile, ReturnNumbersOutsideOneToFiveCountOnlyInTheTotal) {
    LasRecipe s;
    for (std::uint8_t bits : {0x00, 0x06, 0x07, 0x81, 0xFF, 0x3D, 0x42, 0x8B, 0xC9})
        s.points.push_back({1, 1, 1, bits});
    Bytes after = expect_updated(s, s.points);
    // Returns 1 (0x81, 0xC9), 2 (0x42), 3 (0x8B), 5 (0x3D); 0, 6 and 7 in none.
    const std::uint32_t want[5] = {2, 1, 1, 0, 1};
    EXPECT_EQ(get_u32(after, 107), 9u);
    for (int r = 0; r < 5; ++r) EXPECT_EQ(get_u32(after, 111 + 4 * r), want[r]);
}

TEST_F(UpdateFile, EmptyPointAreaKeepsTheStartValues) {
    LasRecipe s;
    s.format = 3;
    s.scale[0] = 0.001, s.scale[1] = 0.002, s.scale[2] = 0.01;
    s.offset[0] = 1000.5, s.offset[1] = -2000.25, s.offset[2] = 3.0;
    const double want[6] = {world(-2147483646, 0.001, 1000.5), world(2147483646, 0.001, 1000.5),
                            world(-2147483646, 0.002, -2000.25), world(2147483646, 0.002, -2000.25),
                            world(-10000000, 0.01, 3.0), world(10000000, 0.01, 3.0)};

    LasRecipe at_end = s;  // OffsetToData is the file size
    LasRecipe past_end = s;
    past_end.offset_to_data = 227 + 5000;
    LasRecipe fragment = s;
    fragment.trailing = 33;
    for (const LasRecipe& c : {at_end, past_end, fragment}) {
        SCOPED_TRACE(c.offset_to_data);
        Bytes after = expect_updated(c, {});
        EXPECT_EQ(after.size(), 227 + c.trailing);
        for (int r = 0; r < 5; ++r) EXPECT_EQ(get_u32(after, 111 + 4 * r), 0u);
        expect_extents(after, want);
    }
}

TEST_F(UpdateFile, ScanStartsAtOffsetToData) {
    // The gap bytes and the first record would each widen the extents if
    // they were read as points.
    LasRecipe s = recipe_with({{-900000, 900000, -900000, 1}, {10, 20, 30, 1}, {-10, -20, -30, 2}});
    s.gap = 57;
    expect_updated(s, s.points);
    s.offset_to_data = 227 + 57 + 28;
    expect_updated(s, {s.points[1], s.points[2]});
}

TEST_F(UpdateFile, ExtentsAreTheTrueExtremes) {
    // Lone points beyond the start values in every direction, up to the int32
    // limits: each Max must come out equal to its Min.
    for (const Point& p : {Point{INT32_MAX, INT32_MIN, 20000000, 1}, Point{INT32_MIN, INT32_MAX, -20000000, 1}}) {
        SCOPED_TRACE(p.x);
        Bytes h = expect_updated(recipe_with({p}), {p});
        EXPECT_EQ(get_f64(h, 179), p.x * 0.01);
        EXPECT_EQ(get_f64(h, 203), p.y * 0.01);
        EXPECT_EQ(get_f64(h, 219), p.z * 0.01);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(get_f64(h, 179 + 16 * k), get_f64(h, 187 + 16 * k));
    }
    const std::vector<Point> span = {{INT32_MAX, 0, -30000000, 1}, {INT32_MIN, 0, -20000000, 1}};
    Bytes h = expect_updated(recipe_with(span), span);
    EXPECT_EQ(get_f64(h, 179), INT32_MAX * 0.01);
    EXPECT_EQ(get_f64(h, 187), INT32_MIN * 0.01);
    EXPECT_EQ(get_f64(h, 211), -20000000 * 0.01);
}

TEST_F(UpdateFile, NegativeScaleStillPutsTheLargerValueInMax) {
    LasRecipe s = recipe_with({{-971702, 20, 5, 1}, {982341, -40, 6, 1}});
    s.scale[0] = -0.01, s.scale[1] = -0.5, s.scale[2] = 0.01;
    Outcome o = update(build_las(s));
    ASSERT_EQ(o.run.status, 0);
    const double want[6] = {world(-971702, -0.01, 0), world(982341, -0.01, 0), world(-40, -0.5, 0),
                            world(20, -0.5, 0), world(6, 0.01, 0), world(5, 0.01, 0)};
    expect_extents(o.after, want);
}

TEST_F(UpdateFile, ExtentsAreTheRoundedProductPlusTheOffset) {
    LasRecipe s = recipe_with({{123456789, -987654321, 7777777, 1}, {-3, 31415926, -27182818, 2}});
    s.scale[0] = 0.001, s.scale[1] = 1e-7, s.scale[2] = 0.0025;
    s.offset[0] = -123456.789, s.offset[1] = 4.2e6, s.offset[2] = -0.3;
    expect_updated(s, s.points);

    // The data must tell a fused multiply-add apart, or the test proves
    // nothing about rounding.
    int fused_differs = 0;
    for (const Point& p : s.points) {
        const std::int32_t v[3] = {p.x, p.y, p.z};
        for (int k = 0; k < 3; ++k)
            fused_differs += std::fma(static_cast<double>(v[k]), s.scale[k], s.offset[k]) !=
                             world(v[k], s.scale[k], s.offset[k]);
    }
    EXPECT_GT(fused_differs, 0);
}

TEST_F(UpdateFile, ResultDoesNotDependOnHowTheFileIsRead) {
    // Several MiB of points: the reads are split somewhere inside, and the
    // extremes sit at the first and last records and around each MiB.
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int32_t> coord(-1000000000, 1000000000);
    LasRecipe s;
    s.format = 0;
    s.points.resize(170000);
    for (Point& p : s.points) p = {coord(rng), coord(rng), coord(rng), static_cast<std::uint8_t>(rng())};
    const std::size_t per_mib = (1u << 20) / 20;
    s.points[0].x = -2000000000;
    s.points[per_mib - 1].x = 2000000000;
    s.points[per_mib].y = -2000000000;
    s.points[2 * per_mib].z = 2000000000;
    s.points.back().z = -2000000000;
    s.trailing = 19;  // a fragment read as a record would be counted
    expect_updated(s, s.points);
}

}  // namespace
