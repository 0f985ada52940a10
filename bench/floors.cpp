// What reading costs on this machine without judging anything, the floors
// the audit is measured against, and the block size that suits it.
//
//   floors tiles DIR THREADS BYTES   open, read BYTES (0: all), close each file of DIR
//   floors halves FILE THREADS       THREADS contiguous ranges of FILE, read by position
//   floors blocks FILE FORMAT        the audit's read-and-scan loop over FILE with
//                                    blocks of 128 KiB to 4 MiB, on 1 and 2 threads
#include "scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

void tiles(const char* dir, unsigned threads, std::size_t bytes) {
    std::vector<std::string> names;
    DIR* d = opendir(dir);
    if (!d) die(dir);
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(std::string(dir) + "/" + e->d_name);
    closedir(d);
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> t;
    for (unsigned k = 0; k < threads; ++k)
        t.emplace_back([&] {
            std::vector<unsigned char> buf(1 << 20);
            for (std::size_t i; (i = next++) < names.size();) {
                int fd = open(names[i].c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) die(names[i].c_str());
                const std::size_t want = bytes ? bytes : buf.size();
                while (read(fd, buf.data(), want) > 0 && bytes == 0) {
                }
                close(fd);
            }
        });
    for (std::thread& x : t) x.join();
}

// Reads [from, to) of fd by position in blocks, scanning each as the audit
// does when format is 0-10 (no scan when it is negative).
void read_range(int fd, std::uint64_t from, std::uint64_t to, std::size_t block, int format) {
    const std::size_t reclen = format >= 6 ? 30 : 28;
    block = block / reclen * reclen;
    std::vector<unsigned char> buf(block);
    lidar::PointStats s;
    lidar::PointDetail d;
    for (std::uint64_t at = from; at < to;) {
        const ssize_t n = pread(fd, buf.data(), std::min<std::uint64_t>(block, to - at), static_cast<off_t>(at));
        if (n <= 0) break;
        if (format >= 0)
            lidar::scan_block(s, &d, buf.data(), static_cast<std::size_t>(n) / reclen, reclen, format >= 6 ? 15 : 7,
                              static_cast<unsigned>(format));
        at += static_cast<std::uint64_t>(n);
    }
    if (s.count == 12345) std::puts("");  // keeps the scan
}

double split(const char* file, unsigned threads, std::size_t block, int format) {
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) die(file);
    struct stat st;
    fstat(fd, &st);
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size), part = (size / threads + 4095) / 4096 * 4096;
    const Clock::time_point t0 = Clock::now();
    std::vector<std::thread> t;
    for (unsigned k = 0; k < threads; ++k)
        t.emplace_back(read_range, fd, std::min(size, k * part), std::min(size, (k + 1) * part), block, format);
    for (std::thread& x : t) x.join();
    close(fd);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && !std::strcmp(argv[1], "tiles")) {
        tiles(argv[2], static_cast<unsigned>(std::atoi(argv[3])), std::strtoul(argv[4], nullptr, 10));
    } else if (argc == 4 && !std::strcmp(argv[1], "halves")) {
        split(argv[2], static_cast<unsigned>(std::atoi(argv[3])), 1 << 20, -1);
    } else if (argc == 4 && !std::strcmp(argv[1], "blocks")) {
        const int format = std::atoi(argv[3]);
        std::printf("%-9s %10s %10s\n", "block", "1 thread", "2 threads");
        for (std::size_t kib : {128, 256, 512, 1024, 2048, 4096}) {
            double best[2] = {1e9, 1e9};
            for (int round = 0; round < 7; ++round)
                for (unsigned th : {1u, 2u}) best[th - 1] = std::min(best[th - 1], split(argv[2], th, kib << 10, format));
            std::printf("%4zu KiB  %9.3fs %9.3fs\n", kib, best[0], best[1]);
        }
    } else {
        std::fputs("usage: floors tiles DIR THREADS BYTES | halves FILE THREADS | blocks FILE FORMAT\n", stderr);
        return 2;
    }
    return 0;
}
