#include "LiDAR.h"
#include "file_io.h"

#include <cstdio>
#include <cstring>

int16_t file_access(const char* filename) {
    if (lidar::can_open_for_reading(filename)) return 0;
    std::printf("Unable to open file %s in file_access()\n", filename);
    return -1;
}

int16_t check_file_extension(const char* filename, const char* extension) {
    std::size_t n = std::strlen(filename);
    if (n <= 4) {
        std::printf("\nFile name (%s) is too short\n", filename);
        return -1;
    }
    if (filename[n - 4] != '.') {
        std::printf("\nExtension of file %s should be preceeded by a dot (.)\n", filename);
        return -1;
    }
    if (std::strcmp(filename + n - 3, extension) != 0) {
        std::printf("\nFile extension of %s is not .%s\n", filename, extension);
        return -1;
    }
    return 0;
}

void error_msg(int i, const char* text) {
    switch (i) {
        case 1: std::printf("\nFile %s does NOT exist\n", text); break;
        case 2: std::printf("\nFile %s already exists\n", text); break;
        case 3: std::printf("\nSame file name (%s) has been specified twice\n", text); break;
        default: break;
    }
}
