#include "survey.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <numeric>
#include <new>

// x86 builds carry AVX2 and AVX-512 kernels chosen at run time.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define SURVEY_X86 1
// GCC 12's AVX-512 intrinsics leave the lanes they do not set undefined in
// a way its own flow analysis then warns of, at every use.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#else
#define SURVEY_X86 0
#endif


namespace audit {


namespace {

// A record's share of the fingerprint, from its first 20 bytes as three
// words: each word keyed, its halves multiplied, plus the word with its
// halves swapped, so that a change of any one bit changes the share and
// shares summed in any order give the same total. Three 32-bit products a
// word instead of full 64-bit ones: AVX2 has only the former, and
// emulating the latter cost about a tenth of the audit of a 1 GiB tile.
constexpr std::uint64_t kHashKey[3] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull};

inline std::uint64_t word_mix(std::uint64_t w, std::uint64_t key) {
    const std::uint64_t k = w ^ key;
    return (k & 0xffffffff) * (k >> 32) + std::rotl(w, 32);
}

inline std::uint64_t record_mix(const unsigned char* r) {
    std::uint64_t a, b;
    std::uint32_t c;
    std::memcpy(&a, r, 8);
    std::memcpy(&b, r + 8, 8);
    std::memcpy(&c, r + 16, 4);
    return word_mix(a, kHashKey[0]) + word_mix(b, kHashKey[1]) + word_mix(c, kHashKey[2]);
}

// As the point detail treats GPS times: NaN for NaN or an infinity, +0 for
// -0, so extremes need no branch and equal times are equal bits.
inline double finite_or_nan(double t) { return t + (t - t); }
inline double less(double a, double b) { return a < b ? a : b; }
inline double more(double a, double b) { return a > b ? a : b; }

// Where each family of point formats keeps what the survey reads.
template <bool Extended>
struct Layout {
    static constexpr unsigned mask = Extended ? 15 : 7;
    static constexpr std::size_t angle = Extended ? 18 : 16;
    static constexpr std::size_t source = Extended ? 20 : 18;
    static unsigned returns(unsigned b14) { return Extended ? b14 >> 4 : (b14 >> 3) & 7; }
    // The flag bits of byte 15 as bits 0-3: synthetic, key-point, withheld, overlap.
    static unsigned flags(unsigned b15) { return Extended ? b15 & 15 : b15 >> 5; }
    static std::int32_t angle_of(const unsigned char* r) {
        if constexpr (Extended) {
            std::int16_t a;
            std::memcpy(&a, r + 18, 2);
            return a;
        } else {
            return static_cast<std::int8_t>(r[16]);
        }
    }
};

// Four flag counts in one word, 16 bits each: one add a record. A run of
// at most kChunk records cannot carry from one into the next.
constexpr std::uint64_t spread(unsigned f) {
    return (f & 1) | std::uint64_t{(f >> 1) & 1} << 16 | std::uint64_t{(f >> 2) & 1} << 32 |
           std::uint64_t{(f >> 3) & 1} << 48;
}
constexpr std::uint64_t kSpread[16] = {spread(0), spread(1), spread(2),  spread(3),  spread(4),  spread(5),
                                       spread(6), spread(7), spread(8),  spread(9),  spread(10), spread(11),
                                       spread(12), spread(13), spread(14), spread(15)};

// Records taken at a time: the cells of their first returns are listed,
// then counted in a loop of their own, whose misses of a large grid then
// overlap instead of stalling the rest.
constexpr std::size_t kChunk = 4096;

// A swath's place by id: a few are searched, many looked up in a table
// of their places + 1 by a hash of the id (open addressing, at most half
// full), which grows with them: a tile of a few swaths takes no memory for
// the ids it does not hold.
constexpr std::size_t kFewSwaths = 16;
// The place of the ids past kMostSwaths.
constexpr std::uint32_t kOtherSwath = UINT32_MAX - 1;


// Marks id as one of the further ones; finish_survey counts them. With
// every record its own id, counting here cost a fifth of the audit.
inline void other_id(PointSurvey& s, std::uint16_t id) {
    if (s.other_ids.empty()) [[unlikely]] s.other_ids.assign(65536 / 64, 0);
    s.other_ids[id >> 6] |= std::uint64_t{1} << (id & 63);
}

// Fibonacci hashing into a table of mask + 1 places; one of 2^16 or more
// holds every id in its own place.
inline std::size_t swath_hash(std::uint16_t id, std::size_t mask) {
    if (mask >= 0xffff) return id;
    // bit_width, not popcount, of the mask 2^k - 1: without -mpopcnt the
    // latter is a library call on every probe.
    return static_cast<std::uint32_t>(id * 0x9E3779B1u) >> (32 - std::bit_width(mask));
}

void index_swaths(PointSurvey& s, std::size_t size) {
    s.swath_at.assign(size, 0);
    for (std::uint32_t k = 0; k < s.swaths.size(); ++k) {
        std::size_t h = swath_hash(s.swaths[k].id, size - 1);
        while (s.swath_at[h]) h = (h + 1) & (size - 1);
        s.swath_at[h] = k + 1;
    }
}

// Where id's place is, or would go, in the table.
std::size_t swath_probe(const PointSurvey& s, std::uint16_t id) {
    const std::size_t mask = s.swath_at.size() - 1;
    std::size_t h = swath_hash(id, mask);
    while (s.swath_at[h] && s.swaths[s.swath_at[h] - 1].id != id) h = (h + 1) & mask;
    return h;
}

// Keeps the kMostSwaths lowest ids, counting the others among the further
// ones; every id above the highest kept is one of them from now on. So the
// swaths kept are the lowest ids whatever order the records come in.
void keep_lowest(PointSurvey& s) {
    if (s.swaths.size() <= kMostSwaths) return;
    // Only which ids are lowest matters here; finish_survey sorts them.
    std::nth_element(s.swaths.begin(), s.swaths.begin() + (kMostSwaths - 1), s.swaths.end(),
                     [](const Swath& x, const Swath& y) { return x.id < y.id; });
    for (std::size_t k = kMostSwaths; k < s.swaths.size(); ++k) {
        other_id(s, s.swaths[k].id);
        s.other_swath_points += s.swaths[k].points;
    }
    s.swaths.resize(kMostSwaths);
    s.swath_bound = s.swaths.back().id;
    if (!s.swath_at.empty()) index_swaths(s, s.swath_at.size());
}

std::uint32_t swath_slot(PointSurvey& s, std::uint16_t id) {
    if (id > s.swath_bound) return kOtherSwath;
    std::size_t h = 0;
    if (!s.swath_at.empty()) {
        h = swath_probe(s, id);
        if (const std::uint32_t at = s.swath_at[h]) return at - 1;
    } else {
        for (std::size_t k = 0; k < s.swaths.size(); ++k)
            if (s.swaths[k].id == id) return static_cast<std::uint32_t>(k);
    }
    if (s.swaths.size() == 2 * kMostSwaths) {
        keep_lowest(s);
        if (id > s.swath_bound) return kOtherSwath;
        h = swath_probe(s, id);
    }
    s.swaths.push_back(Swath{.id = id});
    const auto at = static_cast<std::uint32_t>(s.swaths.size());
    if (2 * at > s.swath_at.size()) {
        if (at > kFewSwaths) index_swaths(s, std::bit_ceil(std::size_t{4} * at));
    } else {
        s.swath_at[h] = at;
    }
    return at - 1;
}

void add_times(Swath& w, std::uint64_t timed, double lo, double hi) {
    if (timed == 0) return;
    w.gps_min = w.timed == 0 ? lo : less(lo, w.gps_min);
    w.gps_max = w.timed == 0 ? hi : more(hi, w.gps_max);
    w.timed += timed;
}

// The swath of the records being read: Point Source IDs come in long runs,
// so a record of the same one costs a compare and a few adds in registers.
struct Run {
    static constexpr double inf = std::numeric_limits<double>::infinity();
    PointSurvey& s;
    std::uint32_t slot = UINT32_MAX;
    std::uint32_t id = UINT32_MAX;  // none yet
    std::uint64_t points = 0, timed = 0;
    double lo = inf, hi = -inf;
    std::uint64_t others = 0;  // points of further ids past the bound

    explicit Run(PointSurvey& survey) : s(survey) {}
    void flush() {
        s.other_swath_points += others;
        others = 0;
        if (slot == kOtherSwath) {
            s.other_swath_points += points;
        } else if (slot != UINT32_MAX) {
            Swath& w = s.swaths[slot];
            w.points += points;
            add_times(w, timed, lo, hi);
        }
        points = timed = 0;
        lo = inf;
        hi = -inf;
    }
    // The extremes of n lanes of the run's times, and how many were finite.
    void fold(const double* l, const double* h, int n, std::uint64_t finite) {
        for (int j = 0; j < n; ++j) {
            lo = less(l[j], lo);
            hi = more(h[j], hi);
        }
        timed += finite;
    }
    // t: finite_or_nan of the record's time (NaN where it has none).
    void add(std::uint16_t source, double t) {
        if (source != id) [[unlikely]] {
            // An id past the bound is a further one whatever comes later:
            // counted apart, the run left as it is.
            if (source > s.swath_bound) {
                ++others;
                other_id(s, source);
                return;
            }
            flush();
            id = source;
            slot = swath_slot(s, source);
            if (slot == kOtherSwath) other_id(s, source);
        }
        ++points;
        timed += t == t;
        lo = less(t, lo);
        hi = more(t, hi);
    }
};

// Whether first returns are laid in g's cells: a box that holds no cell has none.
bool gathered(const SurveyGrid& g) { return !g.first.empty() || !g.bits.empty(); }

// Raw X and Y to the grid's cells: cell coordinate = raw * a + b, the grid
// from lo on, cols by rows cells. Every kernel and the grid's
// bounds compute it alike, so a point inside the header's box lands in it.
struct Cells {
    double a[2], b[2], lo[2];
    std::uint32_t cols = 0, rows = 0;  // of the grid as laid
    std::uint32_t* count = nullptr;  // none where the grid keeps bits alone
    // Where the grid keeps bits (shift > 0): those and, where it counts too
    // (summed), how a laid cell's column and row become its count's:
    // (c + d) >> shift.
    std::uint64_t* bits = nullptr;
    bool summed = false;
    std::uint32_t d[2] = {0, 0}, shift = 0, count_cols = 0;
};

inline double cell_coord(std::int32_t raw, double a, double b) { return raw * a + b; }

Cells cells_of(SurveyGrid& g) {
    Cells c{};
    for (int k = 0; k < 2; ++k) {
        c.a[k] = g.scale[k] / g.cell;
        c.b[k] = g.offset[k] / g.cell;
    }
    const GridShape laid = laid_shape(g);
    c.lo[0] = static_cast<double>(laid.col0);
    c.lo[1] = static_cast<double>(laid.row0);
    c.cols = laid.cols;
    c.rows = laid.rows;
    c.count = g.first.empty() ? nullptr : g.first.data();
    if (!g.bits.empty()) {
        c.bits = g.bits.data();
        c.summed = c.count != nullptr;
        c.shift = g.shift;
        c.d[0] = static_cast<std::uint32_t>(laid.col0 - g.col0 * (std::int64_t{1} << g.shift));
        c.d[1] = static_cast<std::uint32_t>(laid.row0 - g.row0 * (std::int64_t{1} << g.shift));
        c.count_cols = g.cols;
    }
    return c;
}

// What a block adds up to, folded into the survey once it is read.
struct Tally {
    std::uint64_t flags[4] = {};
    std::uint64_t first = 0, last = 0, outside = 0, hash = 0;
    std::uint32_t imin = 0xffff, imax = 0, ior = 0;
    std::int32_t amin = INT32_MAX, amax = INT32_MIN;

    void add_flags(std::uint64_t packed) {
        for (int k = 0; k < 4; ++k) flags[k] += packed >> (16 * k) & 0xffff;
    }
};

// n more first returns in a cell; a count that would pass 2^32 stops there.
inline void add_capped(std::uint32_t& to, std::uint32_t n) { to = n > UINT32_MAX - to ? UINT32_MAX : to + n; }

// Adds a first return to each count listed. Points in a scanner's order
// fall in one cell a few at a time: each run is added at once, not as a
// chain of increments of one count, each waiting on the last (a fifth of
// the survey of a 1 GiB tile).
void add_runs(std::uint32_t* count, const std::uint32_t* listed, std::size_t k) {
    std::uint32_t at = listed[0], run = 1;
    for (std::size_t i = 1; i < k; ++i) {
        if (listed[i] == at) {
            ++run;
            continue;
        }
        add_capped(count[at], run);
        at = listed[i];
        run = 1;
    }
    add_capped(count[at], run);
}

// The first returns of a chunk, by their cells as laid (listed) and, where
// counts are summed, by their counts' cells (summed): the laid cells' bits
// are set a word at a time for each run of them within one, and the counts
// (Counted) a run at a time, as add_runs adds them.
template <bool Counted>
void mark_cells(const Cells& c, const std::uint32_t* listed, const std::uint32_t* summed, std::size_t k) {
    std::uint32_t word = listed[0] >> 6, at = Counted ? summed[0] : 0, run = 0;
    std::uint64_t held = 0;
    for (std::size_t i = 0; i < k; ++i) {
        if (listed[i] >> 6 != word) [[unlikely]] {
            c.bits[word] |= held;
            word = listed[i] >> 6;
            held = 0;
        }
        held |= std::uint64_t{1} << (listed[i] & 63);
        if constexpr (Counted) {
            if (summed[i] != at) [[unlikely]] {
                add_capped(c.count[at], run);
                at = summed[i];
                run = 0;
            }
            ++run;
        }
    }
    c.bits[word] |= held;
    if constexpr (Counted) add_capped(c.count[at], run);
}

void count_cells(const Cells& c, const std::uint32_t* listed, const std::uint32_t* summed, std::size_t k) {
    if (k == 0) return;
    if (!c.bits) return add_runs(c.count, listed, k);
    if (c.count) mark_cells<true>(c, listed, summed, k);
    else mark_cells<false>(c, listed, summed, k);
}

template <bool Extended, std::size_t Gps, bool Grid>
inline void survey_record(const unsigned char* r, Tally& t, Run& run, std::uint64_t& packed, const Cells& c,
                          std::uint32_t* listed, std::uint32_t* summed, std::size_t& k) {
    using F = Layout<Extended>;
    const unsigned b14 = r[14];
    const unsigned ret = b14 & F::mask;
    const bool first = ret == 1;
    t.first += first;
    t.last += (ret == F::returns(b14)) & (ret != 0);
    packed += kSpread[F::flags(r[15])];
    std::uint16_t in;
    std::memcpy(&in, r + 12, 2);
    t.imin = std::min<std::uint32_t>(t.imin, in);
    t.imax = std::max<std::uint32_t>(t.imax, in);
    t.ior |= in;
    const std::int32_t angle = F::angle_of(r);
    t.amin = std::min(t.amin, angle);
    t.amax = std::max(t.amax, angle);
    t.hash += record_mix(r);
    std::uint16_t source;
    std::memcpy(&source, r + F::source, 2);
    double time = std::numeric_limits<double>::quiet_NaN();
    if constexpr (Gps != 0) {
        std::memcpy(&time, r + Gps, 8);
        time = finite_or_nan(time);
    }
    run.add(source, time);
    if constexpr (Grid) {
        std::int32_t x, y;
        std::memcpy(&x, r, 4);
        std::memcpy(&y, r + 4, 4);
        const double u = cell_coord(x, c.a[0], c.b[0]) - c.lo[0];
        const double v = cell_coord(y, c.a[1], c.b[1]) - c.lo[1];
        const bool inside = (u >= 0) & (u < c.cols) & (v >= 0) & (v < c.rows);
        const double uu = inside ? u : 0, vv = inside ? v : 0;
        const auto col = static_cast<std::uint32_t>(uu), row = static_cast<std::uint32_t>(vv);
        listed[k] = row * c.cols + col;
        if (c.summed) summed[k] = ((row + c.d[1]) >> c.shift) * c.count_cols + ((col + c.d[0]) >> c.shift);
        k += first & inside;
        t.outside += first & !inside;
    }
}

template <bool Extended, std::size_t Gps, std::size_t L, bool Grid>
void survey_scalar(PointSurvey& s, Tally& t, Run& run, const unsigned char* p, std::size_t n, std::size_t stride) {
    const std::size_t step = L ? L : stride;
    const Cells c = Grid ? cells_of(s.grid) : Cells{};
    std::uint32_t listed[kChunk], summed[kChunk];
    for (std::size_t done = 0; done < n;) {
        const std::size_t m = std::min(kChunk, n - done);
        std::uint64_t packed = 0;
        std::size_t k = 0;
        for (std::size_t i = 0; i < m; ++i, p += step)
            survey_record<Extended, Gps, Grid>(p, t, run, packed, c, listed, summed, k);
        t.add_flags(packed);
        if constexpr (Grid) count_cells(c, listed, summed, k);
        done += m;
    }
}

#if SURVEY_X86
#define SURVEY_AVX2 __attribute__((target("avx2"), always_inline)) inline

// word_mix in each 64-bit lane.
SURVEY_AVX2 __m256i word_mix4(__m256i w, std::uint64_t key) {
    const __m256i k = _mm256_xor_si256(w, _mm256_set1_epi64x(static_cast<long long>(key)));
    return _mm256_add_epi64(_mm256_mul_epu32(k, _mm256_srli_epi64(k, 32)), _mm256_shuffle_epi32(w, 0xb1));
}

// record_mix of four records: a, b their bytes 0-7 and 8-15, c 16-19.
SURVEY_AVX2 __m256i record_mix4(__m256i a, __m256i b, __m256i c) {
    return _mm256_add_epi64(_mm256_add_epi64(word_mix4(a, kHashKey[0]), word_mix4(b, kHashKey[1])),
                            word_mix4(c, kHashKey[2]));
}

// Shuffles moving the dwords a 4-bit mask picks to the front.
struct Compress {
    alignas(16) unsigned char b[16][16];
};
constexpr Compress make_compress() {
    Compress c{};
    for (unsigned m = 0; m < 16; ++m) {
        unsigned at = 0;
        for (unsigned j = 0; j < 4; ++j)
            if (m >> j & 1) {
                for (unsigned q = 0; q < 4; ++q) c.b[m][4 * at + q] = static_cast<unsigned char>(4 * j + q);
                ++at;
            }
        for (unsigned q = 4 * at; q < 16; ++q) c.b[m][q] = 0x80;
    }
    return c;
}
constexpr Compress kCompress = make_compress();

template <class T>
SURVEY_AVX2 void lanes(T* out, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
}

// The run's times held in lanes, folded into it.
SURVEY_AVX2 void fold_times(Run& run, __m256d& lo, __m256d& hi, __m256i& timed, bool& held) {
    if (!held) return;
    alignas(32) double l[4], h[4];
    alignas(32) std::uint64_t c[4];
    _mm256_store_pd(l, lo);
    _mm256_store_pd(h, hi);
    lanes(c, timed);
    run.fold(l, h, 4, c[0] + c[1] + c[2] + c[3]);
    lo = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    hi = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
    timed = _mm256_setzero_si256();
    held = false;
}

// Four records a step, each read as the 32 bytes from its start (the records
// whose 32 bytes reach past the block are left to the scalar kernel) and
// turned into four vectors of their bytes 0-7, 8-15, 16-23 and 24-31. A
// group of one Point Source ID, that of the run, folds its GPS times in
// vectors; any other group goes record by record.
template <bool Extended, std::size_t Gps, std::size_t L, bool Grid>
__attribute__((target("avx2"))) std::size_t survey_avx2(PointSurvey& s, Tally& t, Run& run, const unsigned char* p,
                                                        std::size_t n, std::size_t stride) {
    using F = Layout<Extended>;
    const std::size_t step = L ? L : stride;
    if (n * step < 32 + 3 * step) return 0;
    const std::size_t groups = ((n * step - 32) / step + 1) / 4;
    const Cells c = Grid ? cells_of(s.grid) : Cells{};
    const __m256i zero = _mm256_setzero_si256(), low16 = _mm256_set1_epi64x(0xffff);
    const __m256i mask = _mm256_set1_epi64x(F::mask), one = _mm256_set1_epi64x(1);
    // Byte 15's flag bits as they sit in bytes 12-15 moved down to bit 0.
    constexpr int kFlagBit = Extended ? 24 : 29;
    // The flag bits x of a record spread to bits 0, 11, 22 and 33 (x times
    // 2^0 + 2^10 + 2^20 + 2^30 puts bit i at i + 10j alone, masked to j = i):
    // four counts in one lane, which a chunk's 1,024 steps cannot carry
    // out of.
    const __m256i spread = _mm256_set1_epi64x(0x40100401), fields = _mm256_set1_epi64x(0x200400801ll);
    static_assert(kChunk / 4 < 2048);
    const __m256i flag_bits = _mm256_set1_epi64x(Extended ? 15 : 7);
    __m256i hash = zero, first = zero, last = zero, timed = zero;
    __m256i imin = _mm256_set1_epi32(0xffff), imax = zero, ior = zero;
    __m256i amin = _mm256_set1_epi32(INT32_MAX), amax = _mm256_set1_epi32(INT32_MIN);
    const double inf = std::numeric_limits<double>::infinity();
    __m256d lo = _mm256_set1_pd(inf), hi = _mm256_set1_pd(-inf);
    bool held = false;  // lo, hi and timed hold times of the run
    const __m128i cols4 = _mm_set1_epi32(static_cast<int>(c.cols));
    const __m256d ga = _mm256_set1_pd(c.a[0]), gb = _mm256_set1_pd(c.b[0]), glo = _mm256_set1_pd(c.lo[0]),
                  gspan = _mm256_set1_pd(c.cols);
    const __m256d ha = _mm256_set1_pd(c.a[1]), hb = _mm256_set1_pd(c.b[1]), hlo = _mm256_set1_pd(c.lo[1]),
                  hspan = _mm256_set1_pd(c.rows);
    const __m256i xy = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m128i d0 = _mm_set1_epi32(static_cast<int>(c.d[0])), d1 = _mm_set1_epi32(static_cast<int>(c.d[1]));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(c.shift));
    const __m128i count_cols = _mm_set1_epi32(static_cast<int>(c.count_cols));
    std::uint32_t listed[kChunk + 4], summed[kChunk + 4];
    for (std::size_t g = 0; g < groups;) {
        const std::size_t m = std::min(kChunk / 4, groups - g);
        std::size_t k = 0;
        __m256i flags = zero;
        for (std::size_t e = g + m; g < e; ++g, p += 4 * step) {
            const __m256i r0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            const __m256i r1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + step));
            const __m256i r2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2 * step));
            const __m256i r3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3 * step));
            const __m256i t0 = _mm256_unpacklo_epi64(r0, r1), t1 = _mm256_unpackhi_epi64(r0, r1);
            const __m256i t2 = _mm256_unpacklo_epi64(r2, r3), t3 = _mm256_unpackhi_epi64(r2, r3);
            const __m256i q0 = _mm256_permute2x128_si256(t0, t2, 0x20), q2 = _mm256_permute2x128_si256(t0, t2, 0x31);
            const __m256i q1 = _mm256_permute2x128_si256(t1, t3, 0x20);
            hash = _mm256_add_epi64(hash, record_mix4(q0, q1, _mm256_and_si256(q2, _mm256_set1_epi64x(0xffffffff))));
            // bytes 12-15: intensity, returns, flags
            const __m256i b12 = _mm256_srli_epi64(q1, 32);
            const __m256i in = _mm256_and_si256(b12, low16);
            imin = _mm256_min_epi32(imin, in);
            imax = _mm256_max_epi32(imax, in);
            ior = _mm256_or_si256(ior, in);
            const __m256i b14 = _mm256_and_si256(_mm256_srli_epi64(b12, 16), _mm256_set1_epi64x(0xff));
            const __m256i ret = _mm256_and_si256(b14, mask);
            const __m256i returns = Extended ? _mm256_srli_epi64(b14, 4)
                                             : _mm256_and_si256(_mm256_srli_epi64(b14, 3), _mm256_set1_epi64x(7));
            const __m256i is_first = _mm256_cmpeq_epi64(ret, one);
            first = _mm256_sub_epi64(first, is_first);
            last = _mm256_sub_epi64(last, _mm256_andnot_si256(_mm256_cmpeq_epi64(ret, zero), _mm256_cmpeq_epi64(ret, returns)));
            const __m256i x = _mm256_and_si256(_mm256_srli_epi64(b12, kFlagBit), flag_bits);
            flags = _mm256_add_epi64(flags, _mm256_and_si256(_mm256_mul_epu32(x, spread), fields));
            // the angle in each even dword; odd ones are never read
            const __m256i angle = Extended ? _mm256_srai_epi32(q2, 16) : _mm256_srai_epi32(_mm256_slli_epi32(q2, 24), 24);
            amin = _mm256_min_epi32(amin, angle);
            amax = _mm256_max_epi32(amax, angle);
            const __m256i source = _mm256_and_si256(_mm256_srli_epi64(q2, F::source * 8 - 128), low16);
            __m256d time = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
            if constexpr (Gps != 0) {
                const __m256i q3 = _mm256_permute2x128_si256(t1, t3, 0x31);
                time = _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(q2, (Gps - 16) * 8),
                                                          _mm256_slli_epi64(q3, 64 - (Gps - 16) * 8)));
                time = _mm256_add_pd(time, _mm256_sub_pd(time, time));
            }
            const __m256i same = _mm256_cmpeq_epi64(source, _mm256_set1_epi64x(run.id));
            if (_mm256_movemask_pd(_mm256_castsi256_pd(same)) == 15) [[likely]] {
                run.points += 4;
                if constexpr (Gps != 0) {
                    timed = _mm256_sub_epi64(timed, _mm256_castpd_si256(_mm256_cmp_pd(time, time, _CMP_ORD_Q)));
                    lo = _mm256_min_pd(time, lo);
                    hi = _mm256_max_pd(time, hi);
                    held = true;
                }
            } else {
                fold_times(run, lo, hi, timed, held);
                alignas(32) std::uint64_t id[4];
                alignas(32) double tm[4];
                lanes(id, source);
                _mm256_store_pd(tm, time);
                for (int j = 0; j < 4; ++j) run.add(static_cast<std::uint16_t>(id[j]), tm[j]);
            }
            if constexpr (Grid) {
                const __m256i both = _mm256_permutevar8x32_epi32(q0, xy);
                const __m256d x = _mm256_cvtepi32_pd(_mm256_castsi256_si128(both));
                const __m256d y = _mm256_cvtepi32_pd(_mm256_extracti128_si256(both, 1));
                const __m256d u = _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(x, ga), gb), glo);
                const __m256d v = _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(y, ha), hb), hlo);
                const __m256d inside = _mm256_and_pd(
                    _mm256_and_pd(_mm256_cmp_pd(u, _mm256_setzero_pd(), _CMP_GE_OQ), _mm256_cmp_pd(u, gspan, _CMP_LT_OQ)),
                    _mm256_and_pd(_mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_GE_OQ), _mm256_cmp_pd(v, hspan, _CMP_LT_OQ)));
                const __m128i col = _mm256_cvttpd_epi32(_mm256_and_pd(u, inside));
                const __m128i row = _mm256_cvttpd_epi32(_mm256_and_pd(v, inside));
                const __m128i cell = _mm_add_epi32(_mm_mullo_epi32(row, cols4), col);
                const unsigned in_mask = static_cast<unsigned>(_mm256_movemask_pd(inside));
                const unsigned first_mask = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(is_first)));
                const unsigned take = in_mask & first_mask;
                const __m128i front = _mm_load_si128(reinterpret_cast<const __m128i*>(kCompress.b[take]));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(listed + k), _mm_shuffle_epi8(cell, front));
                if (c.summed) {
                    const __m128i sc = _mm_srl_epi32(_mm_add_epi32(col, d0), shift);
                    const __m128i sr = _mm_srl_epi32(_mm_add_epi32(row, d1), shift);
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(summed + k),
                                     _mm_shuffle_epi8(_mm_add_epi32(_mm_mullo_epi32(sr, count_cols), sc), front));
                }
                k += static_cast<std::size_t>(std::popcount(take));
                t.outside += static_cast<std::uint64_t>(std::popcount(first_mask & ~in_mask));
            }
        }
        alignas(32) std::uint64_t packed[4];
        lanes(packed, flags);
        for (const std::uint64_t f : packed)
            for (int j = 0; j < 4; ++j) t.flags[j] += f >> (11 * j) & 0x7ff;
        if constexpr (Grid) count_cells(c, listed, summed, k);
    }
    fold_times(run, lo, hi, timed, held);
    alignas(32) std::uint64_t w[3][4];
    lanes(w[0], hash);
    lanes(w[1], first);
    lanes(w[2], last);
    alignas(32) std::int32_t d[5][8];
    lanes(d[0], imin);
    lanes(d[1], imax);
    lanes(d[2], ior);
    lanes(d[3], amin);
    lanes(d[4], amax);
    for (int j = 0; j < 4; ++j) {
        t.hash += w[0][j];
        t.first += w[1][j];
        t.last += w[2][j];
        t.imin = std::min(t.imin, static_cast<std::uint32_t>(d[0][2 * j]));
        t.imax = std::max(t.imax, static_cast<std::uint32_t>(d[1][2 * j]));
        t.ior |= static_cast<std::uint32_t>(d[2][2 * j]);
        t.amin = std::min(t.amin, d[3][2 * j]);
        t.amax = std::max(t.amax, d[4][2 * j]);
    }
    return 4 * groups;
}

// The survey eight records a step, for processors with AVX-512 and its
// byte permutes and funnel shifts (Ice Lake, Zen 4 and later): each record
// again read as the 32 bytes from its start, four vectors of eight records'
// bytes 0-7, 8-15, 16-23 and 24-31. Counts go by lane masks, and a cell
// index comes out of a double by an add, not a conversion: on the 1 GiB
// flight-line file it takes about half the AVX2 kernel's time.
#define SURVEY_512_TARGET "avx2,avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi,avx512vbmi2,popcnt"
#define SURVEY_512 __attribute__((target(SURVEY_512_TARGET), always_inline)) inline

SURVEY_512 __m512i word_mix8(__m512i w, std::uint64_t key) {
    const __m512i k = _mm512_xor_si512(w, _mm512_set1_epi64(static_cast<long long>(key)));
    return _mm512_add_epi64(_mm512_mul_epu32(k, _mm512_srli_epi64(k, 32)), _mm512_rol_epi64(w, 32));
}

// The 32 bytes from the starts of the records at p and p + step.
SURVEY_512 __m512i two_records(const unsigned char* p, std::size_t step) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + step));
    return _mm512_inserti64x4(_mm512_castsi256_si512(a), b, 1);
}

// Byte indices gathering bytes 8j to 8j + 7 of each of four records of L
// bytes from a table of 128, into each 64-bit lane twice over.
template <std::size_t L>
struct Gather {
    alignas(64) unsigned char b[4][64];
};
template <std::size_t L>
constexpr Gather<L> make_gather() {
    Gather<L> g{};
    for (unsigned j = 0; j < 4; ++j)
        for (unsigned i = 0; i < 8; ++i)
            for (unsigned k = 0; k < 8; ++k) g.b[j][8 * i + k] = static_cast<unsigned char>((i % 4) * L + 8 * j + k);
    return g;
}
template <std::size_t L>
constexpr Gather<L> kGather = make_gather<L>();

// Lanes 0-3 gathered by idx from the table A:B, lanes 4-7 from C:D.
SURVEY_512 __m512i gather4(__m512i A, __m512i B, __m512i C, __m512i D, const unsigned char* idx) {
    const __m512i i = _mm512_load_si512(idx);
    return _mm512_mask_blend_epi64(0xf0, _mm512_permutex2var_epi8(A, i, B), _mm512_permutex2var_epi8(C, i, D));
}

// How far from a group's first record lanes8 reads.
template <std::size_t L>
constexpr std::size_t lanes8_reach(std::size_t step) {
    return L != 0 && L <= 32 ? 4 * L + 128 : 7 * step + 32;
}

// Eight records at p as four vectors of their bytes 0-7, 8-15, 16-23 and
// 24-31 (the last only if asked). Records of at most 32 bytes come four to
// a pair of 64-byte reads, gathered by byte permutes; longer ones as the
// 32 bytes from each start, in pairs, shuffled.
template <std::size_t L>
SURVEY_512 void lanes8(const unsigned char* p, std::size_t step, __m512i& q0, __m512i& q1, __m512i& q2, __m512i& q3,
                       bool last) {
    if constexpr (L != 0 && L <= 32) {
        const __m512i A = _mm512_loadu_si512(p), B = _mm512_loadu_si512(p + 64);
        const __m512i C = _mm512_loadu_si512(p + 4 * L), D = _mm512_loadu_si512(p + 4 * L + 64);
        q0 = gather4(A, B, C, D, kGather<L>.b[0]);
        q1 = gather4(A, B, C, D, kGather<L>.b[1]);
        q2 = gather4(A, B, C, D, kGather<L>.b[2]);
        q3 = last ? gather4(A, B, C, D, kGather<L>.b[3]) : q2;
    } else {
        const __m512i to_rows = _mm512_setr_epi64(0, 4, 8, 12, 1, 5, 9, 13);
        const __m512i to_rows_hi = _mm512_setr_epi64(2, 6, 10, 14, 3, 7, 11, 15);
        const __m512i A = two_records(p, step), B = two_records(p + 2 * step, step);
        const __m512i C = two_records(p + 4 * step, step), D = two_records(p + 6 * step, step);
        const __m512i t0 = _mm512_permutex2var_epi64(A, to_rows, B), t1 = _mm512_permutex2var_epi64(C, to_rows, D);
        const __m512i t2 = _mm512_permutex2var_epi64(A, to_rows_hi, B), t3 = _mm512_permutex2var_epi64(C, to_rows_hi, D);
        q0 = _mm512_shuffle_i64x2(t0, t1, 0x44);
        q1 = _mm512_shuffle_i64x2(t0, t1, 0xee);
        q2 = _mm512_shuffle_i64x2(t2, t3, 0x44);
        q3 = last ? _mm512_shuffle_i64x2(t2, t3, 0xee) : q2;
    }
}

// count_cells sixteen first returns at a time. Points in a scanner's order
// keep to one word of bits for a few hundred (one line of the grid) and to
// one count for a few dozen: a block in one word gathers its bits in lanes,
// and only where a count's cell changes is a run added.
template <bool Counted>
SURVEY_512 void mark_cells16(const Cells& c, const std::uint32_t* listed, const std::uint32_t* summed,
                             std::size_t k) {
    const __m512i low6 = _mm512_set1_epi32(63), one = _mm512_set1_epi64(1);
    std::uint32_t word = listed[0] >> 6, at = Counted ? summed[0] : 0;
    std::uint32_t run = 0;  // points of the count's cell at before the block
    __m512i held = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; i + 16 <= k; i += 16) {
        const __m512i cells = _mm512_loadu_si512(listed + i);
        if (_mm512_cmpneq_epi32_mask(_mm512_srli_epi32(cells, 6), _mm512_set1_epi32(static_cast<int>(word))))
            [[unlikely]] {
            c.bits[word] |= static_cast<std::uint64_t>(_mm512_reduce_or_epi64(held));
            held = _mm512_setzero_si512();
            for (std::size_t j = i; j < i + 16; ++j) c.bits[listed[j] >> 6] |= std::uint64_t{1} << (listed[j] & 63);
            word = listed[i + 15] >> 6;
        } else {
            const __m512i bit = _mm512_and_si512(cells, low6);
            held = _mm512_or_si512(held, _mm512_sllv_epi64(one, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(bit))));
            held = _mm512_or_si512(held, _mm512_sllv_epi64(one, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(bit, 1))));
        }
        if constexpr (Counted) {
            const __m512i to = _mm512_loadu_si512(summed + i);
            const __m512i before = _mm512_alignr_epi32(to, _mm512_set1_epi32(static_cast<int>(at)), 15);
            unsigned starts = _mm512_cmpneq_epi32_mask(to, before);
            unsigned from = 0;
            for (; starts; starts &= starts - 1) {
                const auto j = static_cast<unsigned>(std::countr_zero(starts));
                add_capped(c.count[at], run + j - from);
                at = summed[i + j];
                run = 0;
                from = j;
            }
            run += 16 - from;
        }
    }
    c.bits[word] |= static_cast<std::uint64_t>(_mm512_reduce_or_epi64(held));
    if constexpr (Counted) add_capped(c.count[at], run);
    if (i < k) mark_cells<Counted>(c, listed + i, summed + i, k - i);
}

SURVEY_512 void count_cells16(const Cells& c, const std::uint32_t* listed, const std::uint32_t* summed,
                              std::size_t k) {
    if (k == 0) return;
    if (!c.bits) return add_runs(c.count, listed, k);
    if (c.count) mark_cells16<true>(c, listed, summed, k);
    else mark_cells16<false>(c, listed, summed, k);
}

// fold_times with eight lanes.
SURVEY_512 void fold_times8(Run& run, __m512d& lo, __m512d& hi, __m512i& timed, bool& held) {
    if (!held) return;
    alignas(64) double l[8], h[8];
    _mm512_store_pd(l, lo);
    _mm512_store_pd(h, hi);
    run.fold(l, h, 8, static_cast<std::uint64_t>(_mm512_reduce_add_epi64(timed)));
    lo = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    hi = _mm512_set1_pd(-std::numeric_limits<double>::infinity());
    timed = _mm512_setzero_si512();
    held = false;
}

// Byte 14 of formats 0-5 to bit 0 for a first return and bit 1 for a last.
struct ReturnTable {
    alignas(64) unsigned char b[64];
};
constexpr ReturnTable make_return_table() {
    ReturnTable t{};
    for (unsigned b = 0; b < 64; ++b) {
        const unsigned ret = b & 7, returns = b >> 3;
        t.b[b] = static_cast<unsigned char>((ret == 1) | ((ret == returns && ret != 0) << 1));
    }
    return t;
}
constexpr ReturnTable kReturnTable = make_return_table();

template <bool Extended, std::size_t Gps, std::size_t L, bool Grid>
__attribute__((target(SURVEY_512_TARGET))) std::size_t survey_avx512(PointSurvey& s, Tally& t, Run& run,
                                                                      const unsigned char* p, std::size_t n,
                                                                      std::size_t stride) {
    const std::size_t step = L ? L : stride;
    const std::size_t reach = lanes8_reach<L>(step);
    if (n * step < reach) return 0;
    const std::size_t groups = (n * step - reach) / (8 * step) + 1;
    const Cells c = Grid ? cells_of(s.grid) : Cells{};
    const __m512i zero = _mm512_setzero_si512(), one = _mm512_set1_epi64(1);
    const __m512i low_half = _mm512_set1_epi64(0xffffffff);
    const __m512i spread = _mm512_set1_epi64(0x40100401), fields = _mm512_set1_epi64(0x200400801ll);
    static_assert(kChunk / 8 < 2048);
    const __m512i returns = _mm512_load_si512(kReturnTable.b);
    // The Point Source ID's 16 bits in bytes 16-23.
    constexpr unsigned kSourceBit = (Extended ? 20 : 18) * 8 - 128;
    // The 16-bit words that hold it, one a lane.
    constexpr __mmask32 kSourceWords = 0x11111111u << (kSourceBit / 16);
    const __m512i key2 = _mm512_set1_epi64(static_cast<long long>(kHashKey[2]));
    __m512i hash = zero, first = zero, last = zero, timed = zero;
    __m512i imin = _mm512_set1_epi16(-1), imax = zero, ior = zero;
    __m512i amin = Extended ? _mm512_set1_epi16(INT16_MAX) : _mm512_set1_epi8(INT8_MAX);
    __m512i amax = Extended ? _mm512_set1_epi16(INT16_MIN) : _mm512_set1_epi8(INT8_MIN);
    const double inf = std::numeric_limits<double>::infinity();
    __m512d lo = _mm512_set1_pd(inf), hi = _mm512_set1_pd(-inf);
    bool held = false;
    const __m512i xy = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m512d ga = _mm512_set1_pd(c.a[0]), gb = _mm512_set1_pd(c.b[0]), glo = _mm512_set1_pd(c.lo[0]);
    const __m512d ha = _mm512_set1_pd(c.a[1]), hb = _mm512_set1_pd(c.b[1]), hlo = _mm512_set1_pd(c.lo[1]);
    const __m512d magic = _mm512_set1_pd(0x1p52);
    const __m512i magic_bits = _mm512_set1_epi64(0x4330000000000000ll);
    constexpr int kTruncate = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    const __m512i cols = _mm512_set1_epi64(c.cols), rows = _mm512_set1_epi64(c.rows);
    const __m512i d0 = _mm512_set1_epi64(c.d[0]), d1 = _mm512_set1_epi64(c.d[1]);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(c.shift));
    const __m512i count_cols = _mm512_set1_epi64(c.count_cols);
    std::uint64_t taken = 0;
    std::uint32_t listed[kChunk + 8], summed[kChunk + 8];
    for (std::size_t g = 0; g < groups;) {
        const std::size_t m = std::min(kChunk / 8, groups - g);
        std::size_t k = 0;
        __m512i flag_counts = zero;
        for (std::size_t e = g + m; g < e; ++g, p += 8 * step) {
            __m512i q0, q1, q2, q3;
            lanes8<L>(p, step, q0, q1, q2, q3, Gps != 0);
            // word_mix of bytes 16-19: keyed in one three-way op, and the
            // word's halves swapped by a shift, its upper half being zero.
            const __m512i k2 = _mm512_ternarylogic_epi64(q2, low_half, key2, 0x6a);  // (q2 & low_half) ^ key2
            const __m512i mix2 = _mm512_add_epi64(_mm512_mul_epu32(k2, _mm512_srli_epi64(k2, 32)), _mm512_slli_epi64(q2, 32));
            hash = _mm512_add_epi64(hash, _mm512_add_epi64(_mm512_add_epi64(word_mix8(q0, kHashKey[0]), word_mix8(q1, kHashKey[1])), mix2));
            // Intensity is word 2 of q1's lanes, the angle byte 0 (formats
            // 0-5) or word 1 (6-10) of q2's: every word or byte is folded,
            // those alone read at the end.
            imin = _mm512_min_epu16(imin, q1);
            imax = _mm512_max_epu16(imax, q1);
            ior = _mm512_or_si512(ior, q1);
            if constexpr (Extended) {
                amin = _mm512_min_epi16(amin, q2);
                amax = _mm512_max_epi16(amax, q2);
            } else {
                amin = _mm512_min_epi8(amin, q2);
                amax = _mm512_max_epi8(amax, q2);
            }
            __mmask8 is_first, is_last;
            if constexpr (Extended) {
                const __m512i ret = _mm512_and_si512(_mm512_srli_epi64(q1, 48), _mm512_set1_epi64(15));
                const __m512i count = _mm512_and_si512(_mm512_srli_epi64(q1, 52), _mm512_set1_epi64(15));
                is_first = _mm512_cmpeq_epi64_mask(ret, one);
                is_last = _mm512_mask_cmpeq_epi64_mask(_mm512_test_epi64_mask(ret, ret), ret, count);
            } else {
                const __m512i r = _mm512_permutexvar_epi8(q1, returns);
                is_first = _mm512_test_epi64_mask(r, _mm512_set1_epi64(1ll << 48));
                is_last = _mm512_test_epi64_mask(r, _mm512_set1_epi64(2ll << 48));
            }
            first = _mm512_mask_add_epi64(first, is_first, first, one);
            last = _mm512_mask_add_epi64(last, is_last, last, one);
            const __m512i x = Extended ? _mm512_and_si512(_mm512_srli_epi64(q1, 56), _mm512_set1_epi64(15))
                                       : _mm512_srli_epi64(q1, 61);
            flag_counts = _mm512_add_epi64(flag_counts, _mm512_and_si512(_mm512_mul_epu32(x, spread), fields));
            __m512d time = _mm512_set1_pd(std::numeric_limits<double>::quiet_NaN());
            if constexpr (Gps != 0) {
                time = _mm512_castsi512_pd(_mm512_shrdi_epi64(q2, q3, (Gps - 16) * 8));
                time = _mm512_add_pd(time, _mm512_sub_pd(time, time));
            }
            const __m512i id = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{run.id} << kSourceBit));
            if (_mm512_mask_cmpneq_epi16_mask(kSourceWords, q2, id) == 0) [[likely]] {
                run.points += 8;
                if constexpr (Gps != 0) {
                    timed = _mm512_mask_add_epi64(timed, _mm512_cmp_pd_mask(time, time, _CMP_ORD_Q), timed, one);
                    lo = _mm512_min_pd(time, lo);
                    hi = _mm512_max_pd(time, hi);
                    held = true;
                }
            } else {
                fold_times8(run, lo, hi, timed, held);
                alignas(64) std::uint64_t ids[8];
                alignas(64) double tm[8];
                _mm512_store_si512(ids, _mm512_srli_epi64(q2, kSourceBit));
                _mm512_store_pd(tm, time);
                for (int j = 0; j < 8; ++j) run.add(static_cast<std::uint16_t>(ids[j]), tm[j]);
            }
            if constexpr (Grid) {
                const __m512i both = _mm512_permutexvar_epi32(xy, q0);
                const __m512d xs = _mm512_cvtepi32_pd(_mm512_castsi512_si256(both));
                const __m512d ys = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(both, 1));
                const __m512d u = _mm512_sub_pd(_mm512_add_pd(_mm512_mul_pd(xs, ga), gb), glo);
                const __m512d v = _mm512_sub_pd(_mm512_add_pd(_mm512_mul_pd(ys, ha), hb), hlo);
                // 2^52 added rounding toward zero leaves floor(u) in the low
                // bits for u from -0 up; the bits of 2^52 taken away, any u
                // below that wraps to near 2^64, so one unsigned compare
                // bounds a column on both sides, as two compares of u do in
                // the other kernels.
                const __m512i col = _mm512_sub_epi64(_mm512_castpd_si512(_mm512_add_round_pd(u, magic, kTruncate)), magic_bits);
                const __m512i row = _mm512_sub_epi64(_mm512_castpd_si512(_mm512_add_round_pd(v, magic, kTruncate)), magic_bits);
                __mmask8 take = _mm512_mask_cmplt_epu64_mask(is_first, col, cols);
                take = _mm512_mask_cmplt_epu64_mask(take, row, rows);
                const __m512i cell = _mm512_add_epi64(_mm512_mul_epu32(row, cols), col);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(listed + k), _mm512_cvtepi64_epi32(_mm512_maskz_compress_epi64(take, cell)));
                if (c.summed) {
                    const __m512i sc = _mm512_srl_epi64(_mm512_add_epi64(col, d0), shift);
                    const __m512i sr = _mm512_srl_epi64(_mm512_add_epi64(row, d1), shift);
                    const __m512i at = _mm512_add_epi64(_mm512_mul_epu32(sr, count_cols), sc);
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(summed + k), _mm512_cvtepi64_epi32(_mm512_maskz_compress_epi64(take, at)));
                }
                k += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(take)));
            }
        }
        alignas(64) std::uint64_t packed[8];
        _mm512_store_si512(packed, flag_counts);
        for (const std::uint64_t f : packed)
            for (int j = 0; j < 4; ++j) t.flags[j] += f >> (11 * j) & 0x7ff;
        if constexpr (Grid) {
            count_cells16(c, listed, summed, k);
            taken += k;
        }
    }
    fold_times8(run, lo, hi, timed, held);
    const auto firsts = static_cast<std::uint64_t>(_mm512_reduce_add_epi64(first));
    t.first += firsts;
    t.last += static_cast<std::uint64_t>(_mm512_reduce_add_epi64(last));
    t.hash += static_cast<std::uint64_t>(_mm512_reduce_add_epi64(hash));
    if constexpr (Grid) t.outside += firsts - taken;
    alignas(64) std::uint16_t w[3][32];
    _mm512_store_si512(w[0], imin);
    _mm512_store_si512(w[1], imax);
    _mm512_store_si512(w[2], ior);
    alignas(64) std::int16_t aw[2][32];
    _mm512_store_si512(aw[0], amin);
    _mm512_store_si512(aw[1], amax);
    for (int j = 0; j < 8; ++j) {
        t.imin = std::min<std::uint32_t>(t.imin, w[0][4 * j + 2]);
        t.imax = std::max<std::uint32_t>(t.imax, w[1][4 * j + 2]);
        t.ior |= w[2][4 * j + 2];
        const std::int32_t a0 = Extended ? aw[0][4 * j + 1] : static_cast<std::int8_t>(aw[0][4 * j] & 0xff);
        const std::int32_t a1 = Extended ? aw[1][4 * j + 1] : static_cast<std::int8_t>(aw[1][4 * j] & 0xff);
        t.amin = std::min(t.amin, a0);
        t.amax = std::max(t.amax, a1);
    }
    return 8 * groups;
}
#endif

template <bool Extended, std::size_t Gps, std::size_t L>
SurveyKernel survey_best(SurveyKernel k, PointSurvey& s, Tally& t, const unsigned char* p, std::size_t n,
                         std::size_t stride) {
    const std::size_t step = L ? L : stride;
    const bool grid = gathered(s.grid);
    Run run(s);
    std::size_t done = 0;
#if SURVEY_X86
    if (k == SurveyKernel::avx512)
        done = grid ? survey_avx512<Extended, Gps, L, true>(s, t, run, p, n, stride)
                    : survey_avx512<Extended, Gps, L, false>(s, t, run, p, n, stride);
    else if (k == SurveyKernel::avx2)
        done = grid ? survey_avx2<Extended, Gps, L, true>(s, t, run, p, n, stride)
                    : survey_avx2<Extended, Gps, L, false>(s, t, run, p, n, stride);
#endif
    if (grid) survey_scalar<Extended, Gps, L, true>(s, t, run, p + done * step, n - done, stride);
    else survey_scalar<Extended, Gps, L, false>(s, t, run, p + done * step, n - done, stride);
    run.flush();
    return done ? k : SurveyKernel::scalar;
}

// The shortest record of each point format.
constexpr std::size_t kRecordLength[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

SurveyKernel survey_dispatch(SurveyKernel k, PointSurvey& s, Tally& t, const unsigned char* p, std::size_t n,
                           std::size_t reclen, unsigned format) {
    // The usual lengths unrolled (formats 0 to 3, 6 and 7); any other
    // stride at run time.
    switch (format) {
        case 0: return reclen == 20 ? survey_best<false, 0, 20>(k, s, t, p, n, 20) : survey_best<false, 0, 0>(k, s, t, p, n, reclen);
        case 2: return reclen == 26 ? survey_best<false, 0, 26>(k, s, t, p, n, 26) : survey_best<false, 0, 0>(k, s, t, p, n, reclen);
        case 1: return reclen == 28 ? survey_best<false, 20, 28>(k, s, t, p, n, 28) : survey_best<false, 20, 0>(k, s, t, p, n, reclen);
        case 3: return reclen == 34 ? survey_best<false, 20, 34>(k, s, t, p, n, 34) : survey_best<false, 20, 0>(k, s, t, p, n, reclen);
        case 4: case 5: return survey_best<false, 20, 0>(k, s, t, p, n, reclen);
        case 6: return reclen == 30 ? survey_best<true, 22, 30>(k, s, t, p, n, 30) : survey_best<true, 22, 0>(k, s, t, p, n, reclen);
        case 7: return reclen == 36 ? survey_best<true, 22, 36>(k, s, t, p, n, 36) : survey_best<true, 22, 0>(k, s, t, p, n, reclen);
        default: return survey_best<true, 22, 0>(k, s, t, p, n, reclen);
    }
}

std::int64_t floor_to_int(double v) { return static_cast<std::int64_t>(std::floor(v)); }

// The raw value nearest to a coordinate, within what 32 bits hold.
std::int32_t raw_of(double v, double scale, double offset) {
    const double r = std::nearbyint((v - offset) / scale);
    return static_cast<std::int32_t>(std::clamp(r, double{INT32_MIN}, double{INT32_MAX}));
}

void lay_grid(SurveyGrid& g, const GridPlan& plan) {
    g.cell = plan.cell;
    for (int k = 0; k < 2; ++k) {
        g.scale[k] = plan.scale[k];
        g.offset[k] = plan.offset[k];
    }
    const double lo[2] = {plan.min_x, plan.min_y}, hi[2] = {plan.max_x, plan.max_y};
    for (int k = 0; k < 2; ++k)
        if (!(plan.scale[k] > 0) || !std::isfinite(plan.scale[k]) || !std::isfinite(plan.offset[k]) ||
            !std::isfinite(lo[k]) || !std::isfinite(hi[k]) || lo[k] > hi[k])
            return;  // no cell inside such a box: every first return falls outside
    const std::int32_t raw_lo[2] = {raw_of(lo[0], g.scale[0], g.offset[0]), raw_of(lo[1], g.scale[1], g.offset[1])};
    const std::int32_t raw_hi[2] = {raw_of(hi[0], g.scale[0], g.offset[0]), raw_of(hi[1], g.scale[1], g.offset[1])};
    // The cell's index must stay exact in a double's integer part, with
    // room for the fraction the kernels compare.
    constexpr double kMostIndex = 0x1p40;
    const double most = static_cast<double>(std::clamp<std::uint64_t>(plan.max_cells, 1, std::uint64_t{1} << 31));
    for (double cell = plan.cell; std::isfinite(cell); cell *= 2) {
        double first[2], count[2];
        bool fits = true;
        for (int k = 0; k < 2; ++k) {
            const double a = g.scale[k] / cell, b = g.offset[k] / cell;
            first[k] = std::floor(cell_coord(raw_lo[k], a, b));
            const double last = std::floor(cell_coord(raw_hi[k], a, b));
            count[k] = last - first[k] + 1;
            fits &= std::fabs(first[k]) < kMostIndex && std::fabs(last) < kMostIndex && count[k] >= 1;
        }
        if (!fits || count[0] * count[1] > most) continue;
        g.cell = cell;
        const GridShape laid{floor_to_int(first[0]), floor_to_int(first[1]), static_cast<std::uint32_t>(count[0]),
                             static_cast<std::uint32_t>(count[1])};
        const std::size_t cells = std::size_t{laid.cols} * laid.rows;
        GridShape counted = laid;
        while (std::size_t{counted.cols} * counted.rows > kCountedCells) counted = summed_shape(laid, ++g.shift);
        g.col0 = counted.col0;
        g.row0 = counted.row0;
        g.cols = counted.cols;
        g.rows = counted.rows;
        try {
            if (g.shift == 0 || plan.counts) g.first.assign(std::size_t{g.cols} * g.rows, 0);
            if (g.shift > 0) {
                g.laid = laid;
                g.bits.assign((cells + 63) / 64, 0);
            }
        } catch (const std::bad_alloc&) {
            // A grid memory cannot hold is not gathered.
            g = SurveyGrid{};
        }
        return;
    }
}

// What finished surveys leave for the next: a tile of many ids allocated
// its swaths, their table and the further ids' bits afresh and faulted their
// pages in each time (2,000 tiles of ~1,000 ids: the audit took 3.8 times
// the statistics' scan). One pool, not one per thread: MinGW ran a
// thread_local's destructor after freeing its storage, and the audit
// crashed at a worker's exit under Wine about one run in four.
struct Spare {
    std::vector<Swath> swaths;
    std::vector<std::uint32_t> swath_at;
    std::vector<std::uint64_t> other_ids;
};
std::mutex spares_lock;
std::vector<Spare> spares;  // at most one per survey running at once

Spare take_spare() {
    const std::lock_guard<std::mutex> hold(spares_lock);
    if (spares.empty()) return {};
    Spare s = std::move(spares.back());
    spares.pop_back();
    return s;
}

void keep_spare(Spare s) {
    s.swaths.clear();
    s.swath_at.clear();
    s.other_ids.clear();
    const std::lock_guard<std::mutex> hold(spares_lock);
    spares.push_back(std::move(s));
}

}  // namespace

void start_survey(PointSurvey& s, const GridPlan& plan) {
    s = PointSurvey{};
    Spare spare = take_spare();
    s.swaths = std::move(spare.swaths);
    s.swath_at = std::move(spare.swath_at);
    s.other_ids = std::move(spare.other_ids);
    if (plan.cell > 0 && std::isfinite(plan.cell)) lay_grid(s.grid, plan);
}

bool survey_kernel_available(SurveyKernel k) {
#if SURVEY_X86
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                               __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
                               __builtin_cpu_supports("popcnt");
    return k == SurveyKernel::scalar || (k == SurveyKernel::avx2 && avx2) || (k == SurveyKernel::avx512 && avx512);
#else
    return k == SurveyKernel::scalar;
#endif
}

SurveyKernel chosen_survey_kernel() {
    for (const SurveyKernel k : {SurveyKernel::avx512, SurveyKernel::avx2})
        if (survey_kernel_available(k)) return k;
    return SurveyKernel::scalar;
}

SurveyKernel survey_block_with(SurveyKernel k, PointSurvey& s, const unsigned char* p, std::size_t n,
                               std::size_t record_length, unsigned point_format) {
    if (point_format > 10 || record_length < kRecordLength[point_format] || n == 0) return k;
    Tally t;
    const SurveyKernel ran = survey_dispatch(k, s, t, p, n, record_length, point_format);
    const bool extended = point_format >= 6;
    for (int f = 0; f < 4; ++f) {
        std::uint64_t* count[4] = {&s.synthetic, &s.key_point, &s.withheld, &s.overlap};
        *count[f] += t.flags[f];
    }
    s.first_returns += t.first;
    s.last_returns += t.last;
    // A grid asked for over a box that holds no cell: every first return
    // falls outside it.
    s.grid.outside += s.grid.cell == 0 ? 0 : !gathered(s.grid) ? t.first : t.outside;
    s.record_hash += t.hash;
    s.intensity_min = static_cast<std::uint16_t>(std::min<std::uint32_t>(s.intensity_min, t.imin));
    s.intensity_max = static_cast<std::uint16_t>(std::max<std::uint32_t>(s.intensity_max, t.imax));
    s.intensity_low_or |= static_cast<std::uint8_t>(t.ior & 0xff);
    const double unit = extended ? 0.006 : 1.0;
    const double amin = t.amin * unit, amax = t.amax * unit;
    s.scan_angle_min = s.points == 0 ? amin : std::min(s.scan_angle_min, amin);
    s.scan_angle_max = s.points == 0 ? amax : std::max(s.scan_angle_max, amax);
    s.points += n;
    return ran;
}

void survey_block(PointSurvey& s, const unsigned char* p, std::size_t n, std::size_t record_length,
                  unsigned point_format) {
    static const SurveyKernel chosen = chosen_survey_kernel();
    survey_block_with(chosen, s, p, n, record_length, point_format);
}

void merge_survey(PointSurvey& a, const PointSurvey& b) {
    if (b.points == 0) return;
    a.withheld += b.withheld;
    a.synthetic += b.synthetic;
    a.key_point += b.key_point;
    a.overlap += b.overlap;
    a.first_returns += b.first_returns;
    a.last_returns += b.last_returns;
    a.intensity_min = std::min(a.intensity_min, b.intensity_min);
    a.intensity_max = std::max(a.intensity_max, b.intensity_max);
    a.intensity_low_or |= b.intensity_low_or;
    a.scan_angle_min = a.points == 0 ? b.scan_angle_min : std::min(a.scan_angle_min, b.scan_angle_min);
    a.scan_angle_max = a.points == 0 ? b.scan_angle_max : std::max(a.scan_angle_max, b.scan_angle_max);
    for (const Swath& w : b.swaths) {
        const std::uint32_t at = swath_slot(a, w.id);
        if (at == kOtherSwath) {
            other_id(a, w.id);
            a.other_swath_points += w.points;
            continue;
        }
        Swath& into = a.swaths[at];
        into.points += w.points;
        add_times(into, w.timed, w.gps_min, w.gps_max);
    }
    a.other_swath_points += b.other_swath_points;
    if (!b.other_ids.empty()) {
        if (a.other_ids.empty()) a.other_ids.assign(b.other_ids.size(), 0);
        for (std::size_t k = 0; k < b.other_ids.size(); ++k) a.other_ids[k] |= b.other_ids[k];
    }
    a.record_hash += b.record_hash;
    a.points += b.points;
    SurveyGrid& g = a.grid;
    g.outside += b.grid.outside;
    if (g.first.size() == b.grid.first.size())
        for (std::size_t i = 0; i < g.first.size(); ++i) add_capped(g.first[i], b.grid.first[i]);
    if (g.bits.size() == b.grid.bits.size())
        for (std::size_t i = 0; i < g.bits.size(); ++i) g.bits[i] |= b.grid.bits[i];
}

void finish_survey(PointSurvey& s) {
    keep_lowest(s);
    std::sort(s.swaths.begin(), s.swaths.end(), [](const Swath& x, const Swath& y) { return x.id < y.id; });
    s.other_swaths = 0;
    for (const std::uint64_t w : s.other_ids) s.other_swaths += static_cast<std::uint32_t>(std::popcount(w));
    Spare spare{{}, std::move(s.swath_at), std::move(s.other_ids)};
    s.swath_at = {};
    s.other_ids = {};
    // The result keeps its swaths in storage of their size; the scratch
    // they grew in serves the next tile.
    if (s.swaths.capacity() > s.swaths.size()) {
        spare.swaths.assign(s.swaths.begin(), s.swaths.end());
        std::swap(spare.swaths, s.swaths);
    }
    keep_spare(std::move(spare));
}

GridShape laid_shape(const SurveyGrid& g) {
    return g.shift > 0 ? g.laid : GridShape{g.col0, g.row0, g.cols, g.rows};
}

std::uint64_t covered_cells(const SurveyGrid& g) {
    if (!g.bits.empty())
        return std::accumulate(g.bits.begin(), g.bits.end(), std::uint64_t{0},
                               [](std::uint64_t n, std::uint64_t w) { return n + std::popcount(w); });
    if (g.shift > 0) return g.covered;
    return static_cast<std::uint64_t>(
        std::count_if(g.first.begin(), g.first.end(), [](std::uint32_t c) { return c != 0; }));
}

GridShape summed_shape(const GridShape& g, unsigned shift) {
    const auto first = [&](std::int64_t k) { return k >> shift; };  // floor of k / 2^shift
    return {first(g.col0), first(g.row0),
            static_cast<std::uint32_t>(first(g.col0 + g.cols - 1) - first(g.col0) + 1),
            static_cast<std::uint32_t>(first(g.row0 + g.rows - 1) - first(g.row0) + 1)};
}

void coarsen_grid(SurveyGrid& g, std::size_t max_cells) {
    if (!g.bits.empty()) {
        g.covered = covered_cells(g);
        g.bits = {};
    }
    if (g.first.size() <= max_cells) return;
    if (g.shift == 0) {
        g.covered = covered_cells(g);
        g.laid = laid_shape(g);
    }
    while (g.first.size() > max_cells) {
        const GridShape to = summed_shape({g.col0, g.row0, g.cols, g.rows}, 1);
        std::vector<std::uint32_t> out(std::size_t{to.cols} * to.rows, 0);
        for (std::uint32_t r = 0; r < g.rows; ++r) {
            const std::size_t to_row = static_cast<std::size_t>(((g.row0 + r) >> 1) - to.row0) * to.cols;
            for (std::uint32_t c = 0; c < g.cols; ++c)
                add_capped(out[to_row + static_cast<std::size_t>(((g.col0 + c) >> 1) - to.col0)],
                           g.first[std::size_t{r} * g.cols + c]);
        }
        g.first = std::move(out);
        g.col0 = to.col0, g.row0 = to.row0, g.cols = to.cols, g.rows = to.rows;
        ++g.shift;
    }
}

double pulse_density(const PointSurvey& s) {
    const double area = covered_area(s.grid);
    if (!(area > 0)) return -1;
    return static_cast<double>(s.first_returns - s.grid.outside) / area;
}

double covered_area(const SurveyGrid& g) { return static_cast<double>(covered_cells(g)) * g.cell * g.cell; }


}  // namespace audit
