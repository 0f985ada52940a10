// The update's promise while other programs touch the file: the name
// switched after the check, the header edited, the file cut or rewritten
// during the scan, a live pipe, a file-size limit, a memory limit. Each race
// is staged at a chosen file-layer call, so none depends on timing. Either
// only the statistics change and a second run changes nothing, or the run
// refuses and the file is as the other program left it.
#include "sanitized.h"
#include "expect.h"
#include "io_fault.h"
#include "las_file.h"
#include "reference.h"
#include "run.h"
#include "update.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <chrono>
#include <functional>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace lastest;
using lidar::IoOp;
namespace fs = std::filesystem;

namespace {

// Several read blocks of format-1 records, so a change can land mid-scan.
Bytes tile(std::uint8_t format = 1, int points = 100000) {
    LasRecipe s;
    s.format = format;
    s.points = spread_points(points);
    return build_las(s);
}

class World : public testing::Test {
protected:
    void TearDown() override { lidar::clear_io_faults(); }

    // The update in this process, with change run just before the nth call
    // of op.
    Printed update_with(IoOp op, unsigned long nth, const std::function<void()>& change) {
        lidar::set_io_hook(op, nth, change);
        Printed p = capture([&] { return lidar::update_header_core(f.c_str()); });
        lidar::clear_io_faults();
        return p;
    }

    TempDir d;
    const std::string f = d.file("tile.las");
    const std::string changed =
        "\nCannot update the header of " + f + ": the file changed while it was being read\n";
};

TEST_F(World, ANameSwitchedAfterTheCheckIsNotWritten) {
    const Bytes text(300, 'x'), other = tile(3, 10);
    struct Case {
        const char* what;
        std::function<void()> swap;
        std::string victim;  // must keep its bytes
        Bytes victim_bytes;
    };
    const std::string victim = d.file("victim");
    const Case cases[] = {
        {"renamed over", [&] { fs::rename(victim, f); }, f, text},
        {"symbolic link", [&] { fs::remove(f); fs::create_symlink(victim, f); }, victim, text},
        {"other point format", [&] { fs::remove(f); fs::create_symlink(victim, f); }, victim, other},
        {"pipe", [&] { fs::remove(f); ASSERT_EQ(mkfifo(f.c_str(), 0600), 0); }, victim, text},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(f);
        write_file(f, tile());
        write_file(victim, c.victim_bytes);
        Printed p = update_with(IoOp::open_update, 1, c.swap);
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.out, changed);
        EXPECT_EQ(read_file(c.victim), c.victim_bytes);
    }
}

// The file as the other program leaves it, with the statistics of the file
// as it was scanned.
Bytes with_stats_of(const Bytes& now, const Bytes& scanned) {
    Bytes want = now;
    const Bytes stats = *reference_update(scanned);
    for (std::size_t i = 0; i < want.size(); ++i)
        if (is_stat_byte(i)) want[i] = stats[i];
    return want;
}

TEST_F(World, ChangesAfterTheOpenAreRefusedAndEditsAfterTheChecksKept) {
    const Bytes original = tile();
    Bytes edited = original;  // a field the statistics do not depend on
    std::memcpy(&edited[58], "another writer", 14);
    Bytes rescaled = original;
    put_f64(rescaled, 131, 0.001);
    put_f64(rescaled, 163, 12.5);
    Bytes moved = original;
    put_u32(moved, 96, 300);
    Bytes grown = original;
    grown.resize(grown.size() + 28, 0);
    Bytes one_point = original;  // same size, one X rewritten
    put_u32(one_point, 227 + 28 * 5000, 99999999);
    const Bytes reexport = tile(0, 2000), cut = Bytes(original.begin(), original.begin() + 100),
                shortened = Bytes(original.begin(), original.begin() + 227 + 28 * 100);
    enum How { in_place, mapped, renamed_over, removed };
    struct Case {
        const char* what;
        IoOp op;
        unsigned long nth;
        const Bytes& now;  // what the other program leaves
        How how;
        bool kept;  // the update goes ahead on it, keeping the other program's bytes
    };
    // Read 3 is the first block of points; seek 2 leads to the header read
    // again; writes 1 and 2 are the counts and the extents.
    const Case cases[] = {
        {"text edited mid-scan", IoOp::read, 4, edited, in_place, false},
        {"text edited before the header is read again", IoOp::seek, 2, edited, in_place, false},
        {"a point rewritten through a shared mapping", IoOp::read, 4, one_point, mapped, false},
        {"a point rewritten in place", IoOp::read, 4, one_point, in_place, false},
        {"scale changed", IoOp::read, 4, rescaled, in_place, false},
        {"points moved", IoOp::seek, 2, moved, in_place, false},
        {"exported again", IoOp::read, 4, reexport, in_place, false},
        {"cut below the header", IoOp::read, 4, cut, in_place, false},
        {"cut inside the points", IoOp::read, 4, shortened, in_place, false},
        {"records appended", IoOp::seek, 2, grown, in_place, false},
        {"saved by renaming a new file over the name", IoOp::read, 4, edited, renamed_over, false},
        {"saved by renaming, as the header is read again", IoOp::seek, 2, edited, renamed_over, false},
        {"deleted", IoOp::seek, 2, original, removed, false},
        {"scale and offset edited after the checks", IoOp::write, 1, rescaled, in_place, true},
    };
    const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(f, original);
        // Timestamps move on at the system clock's tick: an edit within the
        // tick of the file's own writing could not be told apart.
        fs::last_write_time(f, past);
        Printed p = update_with(c.op, c.nth, [&] {
            const std::string temp = d.file("tile.las.tmp");
            switch (c.how) {
                case in_place: {  // as an editor or exporter writes: same file, new bytes
                    fs::resize_file(f, 0);
                    std::FILE* out = std::fopen(f.c_str(), "r+b");
                    ASSERT_NE(out, nullptr);
                    std::fwrite(c.now.data(), 1, c.now.size(), out);
                    std::fclose(out);
                    break;
                }
                case mapped: {
                    const int fd = open(f.c_str(), O_RDWR);
                    ASSERT_GE(fd, 0);
                    void* m = mmap(nullptr, c.now.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                    ASSERT_NE(m, MAP_FAILED);
                    std::memcpy(m, c.now.data(), c.now.size());
                    munmap(m, c.now.size());
                    close(fd);
                    break;
                }
                case renamed_over:
                    write_file(temp, c.now);
                    fs::rename(temp, f);
                    break;
                case removed: fs::remove(f); break;
            }
        });
        if (c.kept) {
            EXPECT_EQ(p.result, 0) << p.out;
            EXPECT_TRUE(read_file(f) == with_stats_of(c.now, original));
        } else if (c.how == removed) {
            EXPECT_EQ(p.result, -1);
            EXPECT_EQ(p.out, changed);
        } else {
            EXPECT_EQ(p.result, -1);
            EXPECT_EQ(p.out, changed);
            EXPECT_TRUE(read_file(f) == c.now);
        }
    }
}

// A folder swapped for another while the file is scanned: the file itself
// is untouched (same inode, links and times), only its name now leads
// elsewhere, and neither file is written.
TEST_F(World, AFolderSwappedUnderTheNameIsNotWritten) {
    const std::string dir = d.file("a"), name = dir + "/tile.las";
    fs::create_directory(dir);
    Bytes stale = tile(1, 100), other = tile(2, 100);
    put_u32(stale, 107, 1);
    write_file(name, stale);
    lidar::set_io_hook(IoOp::seek, 2, [&] {
        fs::rename(dir, dir + ".old");
        fs::create_directory(dir);
        write_file(name, other);
    });
    Printed p = capture([&] { return lidar::update_header_core(name.c_str()); });
    lidar::clear_io_faults();
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "\nCannot update the header of " + name + ": the file changed while it was being read\n");
    EXPECT_TRUE(read_file(dir + ".old/tile.las") == stale);
    EXPECT_TRUE(read_file(name) == other);
}

// What the name leads to is examined before anything opens it: a device
// switched in for the file is never opened, for reading or writing.
TEST_F(World, ADeviceSwitchedInIsNeverOpened) {
    const std::string dev = d.file("null");
    if (mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "cannot make a device node here";
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dev.c_str(), IN_OPEN), 0);
    for (IoOp op : {IoOp::open_read, IoOp::open_update}) {
        SCOPED_TRACE(static_cast<int>(op));
        fs::remove(f);
        write_file(f, tile(1, 100));
        Printed p = update_with(op, 1, [&] {
            fs::remove(f);
            fs::create_symlink(dev, f);
        });
        EXPECT_EQ(p.result, -1);
        EXPECT_NE(p.out.find(f), std::string::npos);
    }
    char events[4096];
    EXPECT_EQ(read(watch, events, sizeof events), -1) << "the device was opened";
    close(watch);
}

TEST_F(World, ALivePipeIsRefusedAtOnceAndKeepsItsData) {
    ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
    // Our own reader first, so the writer can open and fill the pipe.
    const int reader = open(f.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const int writer = open(f.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    const Bytes payload = tile(1, 500);
    ASSERT_EQ(write(writer, payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));

    RunResult r = run(vexholt_path(), {f});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner() + "\n" + f + " is too short or unreadable to be a valid .las file\n\n");
    close(writer);
    Bytes left(payload.size() + 1);
    EXPECT_EQ(read(reader, left.data(), left.size()), static_cast<ssize_t>(payload.size()));
    left.resize(payload.size());
    EXPECT_TRUE(left == payload) << "the pipe lost data";
    close(reader);
}

// A limit on what the process may write or allocate ends the run with the
// module's message, never with a signal, an abort or a torn header.
TEST_F(World, LimitsAreReportedBeforeAnythingIsWritten) {
    const Bytes original = tile(1, 100);
    struct Case {
        const char* what;
        int resource;
        std::string message;
    };
    std::vector<Case> cases = {
        {"file size", RLIMIT_FSIZE, "\nCannot write the header of " + f + "\n"},
    };
#if !LASTEST_SANITIZED
    // Sanitizers reserve address space up front and abort on a failed malloc.
    cases.push_back({"address space", RLIMIT_AS,
                     "\nCannot allocate memory for storing a record of information from " + f + "\n"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(f, original);
        RunResult r = run_forked([&] {
            rlim_t limit = 200;  // below the 227-byte header
            if (c.resource == RLIMIT_AS) {
                // What is mapped now and a little more: too little for a read block.
                long pages = 0;
                std::FILE* statm = std::fopen("/proc/self/statm", "r");
                if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) return 3;
                std::fclose(statm);
                limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64 << 10);
            }
            std::printf("%s", "");  // the output buffer exists before the limit
            const rlimit lim{limit, limit};
            if (setrlimit(c.resource, &lim) != 0) return 4;
            update_header(f.c_str());
            return 0;
        });
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, c.message);
        EXPECT_TRUE(read_file(f) == original);
    }
}

}  // namespace
