/* A program built for the Microsoft ABI (clang --target=x86_64-pc-windows-msvc,
 * lld-link) that uses the DLL through lidar.lib, as a Visual C++ program
 * would. There is no Microsoft SDK here, so it starts at its own entry
 * point and takes exit from msvcrt.dll, the runtime the DLL prints
 * through, so that the DLL's messages are flushed at the end. Exits with the LAS type check_las gives tile.las, or
 * 200 and up for the first check that failed. */
#include <LiDAR.h>

int _fltused = 0; /* the MSVC ABI's marker for floating-point code */

__declspec(dllimport) void exit(int status);

static LAS12Header header; /* zeroed: no memset from a runtime */

static int run_checks(void) {
    double z[] = {12.5, -3.0, 7.25, 0.5};
    int32_t from[] = {0, 1, 2, 3};
    int32_t v[] = {9, -4, 9, 1};
    int32_t at[] = {0, 1, 2, 3};
    int16_t type;

    d_quicksort(z, 4, from);
    if (z[0] != -3.0 || z[1] != 0.5 || z[2] != 7.25 || z[3] != 12.5) return 200;
    if (from[0] != 1 || from[1] != 3 || from[2] != 2 || from[3] != 0) return 201;
    l_quicksort(v, 4, at);
    if (v[0] != -4 || v[1] != 1 || v[3] != 9 || at[0] != 1 || at[1] != 3) return 202;

    /* The record as this compiler lays it out, filled by the DLL. */
    initialize_header12(&header);
    if (header.LASF[0] != 'L' || header.LASF[3] != 'F') return 203;
    if (header.VersionMajor != 1 || header.VersionMinor != 2) return 204;
    if (header.HeaderSize != 227 || header.OffsetToData != 227) return 205;
    if (header.XScaleFactor != 1.0 || header.ZScaleFactor != 1.0) return 206;

    if (check_las("missing.las") != -1) return 207; /* prints why */
    type = check_las("tile.las");
    return type;
}

void consumer_start(void) { exit(run_checks()); }
