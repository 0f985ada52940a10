// Writes the trees that measure what the audit's walk costs apart from
// reading: many small files, or one very deep chain of directories.
//
//   make_tree many DIR N      N header-only LAS files, 200 to a folder
//   make_tree chain DIR N     one such file at the bottom of N nested folders
//
// The files have no points and say so, so the audit finds them current. An
// existing DIR is kept as it is.
#include "LiDAR.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

LAS12Header empty_header() {
    LAS12Header h;
    initialize_header12(&h);
    std::memcpy(h.LASF, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = 2;
    h.HeaderSize = sizeof h;
    h.OffsetToData = sizeof h;
    h.PointDataFormatID = 1;
    h.PointDataRecordLength = sizeof(LAS12fm1);
    h.NumberOfPointReturns = 0;
    for (auto& n : h.NumberOfPointsByReturn) n = 0;
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 0.01;
    return h;
}

bool put(int dir, const char* name, const LAS12Header& h) {
    int fd = openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0 && write(fd, &h, sizeof h) == static_cast<ssize_t>(sizeof h);
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "many") != 0 && std::strcmp(argv[1], "chain") != 0)) {
        std::fprintf(stderr, "usage: make_tree many|chain DIR N\n");
        return 2;
    }
    const char* top = argv[2];
    const long n = std::atol(argv[3]);
    struct stat st;
    if (stat(top, &st) == 0) return 0;
    if (mkdir(top, 0755) != 0) return 1;
    const LAS12Header h = empty_header();
    int fd = open(top, O_RDONLY | O_DIRECTORY);
    if (std::strcmp(argv[1], "many") == 0) {
        for (long k = 0; k < n; ++k) {
            char sub[32], name[64];
            std::snprintf(sub, sizeof sub, "d%04ld", k / 200);
            std::snprintf(name, sizeof name, "d%04ld/t%07ld.las", k / 200, k);
            if (k % 200 == 0 && mkdirat(fd, sub, 0755) != 0) return 1;
            if (!put(fd, name, h)) return 1;
        }
    } else {
        // Descriptors all the way down: the path is far longer than PATH_MAX.
        for (long k = 0; k < n; ++k) {
            if (mkdirat(fd, "d", 0755) != 0) return 1;
            int sub = openat(fd, "d", O_RDONLY | O_DIRECTORY);
            close(fd);
            if ((fd = sub) < 0) return 1;
        }
        if (!put(fd, "deep.las", h)) return 1;
    }
    close(fd);
    return 0;
}
