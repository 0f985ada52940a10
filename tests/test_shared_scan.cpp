// One large file read by several threads: the merged result is the one
// thread's, points outside a box counted alike, a fault in any thread fails the scan, and a file that shrinks, grows or is
// rewritten under it is refused as changed, by one thread or several, never
// judged on part of it.
#include "tile_scan.h"
#include "io_fault.h"
#include "las_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace lastest;

namespace {

struct Scan {
    int result;
    audit::TileScan scan;
    lidar::PointDetail detail;
    std::string why;
};

Scan scan(const std::string& path, std::atomic<int>* spare, const lidar::OutsideBox* box = nullptr) {
    Scan s;
    audit::TileTarget t = audit::named_tile(path.c_str());
    s.detail.box = box;
    t.detail = &s.detail;
    t.spare = spare;
    t.share_from = 0;
    t.share_segment = 64 << 10;  // 30 or so segments
    s.result = audit::scan_tile(t, s.scan, s.why);
    return s;
}

class SharedScan : public ::testing::Test {
protected:
    void SetUp() override {
        LasRecipe s;
        s.format = 1;
        s.trailing = 9;
        s.points = spread_points(70000);
        write_file(path, build_las(s));
        // Written a moment ago, the file could be rewritten within the same
        // clock tick and keep its timestamps: dated back, any write shows.
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    }
    void TearDown() override { lidar::clear_io_faults(); }
    TempDir d;
    std::string path = d.file("big.las");
    std::atomic<int> spare{3};
};

TEST_F(SharedScan, MergesToWhatOneThreadFinds) {
    const Scan plain = scan(path, nullptr);
    ASSERT_EQ(plain.result, lidar::kDone) << plain.why;
    // A box that leaves out the points east of the middle.
    const lidar::LasHeader& h = plain.scan.model;
    lidar::OutsideBox box{{h.scale[0], h.scale[1], h.scale[2]}, {h.offset[0], h.offset[1], h.offset[2]},
                          {-1e300, -1e300, -1e300}, {1e300, 1e300, 1e300}};
    box.hi[0] = (0.5 * plain.scan.stats.maxX + 0.5 * plain.scan.stats.minX) * h.scale[0] + h.offset[0];
    const Scan one = scan(path, nullptr, &box), many = scan(path, &spare, &box);
    ASSERT_EQ(one.result, lidar::kDone) << one.why;
    EXPECT_GT(one.detail.outside, 0u);
    EXPECT_LT(one.detail.outside, one.scan.stats.count);
    ASSERT_EQ(many.result, lidar::kDone) << many.why;
    EXPECT_EQ(std::memcmp(&one.scan.stats, &many.scan.stats, sizeof one.scan.stats), 0);
    EXPECT_EQ(std::memcmp(&one.detail, &many.detail, sizeof one.detail), 0);
    EXPECT_EQ(one.scan.point_bytes, many.scan.point_bytes);
    EXPECT_EQ(spare.load(), 3);  // every thread borrowed was given back
}

TEST_F(SharedScan, AFaultInAnyThreadFailsTheScan) {
    lidar::clear_io_faults();
    ASSERT_EQ(scan(path, &spare).result, lidar::kDone);
    const unsigned long reads = lidar::io_calls(lidar::IoOp::read);
    ASSERT_GT(reads, 20u);
    for (unsigned long n = 2; n <= reads; n += 3) {
        lidar::set_io_fault(lidar::IoOp::read, n, EIO);
        EXPECT_EQ(scan(path, &spare).result, lidar::kFailed) << "read " << n;
    }
    EXPECT_EQ(spare.load(), 3);
}

TEST_F(SharedScan, AFileThatMovesUnderTheScanHasChanged) {
    const off_t size = static_cast<off_t>(read_file(path).size());
    // A writer moves the last point and MaxX with it, the file as large as
    // before: either version alone is current, the mix of them is not.
    auto move_last_point = [&] {
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::int32_t x = 1 << 30;
        const double max_x = x * 0.01;
        EXPECT_EQ(pwrite(fd, &x, 4, size - 9 - 28), 4);
        EXPECT_EQ(pwrite(fd, &max_x, 8, 179), 8);
        close(fd);
    };
    const struct {
        const char* what;
        std::function<void()> change;
    } cases[] = {{"shrinks", [&] { ASSERT_EQ(truncate(path.c_str(), size / 2), 0); }},
                 {"grows", [&] { ASSERT_EQ(truncate(path.c_str(), size + 4096), 0); }},
                 {"is rewritten in place", move_last_point}};
    for (std::atomic<int>* threads : {&spare, static_cast<std::atomic<int>*>(nullptr)}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (threads ? ", shared" : ", one thread"));
            SetUp();
            // Before the third read: after the header's, one thread reads
            // the points in two blocks, several in some thirty segments.
            lidar::set_io_hook(lidar::IoOp::read, 3, c.change);
            const Scan s = scan(path, threads);
            EXPECT_EQ(s.result, lidar::kFailed);
            EXPECT_NE(s.why.find("changed while it was being read"), std::string::npos) << s.why;
        }
    }
}

}  // namespace
