// What only the Windows build has: wildcard expansion by the start-up code,
// command lines, share modes, the exit code as Windows reports it, and the
// module as a DLL.
#include "LiDAR.h"
#include "las_file.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdint>

#include <windows.h>

using namespace lastest;

namespace {

const std::string kBannerEnd =
    "\n** Acknowledging the author's efforts ensures script updates and availability **\n";
const std::string kUsage = "\nUsage: Vexholt <LAS File>\n\n";
const std::string kDone = "\rHeader of file %s has been updated    ";

std::string done(const std::string& name) {
    std::string s = kDone;
    return s.replace(s.find("%s"), 2, name);
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

Bytes small_las() {
    LasSpec s;
    s.points = {{10, 20, 30, 1}, {-10, 5, 7, 2}};
    return build_las(s);
}

TEST(Wildcards, PatternMatchingOneFileRunsOnThatFile) {
    TempDir d;
    write_file(d.file("tile.las"), small_las());
    write_file(d.file("tile.txt"), {});

    RunResult r = run(vexholt_path(), {"*.las"}, d.path);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(ends_with(r.out, kBannerEnd + done("tile.las"))) << r.out;
    EXPECT_EQ(get_u32(read_file(d.file("tile.las")), 107), 2u);
}

TEST(Wildcards, PatternMatchingSeveralFilesIsTheWrongNumberOfArguments) {
    TempDir d;
    const Bytes las = small_las();
    write_file(d.file("a.las"), las);
    write_file(d.file("b.las"), las);

    RunResult r = run(vexholt_path(), {"*.las"}, d.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind("\n\nWrong number of arguments specified\n\nCorvale LiDAR Utilities", 0), 0u)
        << r.out;
    EXPECT_TRUE(ends_with(r.out, kBannerEnd + kUsage)) << r.out;
    EXPECT_EQ(read_file(d.file("a.las")), las);
    EXPECT_EQ(read_file(d.file("b.las")), las);

    // Narrowed to one of them, the same directory gives one argument again.
    RunResult one = run(vexholt_path(), {"b*.las"}, d.path);
    EXPECT_EQ(one.status, 0) << one.out;
    EXPECT_TRUE(ends_with(one.out, done("b.las"))) << one.out;
    EXPECT_EQ(read_file(d.file("a.las")), las);
}

TEST(Wildcards, PatternMatchingNothingArrivesAsWritten) {
    TempDir d;
    RunResult r = run(vexholt_path(), {"*.las"}, d.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(ends_with(r.out, kBannerEnd + "Unable to open file *.las in file_access()\n"
                                              "\nFile *.las does NOT exist\n"))
        << r.out;
}

TEST(CommandLine, NameWithSpacesArrivesAsOneArgument) {
    TempDir d;
    const std::string f = d.file("survey  tile 7.las");
    write_file(f, small_las());
    RunResult r = run(vexholt_path(), {f});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(ends_with(r.out, done(f))) << r.out;
}

TEST(Sharing, FileHeldOpenWithoutWriteSharingIsNotWritten) {
    TempDir d;
    const std::string f = d.file("held.las");
    const Bytes b = small_las();
    write_file(f, b);
    // Another program reading the tile and letting others only read it too.
    HANDLE h = CreateFileA(f.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    RunResult r = run(vexholt_path(), {"held.las"}, d.path);
    CloseHandle(h);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(ends_with(r.out, kBannerEnd + "\nCannot open binary file held.las for header update\n\n"))
        << r.out;
    EXPECT_EQ(read_file(f), b);
}

TEST(ExitCode, FailureIsMinusOneAsWindowsReportsIt) {
    TempDir d;
    RunResult wrong = run(vexholt_path(), {});
    EXPECT_EQ(wrong.native_status, 0xFFFFFFFF);

    write_file(d.file("short.las"), Bytes(100, 0));
    RunResult bad = run(vexholt_path(), {d.file("short.las")});
    EXPECT_EQ(bad.native_status, 0xFFFFFFFF) << bad.out;

    write_file(d.file("good.las"), small_las());
    RunResult good = run(vexholt_path(), {d.file("good.las")});
    EXPECT_EQ(good.native_status, 0) << good.out;
}

// Calls go through liblidar.dll's import library: a routine missing from the
// DLL's exports would not link, one exported wrongly would fail here.
TEST(Dll, RoutinesWorkThroughTheDll) {
    TempDir d;
    const std::string f = d.file("dll.las");
    write_file(f, small_las());

    EXPECT_EQ(file_access(f.c_str()), 0);
    EXPECT_EQ(check_file_extension(f.c_str(), "las"), 0);
    EXPECT_EQ(check_las(f.c_str()), 6);
    EXPECT_EQ(check_las(d.file("missing.las").c_str()), -1);

    update_header(f.c_str());
    const Bytes after = read_file(f);
    EXPECT_EQ(get_u32(after, 107), 2u);
    EXPECT_EQ(get_f64(after, 179), 10 * 0.01);   // MaxX
    EXPECT_EQ(get_f64(after, 203), 5 * 0.01);    // MinY
}

}  // namespace
