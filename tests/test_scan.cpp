// The scan kernels, each forced in turn, against a one-record-at-a-time
// reference: every record length, counts around the vector width and the
// counter flush, extreme coordinates, every bitfield byte. And on a
// processor with AVX2, that kernel is the one that runs.
#include "scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace lidar {
// Test names and failure messages show the kernel by name.
void PrintTo(ScanKernel k, std::ostream* os) { *os << (k == ScanKernel::avx2 ? "avx2" : "scalar"); }
}  // namespace lidar

using lidar::PointStats;
using lidar::ScanKernel;

namespace {

// The four lengths of LAS 1.0-1.2, then records of point formats 6 and 7
// (four return-number bits) and records with extra bytes.
struct Shape {
    std::size_t L;
    unsigned mask;
};
const Shape kShapes[] = {{20, 7}, {26, 7}, {28, 7}, {34, 7}, {30, 15}, {36, 15}, {41, 7}, {67, 15}};

PointStats reference(const unsigned char* p, std::size_t n, std::size_t L, PointStats s = {}, unsigned mask = 7) {
    for (std::size_t i = 0; i < n; ++i, p += L) {
        std::int32_t x, y, z;
        std::memcpy(&x, p, 4);
        std::memcpy(&y, p + 4, 4);
        std::memcpy(&z, p + 8, 4);
        if (x > s.maxX) s.maxX = x;
        if (x < s.minX) s.minX = x;
        if (y > s.maxY) s.maxY = y;
        if (y < s.minY) s.minY = y;
        if (z > s.maxZ) s.maxZ = z;
        if (z < s.minZ) s.minZ = z;
        ++s.by_return_bits[p[14] & mask];
        ++s.count;
    }
    return s;
}

std::string show(const PointStats& s) {
    std::ostringstream o;
    o << "count " << s.count << " bins";
    for (std::uint64_t b : s.by_return_bits) o << ' ' << b;
    o << " X " << s.minX << ".." << s.maxX << " Y " << s.minY << ".." << s.maxY << " Z " << s.minZ
      << ".." << s.maxZ;
    return o.str();
}

// n random records; data() + 1 so that no record is aligned.
struct Records {
    Records(std::size_t n, std::size_t L, std::uint32_t seed) : bytes(n * L + 1), n(n), L(L) {
        std::mt19937 g(seed);
        for (auto& b : bytes) b = static_cast<unsigned char>(g());
    }
    unsigned char* at(std::size_t i) { return bytes.data() + 1 + i * L; }
    void set(std::size_t i, std::int32_t x, std::int32_t y, std::int32_t z, unsigned char bits) {
        std::memcpy(at(i), &x, 4);
        std::memcpy(at(i) + 4, &y, 4);
        std::memcpy(at(i) + 8, &z, 4);
        at(i)[14] = bits;
    }
    std::vector<unsigned char> bytes;
    std::size_t n, L;
};

class ScanKernels : public testing::TestWithParam<ScanKernel> {
protected:
    void SetUp() override {
        if (!lidar::scan_kernel_available(GetParam())) GTEST_SKIP() << "processor lacks this kernel";
    }
    PointStats scan(const unsigned char* p, std::size_t n, std::size_t L, PointStats s = {}, unsigned mask = 7) {
        EXPECT_EQ(lidar::scan_records_with(GetParam(), s, p, n, L, mask), GetParam()) << "kernel that ran";
        return s;
    }
};

TEST_P(ScanKernels, MatchTheReferenceInOneCallOrTwo) {
    // Around the four-record step, past one 255-step counter flush, odd.
    const std::size_t counts[] = {0, 1, 3, 4, 5, 7, 8, 9, 1000, 1021, 4099};
    for (auto [L, mask] : kShapes) {
        for (std::size_t n : counts) {
            Records r(n, L, static_cast<std::uint32_t>(n * 100 + L));
            SCOPED_TRACE("length " + std::to_string(L) + ", " + std::to_string(n) + " records");
            const std::string want = show(reference(r.at(0), n, L, {}, mask));
            EXPECT_EQ(show(scan(r.at(0), n, L, {}, mask)), want);
            // The second call must carry on from what the first found.
            const std::size_t k = std::min(n, n / 2 + 1);
            EXPECT_EQ(show(scan(r.at(k), n - k, L, scan(r.at(0), k, L, {}, mask), mask)), want);
        }
    }
}

TEST_P(ScanKernels, ExtremeCoordinatesInEveryPosition) {
    // A lane or a tail record left out of the result shows here.
    const std::size_t n = 13;
    for (auto [L, mask] : kShapes) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::int32_t v : {INT32_MAX, INT32_MIN}) {
                Records r(n, L, 3);
                for (std::size_t i = 0; i < n; ++i) r.set(i, 7, -7, 100, 1);
                r.set(j, v, ~v, v, 1);  // ~ swaps INT32_MAX and INT32_MIN
                PointStats s = scan(r.at(0), n, L, {}, mask);
                EXPECT_EQ(v > 0 ? s.maxX : s.minX, v) << "length " << L << ", record " << j;
                EXPECT_EQ(show(s), show(reference(r.at(0), n, L, {}, mask))) << "length " << L << ", record " << j;
            }
        }
    }
}

TEST_P(ScanKernels, CountReturnNumbersOfEveryBitfieldByteAndLongRuns) {
    for (auto [L, mask] : kShapes) {
        Records all(256 * 3, L, 11);
        for (std::size_t i = 0; i < all.n; ++i) all.at(i)[14] = static_cast<unsigned char>(i);
        PointStats s = scan(all.at(0), all.n, L, {}, mask);
        for (unsigned b = 0; b <= mask; ++b)
            EXPECT_EQ(s.by_return_bits[b], 768u / (mask + 1)) << "bin " << b << ", length " << L;

        // One bin taking more than narrow counters hold; 0x83 is return
        // number 3 with the sign bit set.
        Records same(70001, L, 5);
        for (std::size_t i = 0; i < same.n; ++i) same.at(i)[14] = 0x83;
        s = scan(same.at(0), same.n, L, {}, mask);
        EXPECT_EQ(s.by_return_bits[3], same.n) << "length " << L;
        EXPECT_EQ(s.count, same.n);
    }
}

#ifndef _WIN32
TEST_P(ScanKernels, NeverReadPastTheLastRecord) {
    const long page = sysconf(_SC_PAGESIZE);
    const long pages = 3;  // room for the longest run of records below the guard page
    void* m = mmap(nullptr, (pages + 1) * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    auto* guard = static_cast<unsigned char*>(m) + pages * page;
    ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);
    for (auto [L, mask] : kShapes) {
        for (std::size_t n : {1, 5, 8, 101}) {
            Records r(n, L, 9);
            unsigned char* p = guard - n * L;
            std::memcpy(p, r.at(0), n * L);
            EXPECT_EQ(show(scan(p, n, L, {}, mask)), show(reference(r.at(0), n, L, {}, mask)));
        }
    }
    munmap(m, (pages + 1) * page);
}
#endif

INSTANTIATE_TEST_SUITE_P(, ScanKernels, testing::Values(ScanKernel::scalar, ScanKernel::avx2),
                         testing::PrintToStringParamName());

// Asked of the operating system, not of the module, so that a module that
// never detects AVX2 cannot excuse itself.
bool host_has_avx2() {
#if defined(__linux__)
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line);
        for (std::string w; words >> w;)
            if (w == "avx2") return true;
        return false;
    }
    return false;
#elif (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

TEST(ScanRecords, RunTheAvx2KernelWhereverTheProcessorHasIt) {
    const bool avx2 = host_has_avx2();
    EXPECT_EQ(lidar::scan_kernel_available(ScanKernel::avx2), avx2);
    EXPECT_EQ(lidar::chosen_scan_kernel(), avx2 ? ScanKernel::avx2 : ScanKernel::scalar);
}

TEST(ScanRecords, PicksAKernelThatMatchesTheReference) {
    EXPECT_TRUE(lidar::scan_kernel_available(ScanKernel::scalar));
    Records r(777, 28, 13);
    PointStats s;
    lidar::scan_records(s, r.at(0), r.n, 28);
    EXPECT_EQ(show(s), show(reference(r.at(0), r.n, 28)));
}

}  // namespace

// scan_details: ten hand-built records in each layout (two steps of four,
// then a tail), every kernel. Byte 14 as formats 0-5 and as 6-10 write it;
// where the two differ, reading the other family's fields changes a verdict.
namespace {

using lidar::PointDetail;

const double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
struct Rec { unsigned char legacy, extended, cls; double gps; };
const Rec kRecs[] = {
    {0x09, 0x11, 2, 100.5},    // 1 of 1
    {0x10, 0x20, 2, kNaN},     // 0 of 2: bad
    {0x12, 0x22, 6, 7.25},     // 2 of 2
    {0x13, 0x23, 0xE2, kInf},  // 3 of 2: bad
    {0x00, 0x00, 9, 3e9},      // 0 of 0: bad, no returns
    {0xC1, 0x01, 2, -kInf},    // 1 of 0, with flag bits 6-7 in 0-5: bad, no returns
    {0xFF, 0x98, 31, 42},      // 7 of 7, flags set / 8 of 9
    {0x3A, 0x52, 2, 9},        // 2 of 7 / 2 of 5
    {0x2C, 0x54, 1, 0.25},     // 4 of 5
    {0x25, 0x1B, 200, kNaN},   // 5 of 4 / 11 of 1: bad
};
struct Layout { unsigned format; std::size_t length, gps; std::map<unsigned, std::uint64_t> classes; };
const std::map<unsigned, std::uint64_t> kLow5 = {{1, 1}, {2, 5}, {6, 1}, {8, 1}, {9, 1}, {31, 1}};
const std::map<unsigned, std::uint64_t> kWhole = {{1, 1}, {2, 4}, {6, 1}, {9, 1}, {31, 1}, {200, 1}, {226, 1}};
const Layout kLayouts[] = {{0, 20, 0, kLow5},  {1, 28, 20, kLow5}, {1, 34, 20, kLow5},  // six extra bytes
                           {6, 30, 22, kWhole}, {7, 36, 22, kWhole}, {6, 33, 22, kWhole}};

std::vector<unsigned char> build(const Layout& l) {
    std::vector<unsigned char> b(std::size(kRecs) * l.length, 0xA5);  // junk in every other field
    for (std::size_t i = 0; i < std::size(kRecs); ++i) {
        unsigned char* r = b.data() + i * l.length;
        r[14] = l.format >= 6 ? kRecs[i].extended : kRecs[i].legacy;
        r[l.format >= 6 ? 16 : 15] = kRecs[i].cls;
        if (l.gps) std::memcpy(r + l.gps, &kRecs[i].gps, 8);
    }
    return b;
}

std::string show(const PointDetail& d) {
    std::ostringstream o;
    for (unsigned c = 0; c < 256; ++c)
        if (d.classes[c]) o << c << ':' << d.classes[c] << ' ';
    o << "bad " << d.bad_return_number << " zero " << d.zero_returns << " gps " << d.gps_count << " invalid "
      << d.gps_invalid << ' ' << std::hexfloat << d.gps_min << ".." << d.gps_max;
    return o.str();
}

class ScanDetails : public ScanKernels {
protected:
    PointDetail scan(const Layout& l, const unsigned char* p, std::size_t n, PointDetail d = {}) {
        const ScanKernel ran = lidar::scan_details_with(GetParam(), d, p, n, l.length, l.format);
        EXPECT_EQ(ran, l.gps ? GetParam() : ScanKernel::scalar) << "kernel that ran";
        return d;
    }
};

TEST_P(ScanDetails, CountClassesFaultsAndFiniteTimes) {
    for (const Layout& l : kLayouts) {
        PointDetail want;
        for (auto [c, k] : l.classes) want.classes[c] = k;
        want.bad_return_number = 5;
        want.zero_returns = 2;
        if (l.gps) want.gps_count = 6, want.gps_invalid = 4, want.gps_min = 0.25, want.gps_max = 3e9;
        EXPECT_EQ(show(scan(l, build(l).data(), std::size(kRecs))), show(want)) << "length " << l.length;
    }
}

TEST_P(ScanDetails, MergedOrContinuedSplitsEqualTheWhole) {
    for (const Layout& l : kLayouts) {
        const std::vector<unsigned char> b = build(l);
        const std::size_t n = std::size(kRecs);
        const std::string whole = show(scan(l, b.data(), n));
        for (std::size_t k = 0; k <= n; ++k) {
            PointDetail head = scan(l, b.data(), k);
            const unsigned char* rest = b.data() + k * l.length;
            EXPECT_EQ(show(scan(l, rest, n - k, head)), whole) << "length " << l.length << ", split at " << k;
            lidar::merge_details(head, scan(l, rest, n - k));
            EXPECT_EQ(show(head), whole) << "length " << l.length << ", merged at " << k;
        }
    }
}

// The audit's one pass gives what the two kernels give one after the other,
// across the statistics kernel's 255-step batches and every tail length.
TEST_P(ScanDetails, OnePassEqualsTheTwoKernels) {
    std::mt19937_64 rng(7);
    for (const Layout& l : kLayouts) {
        std::vector<unsigned char> b(2103 * l.length);
        for (unsigned char& c : b) c = static_cast<unsigned char>(rng());
        for (std::size_t i = 0; l.gps && i < 2103; ++i) {  // mostly finite times, some NaN and infinite
            const double t = i % 97 == 0 ? kNaN : i % 89 == 0 ? -kInf : static_cast<double>(rng() % 1000000) / 8;
            std::memcpy(b.data() + i * l.length + l.gps, &t, 8);
        }
        const unsigned mask = l.format >= 6 ? 15 : 7;
        for (std::size_t n : {0, 3, 4, 1021, 2103}) {
            lidar::PointStats s1, s2;
            PointDetail d1, d2;
            lidar::scan_records_with(GetParam(), s1, b.data(), n, l.length, mask);
            lidar::scan_details_with(GetParam(), d1, b.data(), n, l.length, l.format);
            EXPECT_EQ(lidar::scan_block_with(GetParam(), s2, &d2, b.data(), n, l.length, mask, l.format), GetParam());
            EXPECT_EQ(std::memcmp(&s1, &s2, sizeof s1), 0) << "length " << l.length << ", " << n << " records";
            EXPECT_EQ(show(d1), show(d2)) << "length " << l.length << ", " << n << " records";
        }
    }
}

TEST(GpsTimeOffset, WhereEachFormatKeepsIt) {
    const std::size_t at[] = {0, 20, 0, 20, 20, 20, 22, 22, 22, 22, 22, 0};  // formats 0-11
    for (unsigned f = 0; f < std::size(at); ++f) EXPECT_EQ(lidar::gps_time_offset(f), at[f]) << "format " << f;
}

INSTANTIATE_TEST_SUITE_P(, ScanDetails, testing::Values(ScanKernel::scalar, ScanKernel::avx2),
                         testing::PrintToStringParamName());

}  // namespace
