// The update's promise while other programs touch the file: the name
// switched after the check, the header edited, the file cut or rewritten
// during the scan, a live pipe, a file-size limit, a memory limit. Each race
// is staged at a chosen file-layer call, so none depends on timing. Either
// only the statistics change and a second run changes nothing, or the run
// refuses and the file is as the other program left it.
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
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lastest;
using lidar::IoOp;
namespace fs = std::filesystem;

namespace {

// Several read blocks of format-1 records, so a change can land mid-scan.
Bytes tile(std::uint8_t format = 1, int points = 100000) {
    LasSpec s;
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

TEST_F(World, ChangesDuringTheScanAreKeptOrRefused) {
    const Bytes original = tile();
    Bytes edited = original;  // a field the statistics do not depend on
    std::memcpy(&edited[58], "another writer", 14);
    Bytes rescaled = original;
    put_f64(rescaled, 131, 0.001);
    Bytes moved = original;
    put_u32(moved, 96, 300);
    Bytes grown = original;
    grown.resize(grown.size() + 28, 0);
    const Bytes reexport = tile(0, 2000), cut = Bytes(original.begin(), original.begin() + 100),
                shortened = Bytes(original.begin(), original.begin() + 227 + 28 * 100);
    struct Case {
        const char* what;
        IoOp op;
        unsigned long nth;
        const Bytes& now;  // what the other program leaves
        bool kept;         // the update goes ahead on it
    };
    // Read 3 is the first block of points; seek 2 leads to the header read
    // again just before writing.
    const Case cases[] = {
        {"text edited mid-scan", IoOp::read, 4, edited, true},
        {"text edited before the write", IoOp::seek, 2, edited, true},
        {"scale changed", IoOp::read, 4, rescaled, false},
        {"points moved", IoOp::seek, 2, moved, false},
        {"exported again", IoOp::read, 4, reexport, false},
        {"cut below the header", IoOp::read, 4, cut, false},
        {"cut inside the points", IoOp::read, 4, shortened, false},
        {"records appended", IoOp::seek, 2, grown, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(f, original);
        // In place, as an editor or exporter writes: same file, new bytes.
        Printed p = update_with(c.op, c.nth, [&] {
            fs::resize_file(f, 0);
            std::FILE* out = std::fopen(f.c_str(), "r+b");
            ASSERT_NE(out, nullptr);
            std::fwrite(c.now.data(), 1, c.now.size(), out);
            std::fclose(out);
        });
        if (c.kept) {
            EXPECT_EQ(p.result, 0) << p.out;
            EXPECT_TRUE(read_file(f) == *reference_update(c.now));
        } else {
            EXPECT_EQ(p.result, -1);
            EXPECT_EQ(p.out, changed);
            EXPECT_TRUE(read_file(f) == c.now);
        }
    }
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
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
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
