// Every file operation of the update made to fail, one call at a time, in the
// real code: each failure ends in -1 and a message naming the file, never in
// the completion message, and leaves the file as it was, except that once the
// header write has begun a failure is still reported and the file holds at
// most the new statistics.
#include "expect.h"
#include "io_fault.h"
#include "las_file.h"
#include "reference.h"
#include "run.h"
#include "update.h"

#include "LiDAR.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dlfcn.h>

// Counts the real sync calls the update makes, whatever the fault seam
// counts: the module's calls bind to this definition in the test program.
static int g_fsyncs = 0;
extern "C" int fsync(int fd) {
    using Fn = int (*)(int);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
    ++g_fsyncs;
    return real(fd);
}

using namespace lastest;
using lidar::IoOp;

namespace {

// A format-1 file of about 4 MB: several read blocks plus a short last one,
// so a read can fail with whole blocks already scanned.
Bytes several_blocks() {
    LasRecipe s;
    s.format = 1;
    s.gap = 31;
    s.trailing = 9;
    s.points = spread_points(140000);
    return build_las(s);
}

Printed update_in_process(const std::string& f) {
    return capture([&] { return lidar::update_header_core(f.c_str()); });
}

class Faults : public ::testing::Test {
protected:
    void TearDown() override { lidar::clear_io_faults(); }

    // Calls of op that one clean update makes (on a scratch copy).
    unsigned long clean_calls(IoOp op) {
        write_file(f, original);
        lidar::clear_io_faults();
        EXPECT_EQ(update_in_process(f).result, 0);
        return lidar::io_calls(op);
    }

    TempDir d;
    const std::string f = d.file("tile.las");
    const Bytes original = several_blocks();
    const Bytes updated = *reference_update(original);
};

TEST_F(Faults, EveryFailingReadOpenOrSeekLeavesTheFileAlone) {
    const std::string unreadable = "\n" + f + " is too short or unreadable to be a valid .las file\n\n";
    const std::string points = "\nCannot read the point records of " + f + "\n";
    const std::string cannot_write = "\nCannot write the header of " + f + "\n";
    const unsigned long reads = clean_calls(IoOp::read);
    ASSERT_GE(reads, 7u) << "the file should take several blocks to read";
    ASSERT_EQ(clean_calls(IoOp::seek), 4u);
    struct Case {
        IoOp op;
        unsigned long first, last;
        std::string message;
    };
    const Case cases[] = {
        {IoOp::open_read, 1, 1, "Unable to open file " + f + " in file_access()\n\nFile " + f + " does NOT exist\n"},
        {IoOp::open_update, 1, 1, "\nCannot open binary file " + f + " for header update\n\n"},
        {IoOp::read, 1, 1, unreadable},
        {IoOp::read, 2, 2, "\nCannot read the 227-byte header of " + f + "\n"},
        {IoOp::read, 3, reads - 1, points},  // every read of the point area, the last empty one too
        {IoOp::read, reads, reads, cannot_write},  // the header read again before writing
        {IoOp::seek, 1, 1, "\nCannot seek to the point records of " + f + "\n"},
        {IoOp::seek, 2, 3, cannot_write},  // back to the header, to its counts (seek 4, to the
                                           // extents, follows the counts' write)
    };
    for (const Case& c : cases) {
        for (unsigned long nth = c.first; nth <= c.last; ++nth) {
            write_file(f, original);
            lidar::set_io_fault(c.op, nth, EIO);
            Printed o = update_in_process(f);
            lidar::clear_io_faults();
            SCOPED_TRACE("operation " + std::to_string(static_cast<int>(c.op)) + ", call " +
                         std::to_string(nth));
            EXPECT_EQ(o.result, -1);
            EXPECT_EQ(o.out, c.message);
            EXPECT_TRUE(read_file(f) == original);
        }
    }
}

TEST_F(Faults, AWriteThatStopsHalfWayIsReported) {
    LasRecipe s;  // small: every transfer is cut to a few bytes
    s.points = {{1, 2, 3, 1}, {-9, 8, 7, 2}};
    const Bytes small = build_las(s), done = *reference_update(small);
    write_file(f, small);
    lidar::set_io_transfer_cap(7);
    lidar::set_io_fault(IoOp::write, 3, EIO);  // after 14 bytes: the count is new, the extents are not
    Printed o = update_in_process(f);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "\nCannot write the header of " + f + "\n");
    const Bytes after = read_file(f);
    ASSERT_EQ(after.size(), small.size());
    EXPECT_EQ(get_u32(after, 107), 2u);
    for (std::size_t i = 0; i < after.size(); ++i)
        EXPECT_TRUE(after[i] == small[i] || after[i] == done[i]) << "byte " << i;
}

// Interrupted calls are retried and short transfers continued: the result is
// the same file a clean run gives.
TEST_F(Faults, InterruptionsAndShortTransfersChangeNothing) {
    const IoOp ops[] = {IoOp::read, IoOp::write};
    for (IoOp op : ops) {
        for (unsigned long nth : {1ul, 2ul, 4ul}) {
            write_file(f, original);
            lidar::set_io_fault(op, nth, EINTR);
            Printed o = update_in_process(f);
            EXPECT_EQ(o.result, 0) << o.out;
            EXPECT_TRUE(read_file(f) == updated) << static_cast<int>(op) << " call " << nth;
        }
    }
    LasRecipe s;
    s.format = 3;
    s.trailing = 11;
    for (int i = 0; i < 3000; ++i) s.points.push_back({i * 7 - 900, -i, i % 13, static_cast<std::uint8_t>(i)});
    const Bytes small = build_las(s);
    for (std::size_t cap : {7, 1}) {  // a single byte per call must be carried on, not reported
        write_file(f, small);
        lidar::set_io_transfer_cap(cap);
        EXPECT_EQ(update_in_process(f).result, 0) << "cap " << cap;
        EXPECT_TRUE(read_file(f) == *reference_update(small)) << "cap " << cap;
    }
}

// The exported routine prints its completion line only after the header is
// written, synced and closed. Once the header is on its way out the file
// cannot be put back: a failure is still reported, the process ends with -1
// and nothing but the statistics can have changed.
TEST_F(Faults, CompletionOnlyAfterWriteSyncAndClose) {
    const std::string write_failed = "\nCannot write the header of " + f + "\n";
    struct Case {
        IoOp op;
        std::string message;
        const Bytes* left;
    };
    const Case cases[] = {
        {IoOp::write, write_failed, &original},
        {IoOp::sync, write_failed, &updated},
        {IoOp::close, "\nCannot close " + f + " after writing its header\n", &updated},
    };
    for (const Case& c : cases) {
        write_file(f, original);
        RunResult r = run_forked([&] {
            lidar::set_io_fault(c.op, 1, EIO);
            update_header(f.c_str());
            return 0;
        });
        SCOPED_TRACE(static_cast<int>(c.op));
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, c.message);
        EXPECT_TRUE(read_file(f) == *c.left);
    }
    write_file(f, original);
    RunResult ok = run_forked([&] {
        lidar::clear_io_faults();
        g_fsyncs = 0;
        update_header(f.c_str());
        std::printf("|%d %lu", g_fsyncs, lidar::io_calls(IoOp::close));
        return 0;
    });
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, completion(f) + "|1 1");
    EXPECT_TRUE(read_file(f) == updated);
}

}  // namespace
