// One large file read by several threads, its segments copied by reads or
// scanned where they are mapped: the merged result is the one thread's, a
// fault in any thread fails the scan, and a file that shrinks or grows
// under it is refused as changed, never judged on part of it.
#include "file_scan.h"
#include "io_fault.h"
#include "las_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

using namespace lastest;

namespace {

struct Scan {
    int result;
    lidar::FileScan scan;
    lidar::PointDetail detail;
    std::string why;
};

Scan scan(const std::string& path, std::atomic<int>* spare,
          lidar::SegmentReads reads = lidar::SegmentReads::copied) {
    Scan s;
    lidar::Target t = lidar::named(path.c_str());
    t.general = true;
    t.detail = &s.detail;
    t.spare = spare;
    t.share_from = 0;
    t.share_segment = 64 << 10;  // 30 or so segments
    t.segment_reads = reads;
    s.result = lidar::scan_file(t, s.scan, s.why);
    return s;
}

class SharedScan : public ::testing::TestWithParam<lidar::SegmentReads> {
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

TEST_P(SharedScan, MergesToWhatOneThreadFinds) {
    const Scan one = scan(path, nullptr), many = scan(path, &spare, GetParam());
    ASSERT_EQ(one.result, lidar::kDone) << one.why;
    ASSERT_EQ(many.result, lidar::kDone) << many.why;
    EXPECT_EQ(std::memcmp(&one.scan.stats, &many.scan.stats, sizeof one.scan.stats), 0);
    EXPECT_EQ(std::memcmp(&one.detail, &many.detail, sizeof one.detail), 0);
    EXPECT_EQ(one.scan.point_bytes, many.scan.point_bytes);
    EXPECT_EQ(spare.load(), 3);  // every thread borrowed was given back
}

TEST_P(SharedScan, AFaultInAnyThreadFailsTheScan) {
    lidar::clear_io_faults();
    ASSERT_EQ(scan(path, &spare, GetParam()).result, lidar::kDone);
    const unsigned long reads = lidar::io_calls(lidar::IoOp::read);
    ASSERT_GT(reads, 20u);
    for (unsigned long n = 2; n <= reads; n += 3) {
        lidar::set_io_fault(lidar::IoOp::read, n, EIO);
        EXPECT_EQ(scan(path, &spare, GetParam()).result, lidar::kFailed) << "read " << n;
    }
    EXPECT_EQ(spare.load(), 3);
}

TEST_P(SharedScan, AFileThatMovesUnderTheScanHasChanged) {
    const off_t size = static_cast<off_t>(read_file(path).size());
    const struct {
        const char* what;
        off_t to;
    } cases[] = {{"shrinks", size / 2}, {"grows", size + 4096}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        lidar::set_io_hook(lidar::IoOp::read, 6, [&] { ASSERT_EQ(truncate(path.c_str(), c.to), 0); });
        const Scan s = scan(path, &spare, GetParam());
        EXPECT_EQ(s.result, lidar::kFailed);
        EXPECT_NE(s.why.find("changed while it was being read"), std::string::npos) << s.why;
    }
}

std::string reads_name(const ::testing::TestParamInfo<lidar::SegmentReads>& info) {
    switch (info.param) {
        case lidar::SegmentReads::mapped: return "mapped";
        case lidar::SegmentReads::copied: return "copied";
        default: return "timed";
    }
}

// Whichever way the first segments are timed to go, the result is the same.
INSTANTIATE_TEST_SUITE_P(Reads, SharedScan,
                         ::testing::Values(lidar::SegmentReads::copied, lidar::SegmentReads::mapped,
                                           lidar::SegmentReads::timed),
                         reads_name);

// The mapped scan catches SIGBUS for its own pages only: any other still
// ends the program as it would have.
TEST(MappedScan, ASigbusElsewhereStillEndsTheProgram) {
    TempDir d;
    LasSpec s;
    s.points = spread_points(70000);
    write_file(d.file("m.las"), build_las(s));
    std::atomic<int> spare{1};
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (scan(d.file("m.las"), &spare, lidar::SegmentReads::mapped).result != lidar::kDone) std::exit(3);
            std::raise(SIGBUS);
            std::exit(0);  // swallowed
        },
        // By the signal, or by the handler that was there before (a
        // sanitizer's, which aborts or exits with a status of its own).
        [](int status) { return !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3); },
        "");
}

}  // namespace
