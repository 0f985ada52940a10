// Files and offsets beyond what 32-bit positions reach, made sparse so they
// cost no disk: the scan must cover all of them and seek to the right place,
// and a count the header cannot hold must be refused.
#include "expect.h"
#include "tile_scan.h"
#include "las_header.h"
#include "count_limit.h"
#include "io_fault.h"
#include "las_file.h"
#include "run.h"
#include "update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace lastest;

namespace {

// Writes b at byte offset at of an existing file, leaving the rest alone.
void write_at(const std::string& path, std::uint64_t at, const Bytes& b) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    ASSERT_TRUE(f.good()) << path;
}

// Holes in a memory-backed file system read back as the shared zero page,
// some twenty times faster than from a disk file system here.
std::string sparse_base() {
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "";
}

Bytes read_header(const std::string& path) {
    Bytes b(227);
    std::ifstream f(path, std::ios::binary);
    f.read(reinterpret_cast<char*>(b.data()), 227);
    EXPECT_TRUE(f.good()) << path;
    return b;
}

Bytes record(int length, std::int32_t x, std::int32_t y, std::int32_t z, unsigned char bits) {
    Bytes r(length, 0);
    std::memcpy(&r[0], &x, 4);
    std::memcpy(&r[4], &y, 4);
    std::memcpy(&r[8], &z, 4);
    r[14] = bits;
    return r;
}

TEST(LargeFiles, PointAreaBeyondFourGiBIsScannedToTheEnd) {
    TempDir d(sparse_base());
    const std::string f = d.file("big.las");
    LasRecipe s;
    s.format = 0;
    write_file(f, build_las(s));
    // All-zero records up to past 4 GiB, then one that only a scan reaching
    // the very end sees, and a fragment that is not a point.
    const std::uint64_t n = (std::uint64_t{1} << 32) / 20 + 1000;
    const std::uint64_t last = 227 + (n - 1) * 20;
    std::filesystem::resize_file(f, last);
    Bytes tail = record(20 + 7, 700, -300, 1100, 0x42);  // return number 2
    std::fill(tail.begin() + 20, tail.end(), 0x5A);
    write_at(f, last, tail);

    RunResult r = run(vexholt_path(), {f});
    ASSERT_EQ(r.status, 0) << r.out;
    const Bytes h = read_header(f);
    EXPECT_EQ(get_u32(h, 107), n);
    EXPECT_EQ(get_u32(h, 111), 0u);
    EXPECT_EQ(get_u32(h, 115), 1u);
    EXPECT_EQ(get_f64(h, 179), 700 * 0.01);   // MaxX
    EXPECT_EQ(get_f64(h, 187), 0.0);          // MinX
    EXPECT_EQ(get_f64(h, 203), -300 * 0.01);  // MinY
    EXPECT_EQ(get_f64(h, 211), 1100 * 0.01);  // MaxZ
}

TEST(LargeFiles, OffsetToDataAtOrAbove2GiBIsSoughtExactly) {
    // Just above 2^31, and close enough below 2^32 that the records run
    // across it.
    for (std::uint64_t offset : {(std::uint64_t{1} << 31) + 5, (std::uint64_t{1} << 32) - 100}) {
        SCOPED_TRACE("OffsetToData " + std::to_string(offset));
        TempDir d(sparse_base());
        const std::string f = d.file("far.las");
        LasRecipe s;
        s.format = 3;
        s.offset_to_data = static_cast<std::int64_t>(offset);
        write_file(f, build_las(s));
        // Whatever lies between the header and OffsetToData reads as zero
        // records; they must not be counted.
        Bytes points;
        for (int i = 0; i < 5; ++i) {
            Bytes p = record(34, 10 + i, 20 + i, -30 - i, static_cast<unsigned char>(1 + i));
            points.insert(points.end(), p.begin(), p.end());
        }
        write_at(f, offset, points);

        RunResult r = run(vexholt_path(), {f});
        ASSERT_EQ(r.status, 0) << r.out;
        const Bytes h = read_header(f);
        EXPECT_EQ(get_u32(h, 107), 5u);
        for (int k = 0; k < 5; ++k) EXPECT_EQ(get_u32(h, 111 + 4 * k), 1u) << "return " << k + 1;
        EXPECT_EQ(get_f64(h, 179), 14 * 0.01);
        EXPECT_EQ(get_f64(h, 187), 10 * 0.01);
        EXPECT_EQ(get_f64(h, 219), -34 * 0.01);
    }
}

// Counts past 32 bits take 86 GB of holes and minutes to reach; the limit
// lowered to a few records takes the same paths (test_huge_file.cpp keeps
// one count truly past it).
struct CountLimit {
    explicit CountLimit(std::uint64_t most) { lidar::set_legacy_count_limit(most); }
    ~CountLimit() { lidar::set_legacy_count_limit(0); }
};

TEST(LargeFiles, MoreRecordsThanTheHeaderCanCountAreRefused) {
    const std::uint64_t most = 50;
    CountLimit limit(most);
    TempDir d;
    const std::string f = d.file("huge.las");
    LasRecipe s;
    s.format = 0;
    write_file(f, build_las(s));
    const std::string too_many = "\nCannot update the header of " + f +
                                 ": more point records than a LAS header can count\n";

    // The largest count there is fits, a trailing fragment not being a point.
    std::filesystem::resize_file(f, 227 + most * 20 + 19);
    std::string why;
    lidar::clear_io_faults();
    ASSERT_EQ(lidar::update_file(f.c_str(), why), lidar::kDone) << why;
    const Bytes counted = read_header(f);
    EXPECT_EQ(get_u32(counted, 107), most);
    EXPECT_EQ(get_u32(counted, 111), 0u);

    // One byte more completes a record beyond it: told from the size, before
    // a byte of the point area is read.
    std::filesystem::resize_file(f, 227 + (most + 1) * 20);
    lidar::clear_io_faults();
    EXPECT_EQ(lidar::update_file(f.c_str(), why), lidar::kRefused);
    EXPECT_EQ(why, too_many);
    EXPECT_EQ(lidar::io_calls(lidar::IoOp::read), 2u);
    EXPECT_EQ(read_header(f), counted);
    EXPECT_EQ(std::filesystem::file_size(f), 227 + (most + 1) * 20);

    // Grown past it after the size was taken: the records read refuse it.
    std::filesystem::resize_file(f, 227 + most * 20);
    lidar::set_io_hook(lidar::IoOp::read, 3, [&] {
        std::error_code ec;
        std::filesystem::resize_file(f, 227 + (most + 1) * 20, ec);
        EXPECT_FALSE(ec) << ec.message();
    });
    EXPECT_EQ(lidar::update_file(f.c_str(), why), lidar::kRefused);
    lidar::clear_io_faults();
    EXPECT_EQ(why, too_many);
    EXPECT_EQ(read_header(f), counted);
}

// The audit's general rule: LAS 1.4 counts past 32 bits in its 64-bit
// fields (the legacy ones then hold 0); LAS 1.3 cannot, and says so before
// reading a record.
TEST(LargeFiles, OnlyLasOnePointFourCountsPastTheLegacyFields) {
    const std::uint64_t most = 50;
    CountLimit limit(most);
    TempDir d;
    const std::string f = d.file("huge.las");
    const std::uint64_t records = most + 2;
    for (std::uint8_t minor : {3, 4}) {
        SCOPED_TRACE(static_cast<int>(minor));
        LasRecipe s;
        s.minor = minor;
        s.format = 0;
        s.header_size = minor == 3 ? 235 : 375;
        write_file(f, build_las(s));
        std::filesystem::resize_file(f, s.header_size + records * 20);
        audit::TileTarget t = audit::named_tile(f.c_str());
        lidar::clear_io_faults();
        std::string why;
        audit::TileScan scan;
        const int rc = audit::update_tile(t, why, &scan);
        if (minor == 3) {
            EXPECT_EQ(rc, lidar::kRefused);
            EXPECT_NE(why.find("more point records than a LAS header can count"), std::string::npos) << why;
            EXPECT_EQ(lidar::io_calls(lidar::IoOp::read), 1u);
            continue;
        }
        ASSERT_EQ(rc, lidar::kDone) << why;
        const Bytes h = read_file(f);
        const lidar::LasHeader m = lidar::parse_header(h.data(), h.size());
        EXPECT_EQ(m.count, records);
        EXPECT_EQ(m.by_return[0], 0u);
        EXPECT_EQ(m.legacy_count, 0u);
    }
}

}  // namespace
