// What only the Windows build has: wildcard expansion by the start-up code,
// command lines, names outside the ANSI code page, share modes and the exit
// code as Windows reports it.
#include "expect.h"
#include "run.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace lastest;

namespace {

const std::string kWrongCount = "\n\nWrong number of arguments specified\n";

Bytes small_las() {
    LasRecipe s;
    s.points = {{10, 20, 30, 1}, {-10, 5, 7, 2}};
    return build_las(s);
}

TEST(Wildcards, PatternMatchingOneFileRunsOnThatFile) {
    TempDir d;
    write_file(d.file("tile.las"), small_las());
    write_file(d.file("tile.txt"), {});

    RunResult r = run(vexholt_path(), {"*.las"}, d.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner() + completion("tile.las"));
    EXPECT_EQ(get_u32(read_file(d.file("tile.las")), 107), 2u);
}

TEST(Wildcards, PatternMatchingSeveralFilesIsTheWrongNumberOfArguments) {
    TempDir d;
    const Bytes las = small_las();
    write_file(d.file("a.las"), las);
    write_file(d.file("b.las"), las);

    RunResult r = run(vexholt_path(), {"*.las"}, d.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kWrongCount + banner() + "\nUsage: Vexholt <LAS File>\n\n");
    EXPECT_EQ(read_file(d.file("a.las")), las);
    EXPECT_EQ(read_file(d.file("b.las")), las);

    // Narrowed to one of them, the same directory gives one argument again.
    RunResult one = run(vexholt_path(), {"b?las"}, d.path);
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.out, banner() + completion("b.las"));
    EXPECT_EQ(read_file(d.file("a.las")), las);
}

TEST(Wildcards, PatternMatchingNothingArrivesAsWritten) {
    TempDir d;
    RunResult r = run(vexholt_path(), {"*.las"}, d.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner() + "Unable to open file *.las in file_access()\n\nFile *.las does NOT exist\n");
}

TEST(CommandLine, NameWithSpacesArrivesAsOneArgument) {
    TempDir d;
    const std::string f = d.file("survey  tile 7.las");
    write_file(f, small_las());
    RunResult r = run(vexholt_path(), {f});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner() + completion(f));
}

// The embedded manifest makes narrow names UTF-8 for this program (which
// creates the files and passes the names on) and for Vexholt.exe.
TEST(Utf8Names, TestProgramRunsInTheUtf8CodePage) { EXPECT_EQ(GetACP(), 65001u); }

TEST(Utf8Names, NamesOutsideTheAnsiCodePageAreUpdatedAndPrintedAsGiven) {
    const char* const names[] = {"tile_\u6771\u4eac.las",          // CJK
                                 "\u03a9_\u00e9t\u00e9_\u0416.las",  // Greek, Latin-1, Cyrillic
                                 "tile_\U0001f332.las"};           // outside the BMP
    for (const char* name : names) {
        SCOPED_TRACE(name);
        TempDir d;
        write_file(d.file(name), small_las());
        RunResult bare = run(vexholt_path(), {name}, d.path);
        EXPECT_EQ(bare.status, 0);
        EXPECT_EQ(bare.out, banner() + completion(name));
        EXPECT_EQ(get_u32(read_file(d.file(name)), 107), 2u);

        const std::string full = d.file(name);
        RunResult path = run(vexholt_path(), {full});
        EXPECT_EQ(path.status, 0);
        EXPECT_EQ(path.out, banner() + completion(full));
    }
}

TEST(Utf8Names, MissingNameIsReportedAsGiven) {
    TempDir d;
    const std::string name = "tile_\u6771\u4eac.las";
    RunResult r = run(vexholt_path(), {name}, d.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner() + "Unable to open file " + name + " in file_access()\n\nFile " + name +
                         " does NOT exist\n");
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
    EXPECT_EQ(r.out, banner() + "\nCannot open binary file held.las for header update\n\n");
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

}  // namespace
