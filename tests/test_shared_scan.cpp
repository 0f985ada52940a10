// One large file read by several threads: the merged result is the one
// thread's, a fault in any thread fails the scan, and a file that shrinks
// or grows under it is refused as changed, never judged on part of it.
#include "file_scan.h"
#include "io_fault.h"
#include "las_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

using namespace lastest;

namespace {

struct Scan {
    int result;
    lidar::FileScan scan;
    lidar::PointDetail detail;
    std::string why;
};

Scan scan(const std::string& path, std::atomic<int>* spare) {
    Scan s;
    lidar::Target t = lidar::named(path.c_str());
    t.general = true;
    t.detail = &s.detail;
    t.spare = spare;
    t.share_from = 0;
    t.share_segment = 64 << 10;  // 30 or so segments
    s.result = lidar::scan_file(t, s.scan, s.why);
    return s;
}

class SharedScan : public ::testing::Test {
protected:
    void SetUp() override {
        LasSpec s;
        s.format = 1;
        s.trailing = 9;
        s.points = spread_points(70000);
        write_file(path, build_las(s));
    }
    void TearDown() override { lidar::clear_io_faults(); }
    TempDir d;
    std::string path = d.file("big.las");
    std::atomic<int> spare{3};
};

TEST_F(SharedScan, MergesToWhatOneThreadFinds) {
    const Scan one = scan(path, nullptr), many = scan(path, &spare);
    ASSERT_EQ(one.result, lidar::kDone) << one.why;
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
    const struct {
        const char* what;
        off_t to;
    } cases[] = {{"shrinks", size / 2}, {"grows", size + 4096}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        lidar::set_io_hook(lidar::IoOp::read, 6, [&] { ASSERT_EQ(truncate(path.c_str(), c.to), 0); });
        const Scan s = scan(path, &spare);
        EXPECT_EQ(s.result, lidar::kFailed);
        EXPECT_NE(s.why.find("changed while it was being read"), std::string::npos) << s.why;
    }
}

}  // namespace
