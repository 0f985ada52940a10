// The argument checks as reporting routines, in this process: the same
// messages as the exiting checks give, on every platform (the exiting ones
// are tested in forked children where there is fork).
#include "arg_checks.h"
#include "expect.h"
#include "las_file.h"

#include <gtest/gtest.h>

#include <string>

using namespace lastest;

namespace {

const std::string kDemLine =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n";

TEST(ArgumentCores, NumericVerdictAndMessage) {
    for (const char* s : {"12", "-.5", "5.", "3-", ".-", ""}) {
        Printed p = capture([&] { return lidar::check_numeric_argument_core(s); });
        EXPECT_EQ(p.result, 0) << s;
        EXPECT_EQ(p.out, "") << s;
    }
    for (const char* s : {".", "-", "1.2.3", "+1", "1e3"}) {
        Printed p = capture([&] { return lidar::check_numeric_argument_core(s); });
        EXPECT_EQ(p.result, -1) << s;
        EXPECT_EQ(p.out, std::string("\nInvalid argument value (") + s + ")\n") << s;
    }
}

TEST(ArgumentCores, DemNamesAndTheirHeader) {
    TempDir d;
    const std::string grid = d.file("terrain.flt");
    const std::string hdr = d.file("terrain.hdr");

    Printed missing = capture([&] { return lidar::check_DEM_core(grid.c_str()); });
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.out, "\nFile extension of " + grid + " is not .asc\nUnable to open file " + hdr +
                               " in file_access()\n\nFloating point binary DEM files also require a "
                               "ASCII header file ('.hdr')\n");

    write_file(hdr, Bytes{'x'});
    Printed found = capture([&] { return lidar::check_DEM_core(grid.c_str()); });
    EXPECT_EQ(found.result, 0);
    EXPECT_EQ(found.out, "\nFile extension of " + grid + " is not .asc\n");

    Printed ascii = capture([] { return lidar::check_DEM_core("terrain.asc"); });
    EXPECT_EQ(ascii.result, 0);
    EXPECT_EQ(ascii.out, "\nFile extension of terrain.asc is not .flt\n");

    Printed other = capture([] { return lidar::check_DEM_core("terrain.ASC"); });
    EXPECT_EQ(other.result, -1);
    EXPECT_EQ(other.out, "\nFile extension of terrain.ASC is not .asc\n"
                         "\nFile extension of terrain.ASC is not .flt\n" + kDemLine);
}

}  // namespace
