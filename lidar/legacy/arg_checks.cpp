#include "arg_checks.h"

#include "LiDAR.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int16_t check_YN(const char* text) {
    for (const char* flag : {"Y", "N", "y", "n"})
        if (std::strcmp(text, flag) == 0) return 0;
    std::puts("\nASCII Header Flag should be either Y (y) or N (n)");
    return -1;
}

namespace lidar {

// Only the character set and the number of points and minus signs are
// checked; where they stand is left to the caller's conversion.
int check_numeric_argument_core(const char* str) {
    const std::size_t n = std::strlen(str);
    bool bad = false;
    std::size_t ndots = 0, ndashes = 0;
    for (std::size_t t = 0; t < n; ++t) {
        const char c = str[t];
        if (c == '.') ++ndots;
        else if (c == '-') ++ndashes;
        else if (c < '0' || c > '9') bad = true;
    }
    if (ndots > 1 || ndashes > 1 || (n == 1 && ndots + ndashes == 1)) bad = true;
    if (!bad) return 0;
    std::printf("\nInvalid argument value (%s)\n", str);
    return -1;
}

// Each accepted name also prints the mismatch message of the extension it
// does not carry; the family's tools have always shown it.
int check_DEM_core(const char* str) {
    if (check_file_extension(str, "asc") != 0 && check_file_extension(str, "flt") != 0) {
        std::puts("\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)");
        return -1;
    }
    if (check_file_extension(str, "flt") != 0) return 0;

    // The header sits beside the grid: same directory, same core name.
    std::string filename(str, std::strlen(str) - 4);
    filename += ".hdr";
    if (file_access(filename.c_str()) < 0) {
        std::puts("\nFloating point binary DEM files also require a ASCII header file ('.hdr')");
        return -1;
    }
    return 0;
}

}  // namespace lidar

void check_numeric_argument(const char* str) {
    if (lidar::check_numeric_argument_core(str) != 0) std::exit(-1);
}

void check_DEM(const char* str) {
    if (lidar::check_DEM_core(str) != 0) std::exit(-1);
}
