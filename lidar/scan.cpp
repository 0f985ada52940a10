#include "scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace lidar {

static_assert(std::endian::native == std::endian::little,
              "point records are read in place as little-endian integers");

namespace {

// A fixed stride lets the compiler unroll and keep every running value in a
// register. Extremes use min/max (conditional moves) because random
// coordinates mispredict a branch half the time; return numbers index a
// histogram instead of being tested.
template <std::size_t L>
void scan_fixed(PointStats& s, const unsigned char* p, std::size_t n) {
    std::int32_t maxX = s.maxX, minX = s.minX, maxY = s.maxY, minY = s.minY;
    std::int32_t maxZ = s.maxZ, minZ = s.minZ;
    // Two histograms so consecutive equal return numbers do not serialise
    // on one counter.
    std::uint64_t h0[8] = {}, h1[8] = {};
    std::size_t i = 0;
    for (; i < n; ++i, p += L) {
        std::int32_t x, y, z;
        std::memcpy(&x, p + 0, 4);
        std::memcpy(&y, p + 4, 4);
        std::memcpy(&z, p + 8, 4);
        maxX = std::max(maxX, x);
        minX = std::min(minX, x);
        maxY = std::max(maxY, y);
        minY = std::min(minY, y);
        maxZ = std::max(maxZ, z);
        minZ = std::min(minZ, z);
        ++((i & 1) ? h1 : h0)[p[14] & 7];
    }
    s.maxX = maxX; s.minX = minX; s.maxY = maxY; s.minY = minY;
    s.maxZ = maxZ; s.minZ = minZ;
    for (int k = 0; k < 8; ++k) s.by_return_bits[k] += h0[k] + h1[k];
    s.count += n;
}

}  // namespace

void scan_records(PointStats& s, const unsigned char* p, std::size_t n, std::size_t record_length) {
    switch (record_length) {
        case 20: scan_fixed<20>(s, p, n); break;
        case 26: scan_fixed<26>(s, p, n); break;
        case 28: scan_fixed<28>(s, p, n); break;
        case 34: scan_fixed<34>(s, p, n); break;
        default: break;
    }
}

}  // namespace lidar
