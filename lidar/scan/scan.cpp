#include "scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

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
// Defined with the point detail's loop below: with Gps 0 it folds the
// statistics alone, else each record into both while it is in L1.
template <std::size_t L, unsigned Mask, std::size_t Gps>
__attribute__((target("avx2"))) void fold_avx2(PointStats& s, PointDetail* d, const unsigned char* p, std::size_t n,
                                               std::size_t stride);

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }

#else

bool cpu_has_avx2() { return false; }

#endif

template <std::size_t L, unsigned Mask>
ScanKernel scan_best(ScanKernel k, PointStats& s, const unsigned char* p, std::size_t n, std::size_t stride) {
#if LIDAR_HAVE_AVX2
    if (k == ScanKernel::avx2) {
        fold_avx2<L, Mask, 0>(s, nullptr, p, n, stride);
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

namespace {

// Byte 14 alone decides both faults of a record's return number, so a table
// built once makes them one load and one add per record: bad return numbers
// in the low half, zero numbers of returns in the high half. Point formats
// 0-5 give each count 3 bits, 6-10 give 4. Fewer than 2^32 records cannot
// carry from one half into the other.
template <bool Extended>
constexpr std::array<std::uint64_t, 256> make_return_faults() {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        const unsigned number = Extended ? b & 15 : b & 7;
        const unsigned returns = Extended ? b >> 4 : (b >> 3) & 7;
        t[b] = std::uint64_t{number == 0 || number > returns} | std::uint64_t{returns == 0} << 32;
    }
    return t;
}
template <bool Extended>
constexpr std::array<std::uint64_t, 256> kReturnFaults = make_return_faults<Extended>();

// The most records one pass of a kernel takes: its 32-bit class counters
// and the halves of its fault sum cannot overflow.
constexpr std::size_t kMaxRun = 0xffffffff;

// Classes and return-number faults, four records per step. Each of the four
// has a class histogram of its own: in real files one or two classes make
// up most records, and with a single histogram every increment would wait
// for the previous one to reach memory (two still stall on a mix of two
// classes; four do not). Point formats 0-5 keep the class in the low 5 bits
// of byte 15, formats 6-10 in the whole of byte 16.
template <bool Extended>
struct Tally {
    static constexpr std::size_t at = Extended ? 16 : 15;
    static constexpr unsigned mask = Extended ? 255 : 31;
    std::uint32_t classes[4][mask + 1] = {};
    std::uint64_t faults = 0;

    void add(const unsigned char* r, unsigned k) {
        ++classes[k][r[at] & mask];
        faults += kReturnFaults<Extended>[r[14]];
    }
    void into(PointDetail& d) const {
        for (unsigned c = 0; c <= mask; ++c)
            d.classes[c] += std::uint64_t{classes[0][c]} + classes[1][c] + classes[2][c] + classes[3][c];
        d.bad_return_number += faults & 0xffffffff;
        d.zero_returns += faults >> 32;
    }
};

// t + (t - t) is t for a finite time and NaN for NaN or an infinity; a NaN
// loses every comparison, so min, max and the count of finite times need no
// branch. It also turns -0 into +0: equal times are then equal bits, and
// neither the order in which partial extremes are combined nor a merge can
// change a result.
inline double finite_or_nan(double t) { return t + (t - t); }
inline double less(double a, double b) { return a < b ? a : b; }
inline double more(double a, double b) { return a > b ? a : b; }

// Adds count finite times from lo to hi and invalid others to d.
void add_times(PointDetail& d, std::uint64_t count, std::uint64_t invalid, double lo, double hi) {
    d.gps_invalid += invalid;
    if (count == 0) return;
    d.gps_min = d.gps_count == 0 ? lo : less(lo, d.gps_min);
    d.gps_max = d.gps_count == 0 ? hi : more(hi, d.gps_max);
    d.gps_count += count;
}

template <std::size_t Gps>
double time_of(const unsigned char* r) {
    double t;
    std::memcpy(&t, r + Gps, 8);
    return finite_or_nan(t);
}

// GPS extremes in two independent chains, so that no single chain of
// dependent comparisons sets the pace.
struct TimeRange {
    static constexpr double inf = std::numeric_limits<double>::infinity();
    double lo[2] = {inf, inf}, hi[2] = {-inf, -inf};
    std::uint64_t finite = 0;

    void add(double u, unsigned k) {
        finite += u == u;
        lo[k] = less(u, lo[k]);
        hi[k] = more(u, hi[k]);
    }
    void into(PointDetail& d, std::size_t n) const {
        add_times(d, finite, n - finite, less(lo[1], lo[0]), more(hi[1], hi[0]));
    }
};

// One family of point formats, GPS time at offset Gps (0: none), n records
// of at most kMaxRun.
template <bool Extended, std::size_t Gps>
void details_scalar(PointDetail& d, const unsigned char* p, std::size_t n, std::size_t stride) {
    Tally<Extended> tally;
    TimeRange range;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4, p += 4 * stride) {
        for (unsigned k = 0; k < 4; ++k) {
            tally.add(p + k * stride, k);
            if constexpr (Gps != 0) range.add(time_of<Gps>(p + k * stride), k & 1);
        }
    }
    for (; i < n; ++i, p += stride) {
        tally.add(p, 0);
        if constexpr (Gps != 0) range.add(time_of<Gps>(p), 0);
    }
    tally.into(d);
    if constexpr (Gps != 0) range.into(d, n);
}

#if LIDAR_HAVE_AVX2

// The GPS times of four records in one register, for both AVX2 kernels.
// vminpd and vmaxpd return their second operand when the first is NaN, as
// less and more do.
struct TimeLanes {
    __m256d lo, hi;
    __m256i finite;
};

__attribute__((target("avx2"))) inline void start_lanes(TimeLanes& t) {
    const double inf = std::numeric_limits<double>::infinity();
    t.lo = _mm256_set1_pd(inf);
    t.hi = _mm256_set1_pd(-inf);
    t.finite = _mm256_setzero_si256();
}

template <std::size_t Gps>
__attribute__((target("avx2"))) inline void add_lanes(TimeLanes& t, const unsigned char* p, std::size_t stride) {
    double v[4];  // memcpy: the times are unaligned
    for (unsigned k = 0; k < 4; ++k) std::memcpy(&v[k], p + k * stride + Gps, 8);
    __m256d u = _mm256_setr_pd(v[0], v[1], v[2], v[3]);
    u = _mm256_add_pd(u, _mm256_sub_pd(u, u));
    t.lo = _mm256_min_pd(u, t.lo);
    t.hi = _mm256_max_pd(u, t.hi);
    t.finite = _mm256_sub_epi64(t.finite, _mm256_castpd_si256(_mm256_cmp_pd(u, u, _CMP_ORD_Q)));
}

// The four lanes as the scalar range's two chains, for the records left over.
__attribute__((target("avx2"))) inline TimeRange lanes_range(const TimeLanes& t) {
    alignas(32) double l[4], h[4];
    alignas(32) std::uint64_t f[4];
    _mm256_store_pd(l, t.lo);
    _mm256_store_pd(h, t.hi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(f), t.finite);
    TimeRange range;
    range.lo[0] = less(l[2], l[0]);
    range.lo[1] = less(l[3], l[1]);
    range.hi[0] = more(h[2], h[0]);
    range.hi[1] = more(h[3], h[1]);
    range.finite = f[0] + f[1] + f[2] + f[3];
    return range;
}

// The same, with the GPS times of four records in one register: one vector
// min, max and compare for four records instead of a dozen scalar
// instructions for each, which brings format 1 and 6 records from about 1.4
// to 0.9 ns each on a Zen 3; the class histograms take most of the rest.
template <bool Extended, std::size_t Gps>
__attribute__((target("avx2"))) void details_avx2(PointDetail& d, const unsigned char* p, std::size_t n,
                                                  std::size_t stride) {
    static_assert(Gps != 0, "without GPS times there is nothing to put in a vector");
    Tally<Extended> tally;
    TimeLanes times;
    start_lanes(times);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4, p += 4 * stride) {
        for (unsigned k = 0; k < 4; ++k) tally.add(p + k * stride, k);
        add_lanes<Gps>(times, p, stride);
    }
    TimeRange range = lanes_range(times);
    for (; i < n; ++i, p += stride) {
        tally.add(p, 0);
        range.add(time_of<Gps>(p), 0);
    }
    tally.into(d);
    range.into(d, n);
}

// The statistics kernel (Gps 0), or both kernels in one pass over the
// records, for a caller that wants the detail too: each record is loaded once while it is in L1, not
// once more from a block that by then has left L2 (the block is as large as
// the AMD's L2). The detail part is details_avx2's loop record for record,
// so the results are those of the two kernels run one after the other.
template <std::size_t L, unsigned Mask, std::size_t Gps>
__attribute__((target("avx2"))) void fold_avx2(PointStats& s, PointDetail* d, const unsigned char* p,
                                               std::size_t n, std::size_t stride) {
    static_assert(L >= 16 || L == 0, "each lane load must stay inside its record");
    static_assert(Mask == 7 || Mask == 15);
    constexpr bool Extended = Mask == 15;
    const std::size_t step = L ? L : stride;
    const __m256i mask = _mm256_set1_epi8(static_cast<char>(Mask));
    const __m256i bins = Mask == 7 ? _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                                      0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7)
                                   : _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                                      0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const char z = -128;
    const __m256i to_low = _mm256_setr_epi8(14, 14, 14, 14, 14, 14, 14, 14, z, z, z, z, z, z, z, z,
                                            14, 14, 14, 14, 14, 14, 14, 14, z, z, z, z, z, z, z, z);
    const __m256i to_high = _mm256_setr_epi8(z, z, z, z, z, z, z, z, 14, 14, 14, 14, 14, 14, 14, 14,
                                             z, z, z, z, z, z, z, z, 14, 14, 14, 14, 14, 14, 14, 14);
    const __m256i to_all = _mm256_set1_epi8(14);
    __m256i mx0 = _mm256_setr_epi32(s.maxX, s.maxY, s.maxZ, 0, s.maxX, s.maxY, s.maxZ, 0);
    __m256i mn0 = _mm256_setr_epi32(s.minX, s.minY, s.minZ, 0, s.minX, s.minY, s.minZ, 0);
    __m256i mx1 = mx0, mn1 = mn0;
    std::uint64_t hist[Mask + 1] = {};

    Tally<Extended> tally;
    TimeLanes times;
    start_lanes(times);

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
            if constexpr (Gps != 0) {
                for (unsigned k = 0; k < 4; ++k) tally.add(p + k * step, k);
                add_lanes<Gps>(times, p, step);
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
    alignas(16) std::int32_t hi4[4], lo4[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(hi4), mx4);
    _mm_store_si128(reinterpret_cast<__m128i*>(lo4), mn4);
    s.maxX = hi4[0]; s.maxY = hi4[1]; s.maxZ = hi4[2];
    s.minX = lo4[0]; s.minY = lo4[1]; s.minZ = lo4[2];
    for (unsigned k = 0; k <= Mask; ++k) s.by_return_bits[k] += hist[k];
    s.count += n / 4 * 4;
    scan_fixed<L, Mask>(s, p, n % 4, stride);
    if constexpr (Gps != 0) {
        TimeRange range = lanes_range(times);
        for (std::size_t i = n / 4 * 4; i < n; ++i, p += step) {
            tally.add(p, 0);
            range.add(time_of<Gps>(p), 0);
        }
        tally.into(*d);
        range.into(*d, n);
    }
}

#endif

template <bool Extended, std::size_t Gps>
ScanKernel details_best(ScanKernel k, PointDetail& d, const unsigned char* p, std::size_t n, std::size_t stride) {
#if LIDAR_HAVE_AVX2
    if constexpr (Gps != 0) {
        if (k == ScanKernel::avx2) {
            details_avx2<Extended, Gps>(d, p, n, stride);
            return ScanKernel::avx2;
        }
    }
#endif
    (void)k;
    details_scalar<Extended, Gps>(d, p, n, stride);
    return ScanKernel::scalar;
}

// The shortest record of each point format.
constexpr std::size_t kRecordLength[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

}  // namespace

std::size_t gps_time_offset(unsigned point_format) {
    if (point_format > 10) return 0;
    if (point_format >= 6) return 22;
    return point_format == 0 || point_format == 2 ? 0 : 20;
}

ScanKernel scan_details_with(ScanKernel k, PointDetail& d, const unsigned char* p, std::size_t n,
                             std::size_t record_length, unsigned point_format) {
    if (point_format > 10 || record_length < kRecordLength[point_format]) return k;
    const std::size_t gps = gps_time_offset(point_format);
    ScanKernel ran;
    do {
        const std::size_t m = std::min(n, kMaxRun);
        if (gps == 22) ran = details_best<true, 22>(k, d, p, m, record_length);
        else if (gps == 20) ran = details_best<false, 20>(k, d, p, m, record_length);
        else ran = details_best<false, 0>(k, d, p, m, record_length);
        n -= m;
        p += m * record_length;
    } while (n > 0);
    return ran;
}

void scan_details(PointDetail& d, const unsigned char* p, std::size_t n, std::size_t record_length,
                  unsigned point_format) {
    scan_details_with(chosen_scan_kernel(), d, p, n, record_length, point_format);
}

namespace {

template <std::size_t L, unsigned Mask>
void both_by_gps(PointStats& s, PointDetail& d, const unsigned char* p, std::size_t n, std::size_t stride,
                 std::size_t gps) {
#if LIDAR_HAVE_AVX2
    if constexpr (Mask == 15) fold_avx2<L, 15, 22>(s, &d, p, n, stride);
    else if (gps == 20) fold_avx2<L, 7, 20>(s, &d, p, n, stride);
#else
    (void)s, (void)d, (void)p, (void)n, (void)stride, (void)gps;
#endif
}

}  // namespace

ScanKernel scan_block_with(ScanKernel k, PointStats& s, PointDetail* d, const unsigned char* p, std::size_t n,
                           std::size_t record_length, unsigned return_mask, unsigned point_format) {
    if (!d) return scan_records_with(k, s, p, n, record_length, return_mask);
    const std::size_t gps = gps_time_offset(point_format);
    // One pass where both kernels have AVX2 loops and agree on the
    // format's family; anything else as the two kernels, one after the other.
    const bool one_pass = k == ScanKernel::avx2 && LIDAR_HAVE_AVX2 && gps != 0 && n <= kMaxRun &&
                          record_length >= kRecordLength[point_format] && return_mask == (point_format >= 6 ? 15u : 7u);
    if (!one_pass) {
        const ScanKernel ran = scan_records_with(k, s, p, n, record_length, return_mask);
        scan_details_with(k, *d, p, n, record_length, point_format);
        return ran;
    }
    // The shortest records of the usual formats unrolled (1 and 3; 6 and
    // 7); any other stride at run time.
    if (return_mask == 15) {
        switch (record_length) {
            case 30: both_by_gps<30, 15>(s, *d, p, n, 30, gps); break;
            case 36: both_by_gps<36, 15>(s, *d, p, n, 36, gps); break;
            default: both_by_gps<0, 15>(s, *d, p, n, record_length, gps); break;
        }
        return ScanKernel::avx2;
    }
    switch (record_length) {
        case 28: both_by_gps<28, 7>(s, *d, p, n, 28, gps); break;
        case 34: both_by_gps<34, 7>(s, *d, p, n, 34, gps); break;
        default: both_by_gps<0, 7>(s, *d, p, n, record_length, gps); break;
    }
    return ScanKernel::avx2;
}

namespace {

void count_outside(PointDetail& d, const unsigned char* p, std::size_t n, std::size_t record_length) {
    const OutsideBox& b = *d.box;
    for (std::size_t i = 0; i < n; ++i, p += record_length)
        for (int a = 0; a < 3; ++a) {
            std::int32_t raw;
            std::memcpy(&raw, p + 4 * a, 4);
            const double v = raw * b.scale[a] + b.offset[a];
            if (v < b.lo[a] || v > b.hi[a]) {
                ++d.outside;
                break;
            }
        }
}

}  // namespace

void scan_block(PointStats& s, PointDetail* d, const unsigned char* p, std::size_t n, std::size_t record_length,
                unsigned return_mask, unsigned point_format) {
    scan_block_with(chosen_scan_kernel(), s, d, p, n, record_length, return_mask, point_format);
    if (d && d->box) count_outside(*d, p, n, record_length);
}

void merge_stats(PointStats& a, const PointStats& b) {
    a.count += b.count;
    for (unsigned k = 0; k < 16; ++k) a.by_return_bits[k] += b.by_return_bits[k];
    a.maxX = std::max(a.maxX, b.maxX);
    a.minX = std::min(a.minX, b.minX);
    a.maxY = std::max(a.maxY, b.maxY);
    a.minY = std::min(a.minY, b.minY);
    a.maxZ = std::max(a.maxZ, b.maxZ);
    a.minZ = std::min(a.minZ, b.minZ);
}

void merge_details(PointDetail& a, const PointDetail& b) {
    for (unsigned c = 0; c < 256; ++c) a.classes[c] += b.classes[c];
    a.bad_return_number += b.bad_return_number;
    a.zero_returns += b.zero_returns;
    a.outside += b.outside;
    add_times(a, b.gps_count, b.gps_invalid, b.gps_min, b.gps_max);
}

}  // namespace lidar
