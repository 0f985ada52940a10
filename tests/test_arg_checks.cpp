// Argument checks, each call in a forked child so that the routines that end
// the process can do so, with stdout captured byte for byte.
#include "LiDAR.h"
#include "las_file.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>

using namespace lastest;

namespace {

constexpr int kReturned = 42;

RunResult yn(const std::string& s) {
    return run_forked([&] {
        int16_t r = check_YN(s.c_str());
        return r == 0 ? 10 : r == -1 ? 11 : 12;
    });
}

RunResult numeric(const std::string& s) {
    return run_forked([&] { check_numeric_argument(s.c_str()); return kReturned; });
}

RunResult dem(const std::string& cwd, const std::string& s) {
    return run_forked([&] {
        if (chdir(cwd.c_str()) != 0) return 99;
        check_DEM(s.c_str());
        return kReturned;
    });
}

void touch(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    write_file(path, {});
}

std::string not_ext(const std::string& name, const char* ext) {
    return "\nFile extension of " + name + " is not ." + ext + "\n";
}

const std::string kDemLine =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n";
const std::string kHdrLine =
    "\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n";

TEST(CheckYN, FourLettersPassSilentlyAnythingElseIsReportedAndReturned) {
    for (const char* s : {"Y", "N", "y", "n"}) {
        RunResult o = yn(s);
        EXPECT_EQ(o.status, 10) << s;
        EXPECT_EQ(o.out, "") << s;
    }
    for (const char* s : {"yes", "no", "Y ", "YN", "", "x"}) {
        RunResult o = yn(s);
        EXPECT_EQ(o.status, 11) << s;
        EXPECT_EQ(o.out, "\nASCII Header Flag should be either Y (y) or N (n)\n") << s;
    }
}

TEST(CheckNumericArgument, AcceptsDigitsWithAtMostOnePointAndOneMinus) {
    for (const char* s : {"12", "12.5", "-3", "-0.25", "3-", "1-2", "-.5", ".5", "5.", ".-", "-.", "", "0123456789"}) {
        RunResult o = numeric(s);
        EXPECT_EQ(o.status, kReturned) << '"' << s << '"';
        EXPECT_EQ(o.out, "") << '"' << s << '"';
    }
}

TEST(CheckNumericArgument, RejectsOtherCharactersRepeatsAndLoneSignsAndExits) {
    for (const char* s : {".", "-", "1.2.3", "--1", "1..2", "+1", "1e3", " 1", "1,5", "0x10", "1-2-", "/", ":"}) {
        RunResult o = numeric(s);
        EXPECT_EQ(o.status, 255) << s;
        EXPECT_EQ(o.out, std::string("\nInvalid argument value (") + s + ")\n") << s;
    }
}

TEST(CheckNumericArgument, LengthIsNoLimitEitherWay) {
    const std::string digits(70000, '7');
    RunResult ok = numeric(digits + "." + digits + "-");
    EXPECT_EQ(ok.status, kReturned);
    EXPECT_EQ(ok.out, "");
    // Past a 16-bit position, a bad character and a second point still count.
    for (const std::string& bad : {digits + "x", "." + digits + ".", digits + "-" + digits + "-"}) {
        RunResult o = numeric(bad);
        EXPECT_EQ(o.status, 255);
        EXPECT_EQ(o.out, "\nInvalid argument value (" + bad + ")\n");
    }
}

TEST(CheckDEM, AsciiNamesPassWithTheFltMismatchMessage) {
    TempDir d;
    for (const char* s : {"terrain.asc", "terrain.flt.asc", "missing/dir/x.asc"}) {
        RunResult o = dem(d.path, s);
        EXPECT_EQ(o.status, kReturned) << s;
        EXPECT_EQ(o.out, not_ext(s, "flt")) << s;
    }
}

TEST(CheckDEM, FltNamesNeedTheirHeaderBesideThem) {
    TempDir d;
    touch(d.file("terrain.hdr"));
    touch(d.file("terrain.asc.hdr"));
    touch(d.file("grids/with.hdr"));
    for (const char* s : {"terrain.flt", "terrain.asc.flt", "grids/with.flt"}) {
        RunResult o = dem(d.path, s);
        EXPECT_EQ(o.status, kReturned) << s;
        EXPECT_EQ(o.out, not_ext(s, "asc")) << s;
    }
    // grids/terrain.hdr is missing; terrain.hdr in the working directory must not stand in.
    const std::pair<const char*, const char*> missing[] = {
        {"other.flt", "other.hdr"}, {"grids/terrain.flt", "grids/terrain.hdr"}, {"a.flt.flt", "a.flt.hdr"}};
    for (auto [s, hdr] : missing) {
        RunResult o = dem(d.path, s);
        EXPECT_EQ(o.status, 255) << s;
        EXPECT_EQ(o.out, not_ext(s, "asc") + "Unable to open file " + hdr + " in file_access()\n" + kHdrLine) << s;
    }
}

TEST(CheckDEM, OtherNamesGetBothExtensionMessagesAndExit) {
    TempDir d;
    touch(d.file("terrain.hdr"));
    auto both = [](const std::string& why_asc, const std::string& why_flt) { return why_asc + why_flt + kDemLine; };
    for (const char* s : {"terrain.ASC", "terrain.FLT", "terrain.hdr", "terrain.asc.bak"}) {
        RunResult o = dem(d.path, s);
        EXPECT_EQ(o.status, 255) << s;
        EXPECT_EQ(o.out, both(not_ext(s, "asc"), not_ext(s, "flt"))) << s;
    }
    for (const char* s : {".asc", ".flt", "a.b", ""}) {
        const std::string short_msg = std::string("\nFile name (") + s + ") is too short\n";
        RunResult o = dem(d.path, s);
        EXPECT_EQ(o.status, 255) << s;
        EXPECT_EQ(o.out, both(short_msg, short_msg)) << s;
    }
    for (const char* s : {"terrain", "terrain.ascx", "terrain_flt"}) {
        const std::string dot_msg = std::string("\nExtension of file ") + s + " should be preceeded by a dot (.)\n";
        RunResult o = dem(d.path, s);
        EXPECT_EQ(o.status, 255) << s;
        EXPECT_EQ(o.out, both(dot_msg, dot_msg)) << s;
    }
}

TEST(CheckDEM, LongFltNamesKeepTheirWholeCompanionName) {
    TempDir d;
    // Two components, each within a file system's name limit, together far
    // beyond 80 bytes.
    const std::string core = std::string(150, 'd') + "/" + std::string(150, 'f');
    const std::string name = core + ".flt", hdr = core + ".hdr";
    RunResult missing = dem(d.path, name);
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out, not_ext(name, "asc") + "Unable to open file " + hdr + " in file_access()\n" + kHdrLine);

    touch(d.file(hdr));
    RunResult present = dem(d.path, name);
    EXPECT_EQ(present.status, kReturned);
    EXPECT_EQ(present.out, not_ext(name, "asc"));
}

}  // namespace
