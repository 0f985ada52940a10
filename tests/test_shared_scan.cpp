// One large file read by several threads, its segments copied by reads or
// scanned where they are mapped: the merged result is the one thread's, a
// fault in any thread fails the scan, and a file that shrinks, grows or is
// rewritten under it is refused as changed, by one thread or several, never
// judged on part of it.
#include "file_scan.h"
#include "io_fault.h"
#include "las_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
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
            const Scan s = scan(path, threads, GetParam());
            EXPECT_EQ(s.result, lidar::kFailed);
            EXPECT_NE(s.why.find("changed while it was being read"), std::string::npos) << s.why;
        }
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
