#include "scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

// x86 builds carry an AVX2 kernel chosen at run time; everything else runs
// the scalar kernel. (On Windows GCC cannot keep 32-byte stack slots
// aligned, so the build there assembles aligned vector moves as unaligned.)
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define LIDAR_HAVE_AVX2 1
#include <immintrin.h>
#else
#define LIDAR_HAVE_AVX2 0
#endif

namespace lidar {

static_assert(std::endian::native == std::endian::little,
              "point records are read in place as little-endian integers");

namespace {

// A fixed stride lets the compiler unroll and keep every running value in a
// register (L 0: the stride is given at run time, for records that carry
// extra bytes). Extremes use min/max (conditional moves) because random
// coordinates mispredict a branch half the time; return numbers index a
// histogram instead of being tested. Mask picks the return number from
// byte 14: 7 for point formats 0-5, 15 for 6-10.
template <std::size_t L, unsigned Mask>
void scan_fixed(PointStats& s, const unsigned char* p, std::size_t n, std::size_t stride) {
    const std::size_t step = L ? L : stride;
    std::int32_t maxX = s.maxX, minX = s.minX, maxY = s.maxY, minY = s.minY;
    std::int32_t maxZ = s.maxZ, minZ = s.minZ;
    // Two histograms so consecutive equal return numbers do not serialise
    // on one counter.
    std::uint64_t h0[Mask + 1] = {}, h1[Mask + 1] = {};
    std::size_t i = 0;
    for (; i < n; ++i, p += step) {
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
        ++((i & 1) ? h1 : h0)[p[14] & Mask];
    }
    s.maxX = maxX; s.minX = minX; s.maxY = maxY; s.minY = minY;
    s.maxZ = maxZ; s.minZ = minZ;
    for (unsigned k = 0; k <= Mask; ++k) s.by_return_bits[k] += h0[k] + h1[k];
    s.count += n;
}

#if LIDAR_HAVE_AVX2

// The first 16 bytes of the records at a and b, one per lane.
__attribute__((target("avx2"), always_inline)) inline __m256i two(const unsigned char* a,
                                                                  const unsigned char* b) {
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// The first 16 bytes of every record are X, Y, Z, Intensity, bitfield,
// Classification, ScanAngleRank, UserData, PointSourceID: one 128-bit lane
// holds everything the scan needs. Two records share a 256-bit register,
// so one signed max and one min update X, Y and Z of both at once, with no
// transposing (the fourth dword is junk and ignored). The return number is
// counted without any data-dependent branch or memory index: a byte shuffle
// copies the bitfield of each record into eight byte slots, a compare with
// 0..7 turns the slot of its return number into -1, and subtracting that
// adds 1 to a byte counter per bin. Four records per iteration fill all 32
// byte slots (records 0 and 1 in the low halves of the lanes, 2 and 3 in
// the high halves). Byte counters hold 255, so they are emptied into 64-bit
// totals every 255 iterations. Since a lane keeps the record's own layout,
// plain unaligned loads replace gathers or transposes. The loop takes about
// 0.4 ns (one cycle) per record, a sixth or less of what reading it costs.
// With 16 return numbers (point formats 6-10) a record's byte goes to all
// 16 byte slots of its lane instead, and each pair of records has counters
// of its own.
template <std::size_t L, unsigned Mask>
__attribute__((target("avx2"))) void scan_avx2(PointStats& s, const unsigned char* p, std::size_t n,
                                               std::size_t stride) {
    static_assert(L >= 16 || L == 0, "each lane load must stay inside its record");
    static_assert(Mask == 7 || Mask == 15);
    const std::size_t step = L ? L : stride;
    const __m256i mask = _mm256_set1_epi8(static_cast<char>(Mask));
    const __m256i bins = Mask == 7 ? _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                                      0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7)
                                   : _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                                      0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const char z = -128;  // a shuffle index with bit 7 set yields 0
    const __m256i to_low = _mm256_setr_epi8(14, 14, 14, 14, 14, 14, 14, 14, z, z, z, z, z, z, z, z,
                                            14, 14, 14, 14, 14, 14, 14, 14, z, z, z, z, z, z, z, z);
    const __m256i to_high = _mm256_setr_epi8(z, z, z, z, z, z, z, z, 14, 14, 14, 14, 14, 14, 14, 14,
                                             z, z, z, z, z, z, z, z, 14, 14, 14, 14, 14, 14, 14, 14);
    const __m256i to_all = _mm256_set1_epi8(14);
    __m256i mx0 = _mm256_setr_epi32(s.maxX, s.maxY, s.maxZ, 0, s.maxX, s.maxY, s.maxZ, 0);
    __m256i mn0 = _mm256_setr_epi32(s.minX, s.minY, s.minZ, 0, s.minX, s.minY, s.minZ, 0);
    __m256i mx1 = mx0, mn1 = mn0;

    std::uint64_t hist[Mask + 1] = {};
    std::size_t quads = n / 4;
    while (quads > 0) {
        std::size_t batch = std::min<std::size_t>(quads, 255);
        quads -= batch;
        __m256i counts = _mm256_setzero_si256(), counts_b = _mm256_setzero_si256();
        for (; batch > 0; --batch, p += 4 * step) {
            __m256i a = two(p, p + step);
            __m256i b = two(p + 2 * step, p + 3 * step);
            mx0 = _mm256_max_epi32(mx0, a);
            mn0 = _mm256_min_epi32(mn0, a);
            mx1 = _mm256_max_epi32(mx1, b);
            mn1 = _mm256_min_epi32(mn1, b);
            if constexpr (Mask == 7) {
                __m256i r = _mm256_or_si256(_mm256_shuffle_epi8(a, to_low), _mm256_shuffle_epi8(b, to_high));
                r = _mm256_and_si256(r, mask);
                counts = _mm256_sub_epi8(counts, _mm256_cmpeq_epi8(r, bins));
            } else {
                __m256i ra = _mm256_and_si256(_mm256_shuffle_epi8(a, to_all), mask);
                __m256i rb = _mm256_and_si256(_mm256_shuffle_epi8(b, to_all), mask);
                counts = _mm256_sub_epi8(counts, _mm256_cmpeq_epi8(ra, bins));
                counts_b = _mm256_sub_epi8(counts_b, _mm256_cmpeq_epi8(rb, bins));
            }
        }
        alignas(32) unsigned char c[32], cb[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(c), counts);
        _mm256_store_si256(reinterpret_cast<__m256i*>(cb), counts_b);
        for (int k = 0; k < 32; ++k) hist[k & Mask] += c[k] + cb[k];
    }

    __m256i mx = _mm256_max_epi32(mx0, mx1), mn = _mm256_min_epi32(mn0, mn1);
    __m128i mx4 = _mm_max_epi32(_mm256_castsi256_si128(mx), _mm256_extracti128_si256(mx, 1));
    __m128i mn4 = _mm_min_epi32(_mm256_castsi256_si128(mn), _mm256_extracti128_si256(mn, 1));
    alignas(16) std::int32_t hi[4], lo[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(hi), mx4);
    _mm_store_si128(reinterpret_cast<__m128i*>(lo), mn4);
    s.maxX = hi[0]; s.maxY = hi[1]; s.maxZ = hi[2];
    s.minX = lo[0]; s.minY = lo[1]; s.minZ = lo[2];
    for (unsigned k = 0; k <= Mask; ++k) s.by_return_bits[k] += hist[k];
    s.count += n / 4 * 4;
    scan_fixed<L, Mask>(s, p, n % 4, stride);
}

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }

#else

bool cpu_has_avx2() { return false; }

#endif

template <std::size_t L, unsigned Mask>
ScanKernel scan_best(ScanKernel k, PointStats& s, const unsigned char* p, std::size_t n, std::size_t stride) {
#if LIDAR_HAVE_AVX2
    if (k == ScanKernel::avx2) {
        scan_avx2<L, Mask>(s, p, n, stride);
        return ScanKernel::avx2;
    }
#else
    (void)k;
#endif
    scan_fixed<L, Mask>(s, p, n, stride);
    return ScanKernel::scalar;
}

}  // namespace

bool scan_kernel_available(ScanKernel k) {
    return k == ScanKernel::scalar || (k == ScanKernel::avx2 && cpu_has_avx2());
}

ScanKernel scan_records_with(ScanKernel k, PointStats& s, const unsigned char* p, std::size_t n,
                             std::size_t record_length, unsigned return_mask) {
    if (record_length < 20) return k;
    if (return_mask == 15) return scan_best<0, 15>(k, s, p, n, record_length);
    if (return_mask != 7) return k;
    // The four lengths of LAS 1.0-1.2 unrolled; any other stride at run time.
    switch (record_length) {
        case 20: return scan_best<20, 7>(k, s, p, n, 20);
        case 26: return scan_best<26, 7>(k, s, p, n, 26);
        case 28: return scan_best<28, 7>(k, s, p, n, 28);
        case 34: return scan_best<34, 7>(k, s, p, n, 34);
        default: return scan_best<0, 7>(k, s, p, n, record_length);
    }
}

ScanKernel chosen_scan_kernel() {
    return scan_kernel_available(ScanKernel::avx2) ? ScanKernel::avx2 : ScanKernel::scalar;
}

void scan_records(PointStats& s, const unsigned char* p, std::size_t n, std::size_t record_length,
                  unsigned return_mask) {
    scan_records_with(chosen_scan_kernel(), s, p, n, record_length, return_mask);
}

}  // namespace lidar
