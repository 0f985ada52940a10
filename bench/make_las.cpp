// Writes a synthetic LAS file of about a given size: a valid header with
// stale statistics, then random point records of one format (0-3: LAS 1.2;
// 6: LAS 1.4, which only Vexholt-audit reads).
//
//   make_las [--reuse] [--flight COL ROW] FILE SIZE FORMAT
//                                          SIZE in bytes, or with K, M or G
//
// Random records are the worst case of any per-point bookkeeping: every
// record its own swath, every point a distant cell. --flight writes what a
// scanner writes instead, for the acceptance survey's cost: a square tile
// (at COL, ROW of a scheme of such tiles) at 8 points per square metre,
// crossed by flight lines along y, each scanned across in zigzag rows, one
// Point Source ID and rising GPS times per line, a fifth of the pulses with
// two returns.
//
// With --reuse an existing FILE of exactly the size and format asked for is
// kept as it is, so repeated benchmark runs do not rewrite gigabytes.
#include "LiDAR.h"

#include <cmath>
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

// One record of a flight-like tile at a time, in the order a scanner
// writes them.
struct Flight {
    static constexpr double kDensity = 8, kScale = 0.01;
    static constexpr int kLines = 4;  // across a tile
    double x0, y0, width, spacing, half_swath;
    std::uint64_t state = 0x5EED5EEDu;
    int line = 0;
    std::int64_t row = 0, at = 0, across = 0;
    double time = 0;
    bool second = false;  // the next record is the second return of a pulse
    unsigned char last[30] = {};

    Flight(int col, int tile_row, std::uint64_t count) {
        width = std::floor(std::sqrt(static_cast<double>(count) / kDensity));
        // Swaths a third wider than the lines' spacing overlap; 2 records per
        // 1.2 pulses, so pulses are spaced for count / 1.2 of them over the
        // overlapping area, a little sparser so the lines hold count records.
        half_swath = width / kLines * 1.3 / 2;
        const double pulses = static_cast<double>(count) / 1.2;
        spacing = std::sqrt(width * width * 1.3 / pulses) * 1.01;
        x0 = 500000 + col * width;
        y0 = 4000000 + tile_row * width;
        across = static_cast<std::int64_t>(2 * half_swath / spacing);
        time = 3e8 + (col * 1000 + tile_row) * 10.0;
    }
    // Writes the next record into r (format 1 or 6).
    void emit(unsigned char* r, int format) {
        if (second) {
            std::memcpy(r, last, 30);
            second = false;
            if (format >= 6) r[14] = 2 | 2 << 4;
            else r[14] = 2 | 2 << 3;
            std::int32_t z;
            std::memcpy(&z, r + 8, 4);
            z -= 800;
            std::memcpy(r + 8, &z, 4);
            return;
        }
        double x, y;
        for (;;) {
            if (at == across) at = 0, ++row;
            const double centre = (line % kLines + 0.5) * width / kLines;
            const std::int64_t i = row % 2 ? across - 1 - at : at;  // zigzag
            x = centre - half_swath + (static_cast<double>(i) + 0.5) * spacing;
            y = (static_cast<double>(row) + 0.5) * spacing;
            ++at;
            if (y >= width) {  // the line is flown: the next one, from the south
                ++line, row = 0, at = 0;
                continue;
            }
            if (x >= 0 && x < width) break;
        }
        const std::uint64_t rnd = next(state);
        const bool two = rnd % 5 == 0;
        time += 4e-6;
        const std::int32_t xyz[3] = {static_cast<std::int32_t>(std::lround((x0 + x - 500000) / kScale)),
                                     static_cast<std::int32_t>(std::lround((y0 + y - 4000000) / kScale)),
                                     static_cast<std::int32_t>(150000 + (rnd >> 8) % 20000)};
        std::memset(r, 0, 30);
        std::memcpy(r, xyz, 12);
        const auto intensity = static_cast<std::uint16_t>(256 + (rnd >> 24) % 60000);
        std::memcpy(r + 12, &intensity, 2);
        const unsigned char cls = (rnd >> 40) % 3 == 0 ? 2 : (rnd >> 40) % 3 == 1 ? 1 : 5;
        const std::uint16_t source = static_cast<std::uint16_t>(line + 1);
        const double angle = (static_cast<double>(at) / static_cast<double>(across) - 0.5) * 40;
        if (format >= 6) {
            r[14] = static_cast<unsigned char>(1 | (two ? 2 : 1) << 4);
            r[16] = cls;
            const auto a = static_cast<std::int16_t>(angle / 0.006);
            std::memcpy(r + 18, &a, 2);
            std::memcpy(r + 20, &source, 2);
            std::memcpy(r + 22, &time, 8);
        } else {
            r[14] = static_cast<unsigned char>(1 | (two ? 2 : 1) << 3);
            r[15] = cls;
            r[16] = static_cast<unsigned char>(static_cast<std::int8_t>(angle));
            std::memcpy(r + 18, &source, 2);
            std::memcpy(r + 20, &time, 8);
        }
        if (two) std::memcpy(last, r, 30), second = true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    bool reuse = argc > 1 && std::strcmp(argv[1], "--reuse") == 0;
    if (reuse) { --argc; ++argv; }
    bool flight = argc > 3 && std::strcmp(argv[1], "--flight") == 0;
    const int col = flight ? std::atoi(argv[2]) : 0, tile_row = flight ? std::atoi(argv[3]) : 0;
    if (flight) { argc -= 3; argv += 3; }
    if (argc != 4 || (flight && std::atoi(argv[3]) != 1 && std::atoi(argv[3]) != 6)) {
        std::fprintf(stderr, "usage: make_las [--reuse] [--flight COL ROW] FILE SIZE FORMAT (1 or 6 for --flight)\n");
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
    if (flight) head[6] |= 1;  // adjusted standard GPS time
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
    Flight plane(col, tile_row, count);
    for (std::uint64_t done = 0; ok && flight && done < count;) {
        const std::size_t n = static_cast<std::size_t>(count - done < per_buffer ? count - done : per_buffer);
        for (std::size_t i = 0; i < n; ++i) plane.emit(&buf[i * reclen], format);
        ok = std::fwrite(buf.data(), reclen, n, f) == n;
        done += n;
    }
    for (std::uint64_t done = 0; ok && !flight && done < count;) {
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
