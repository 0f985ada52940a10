// Vexholt's read loop with a chosen scan kernel, statistics discarded, to
// show what the kernel contributes on this machine.
//
//   kernel_scan scalar|avx2 FILE
#include "LiDAR.h"
#include "scan.h"

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kernel_scan scalar|avx2 FILE\n");
        return 2;
    }
    lidar::ScanKernel k = std::strcmp(argv[1], "avx2") == 0 ? lidar::ScanKernel::avx2 : lidar::ScanKernel::scalar;
    if (!lidar::scan_kernel_available(k)) {
        std::fprintf(stderr, "kernel_scan: this processor cannot run %s\n", argv[1]);
        return 1;
    }
    std::FILE* f = std::fopen(argv[2], "rb");
    if (!f) {
        std::perror(argv[2]);
        return 1;
    }
    std::setvbuf(f, nullptr, _IONBF, 0);  // whole blocks straight into buf
    LAS12Header h;
    if (std::fread(&h, sizeof h, 1, f) != 1) return 1;
    const std::size_t lengths[] = {20, 28, 26, 34};
    if (h.PointDataFormatID > 3) return 1;
    std::size_t L = lengths[h.PointDataFormatID];
    std::vector<unsigned char> buf((1 << 20) / L * L);
    std::fseek(f, static_cast<long>(h.OffsetToData), SEEK_SET);
    lidar::PointStats s;
    for (std::size_t got; (got = std::fread(buf.data(), 1, buf.size(), f)) > 0;)
        lidar::scan_records_with(k, s, buf.data(), got / L, L);
    std::fclose(f);
    std::printf("%llu points\n", static_cast<unsigned long long>(s.count));
    return 0;
}
