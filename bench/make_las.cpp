// Writes a synthetic LAS file of about a given size: a valid header with
// stale statistics, then random point records of one format (0-3: LAS 1.2;
// 6: LAS 1.4, which only Vexholt-audit reads).
//
//   make_las [--reuse] FILE SIZE FORMAT    SIZE in bytes, or with K, M or G
//
// With --reuse an existing FILE of exactly the size and format asked for is
// kept as it is, so repeated benchmark runs do not rewrite gigabytes.
#include "LiDAR.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::uint64_t parse_size(const char* text) {
    char* end = nullptr;
    std::uint64_t v = std::strtoull(text, &end, 10);
    switch (*end) {
        case 'K': case 'k': return v << 10;
        case 'M': case 'm': return v << 20;
        case 'G': case 'g': return v << 30;
        case '\0': return v;
        default: return 0;
    }
}

std::size_t record_length(int format) {
    switch (format) {
        case 0: return sizeof(LAS12fm0);
        case 1: return sizeof(LAS12fm1);
        case 2: return sizeof(LAS12fm2);
        case 3: return sizeof(LAS12fm3);
        case 6: return 30;
        default: return 0;
    }
}

// splitmix64: fast, and good enough to defeat branch prediction.
std::uint64_t next(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool existing_matches(const char* path, std::uint64_t size, int format) {
    struct stat st;
    if (stat(path, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != size) return false;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    LAS12Header h;
    bool ok = std::fread(&h, sizeof h, 1, f) == 1 && std::memcmp(h.LASF, "LASF", 4) == 0 &&
              h.PointDataFormatID == format;
    std::fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    bool reuse = argc > 1 && std::strcmp(argv[1], "--reuse") == 0;
    if (reuse) { --argc; ++argv; }
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_las [--reuse] FILE SIZE FORMAT\n");
        return 2;
    }
    const char* path = argv[1];
    std::uint64_t want = parse_size(argv[2]);
    int format = std::atoi(argv[3]);
    std::size_t reclen = record_length(format);
    if (reclen == 0 || want < sizeof(LAS12Header)) {
        std::fprintf(stderr, "make_las: bad size or point format\n");
        return 2;
    }
    const bool v14 = format >= 6;
    const std::size_t header_size = v14 ? 375 : sizeof(LAS12Header);
    std::uint64_t count = (want - header_size) / reclen;
    std::uint64_t size = header_size + count * reclen;
    if (!v14 && count > UINT32_MAX) {
        std::fprintf(stderr, "make_las: more points than a LAS 1.2 header can count\n");
        return 2;
    }
    if (reuse && existing_matches(path, size, format)) return 0;

    LAS12Header h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.LASF, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = v14 ? 4 : 2;
    std::memcpy(h.SystemIdentifier, "synthetic", 9);
    std::memcpy(h.GeneratingSoftware, "make_las", 8);
    h.HeaderSize = static_cast<std::uint16_t>(header_size);
    h.OffsetToData = static_cast<std::uint32_t>(header_size);
    h.PointDataFormatID = static_cast<std::uint8_t>(format);
    h.PointDataRecordLength = static_cast<std::uint16_t>(reclen);
    h.NumberOfPointReturns = v14 ? 0 : 1;  // stale on purpose
    h.XScaleFactor = h.YScaleFactor = 0.01;
    h.ZScaleFactor = 0.001;
    h.XOffset = 500000;
    h.YOffset = 4000000;
    // LAS 1.4 adds extended VLR fields and 64-bit counts after the 227
    // bytes; the count is stale on purpose.
    std::vector<unsigned char> head(header_size, 0);
    std::memcpy(head.data(), &h, sizeof h);
    if (v14) head[247] = 1;
    std::FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    bool ok = std::fwrite(head.data(), head.size(), 1, f) == 1;

    // Whole records per buffer, every byte random; then X and Y are kept off
    // the two most extreme int32 values and Z within +-2^30, so that any
    // correct scan, whatever its start values, finds the same extents.
    const std::size_t per_buffer = (8u << 20) / reclen;
    std::vector<unsigned char> buf(per_buffer * reclen + 8);
    std::uint64_t state = 0x5EED0000u + static_cast<unsigned>(format);
    for (std::uint64_t done = 0; ok && done < count;) {
        std::size_t n = static_cast<std::size_t>(count - done < per_buffer ? count - done : per_buffer);
        for (std::size_t at = 0; at < n * reclen; at += 8) {
            std::uint64_t r = next(state);
            std::memcpy(&buf[at], &r, 8);
        }
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char* p = &buf[i * reclen];
            std::int32_t v[3];
            std::memcpy(v, p, 12);
            for (int k = 0; k < 2; ++k) {
                if (v[k] < -2147483646) v[k] = -2147483646;
                if (v[k] > 2147483646) v[k] = 2147483646;
            }
            v[2] >>= 1;
            std::memcpy(p, v, 12);
        }
        ok = std::fwrite(buf.data(), reclen, n, f) == n;
        done += n;
    }
    // Settled on disk now, so that no later timed run pays the write-back.
    if (ok && (std::fflush(f) != 0 || fsync(fileno(f)) != 0)) ok = false;
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        std::perror(path);
        return 1;
    }
    return 0;
}
