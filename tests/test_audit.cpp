// Vexholt-audit as a user runs it: statuses, exit statuses, the three
// formats, the walk and its order, read-only judging and the progress line.
#include "audit.h"
#include "expect.h"
#include "io_fault.h"
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <fcntl.h>

#ifndef _WIN32
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace lastest;
namespace fs = std::filesystem;

namespace {

RunResult audit(const std::vector<std::string>& args, const std::string& cwd = "") {
    return run(audit_path(), args, cwd, true);
}

// A path the walk built, with Windows' separators as written here.
std::string slashed(std::string s) {
#ifdef _WIN32
    std::replace(s.begin(), s.end(), '\\', '/');
#endif
    return s;
}

// Two points, returns 1 and 2, on a 0.01 grid; stated counts are stale.
LasSpec stale_spec() {
    LasSpec s;
    s.points = {{100, 200, 300, 1}, {-50, 250, 310, 2}};
    return s;
}

// The same file with every statistic as Vexholt writes it.
LasSpec current_spec() {
    LasSpec s = stale_spec();
    s.stated_count = 2;
    std::uint32_t by_return[5] = {1, 1, 0, 0, 0};
    std::copy(by_return, by_return + 5, s.stated_by_return);
    double extents[6] = {world(100, 0.01, 0), world(-50, 0.01, 0), world(250, 0.01, 0),
                         world(200, 0.01, 0), world(310, 0.01, 0), world(300, 0.01, 0)};
    std::copy(extents, extents + 6, s.stated_extents);
    return s;
}

std::vector<nlohmann::json> json_lines(const std::string& out) {
    std::vector<nlohmann::json> v;
    for (std::size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        v.push_back(nlohmann::json::parse(out.substr(at, nl - at)));
    return v;
}

TEST(AuditStatus, ExitStatusIsTheHighestOfTheFilesJudged) {
    TempDir d;
    write_file(d.file("current.las"), build_las(current_spec()));
    write_file(d.file("stale.las"), build_las(stale_spec()));
    write_file(d.file("upper.LAS"), build_las(current_spec()));
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* summary;
    } cases[] = {
        {{"current.las"}, 0, "1 files: 1 current, 0 stale, 0 fixed, 0 refused, 0 error;"},
        {{"current.las", "stale.las"}, 1, "2 files: 1 current, 1 stale, 0 fixed, 0 refused, 0 error;"},
        {{"stale.las", "upper.LAS", "current.las"}, 2, "3 files: 1 current, 1 stale, 0 fixed, 1 refused, 0 error;"},
        {{"-j", "4", "."}, 1, "2 files: 1 current, 1 stale, 0 fixed, 0 refused, 0 error;"},
        {{"--format", "xml", "."}, 2, "Usage: Vexholt-audit"},
        {{"-j", "0", "."}, 2, "Usage: Vexholt-audit"},
        {{}, 2, "Usage: Vexholt-audit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = audit(c.args, d.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.summary), std::string::npos) << r.err;
    }
    RunResult v = audit({"--version"});
    EXPECT_EQ(v.out, "Vexholt-audit 1.0.0\n");
    EXPECT_EQ(v.status, 0);
}

TEST(AuditStatus, ExtentsCompareOnTheGridUnlessExact) {
    TempDir d;
    LasSpec last_bit = current_spec(), off_grid = current_spec(), empty = current_spec();
    last_bit.stated_extents[0] = std::nextafter(last_bit.stated_extents[0], 1e9);
    off_grid.stated_extents[5] += 0.01;
    empty.points.clear();
    empty.stated_count = 0;
    // Its extents are not the start values: only an exact audit minds.
    std::fill(empty.stated_by_return, empty.stated_by_return + 5, 0u);
    write_file(d.file("a.las"), build_las(last_bit));
    write_file(d.file("b.las"), build_las(off_grid));
    write_file(d.file("c.las"), build_las(empty));
    auto statuses = [&](const std::string& extra) {
        std::vector<std::string> args = {"-q", "--format", "jsonl", "."};
        if (!extra.empty()) args.push_back(extra);
        std::string col;
        for (const nlohmann::json& j : json_lines(audit(args, d.path).out)) col += j["status"].get<std::string>() + " ";
        return col;
    };
    EXPECT_EQ(statuses(""), "current stale current ");
    EXPECT_EQ(statuses("--exact"), "stale stale stale ");
}

TEST(AuditFormats, EachFormatCarriesTheSameJudgement) {
    TempDir d;
    write_file(d.file("a.las"), build_las(stale_spec()));
    LasSpec v13 = stale_spec();
    v13.minor = 3;
    write_file(d.file("b.las"), build_las(v13));
#ifndef _WIN32
    // Windows names are UTF-16: no file there is named with an invalid byte.
    write_file(d.file("c\xff.las"), build_las(current_spec()));
#endif

    EXPECT_EQ(audit({"-q", "a.las", "b.las"}, d.path).out,
              "stale    a.las  NumberOfPointReturns 12345 \u2192 2; NumberOfPointsByReturn[1] 7 \u2192 1; "
              "NumberOfPointsByReturn[2] 7 \u2192 1; NumberOfPointsByReturn[3] 7 \u2192 0; "
              "NumberOfPointsByReturn[4] 7 \u2192 0; NumberOfPointsByReturn[5] 7 \u2192 0; "
              "MinX 2 \u2192 -0.5; MaxY 3 \u2192 2.5; MinY 4 \u2192 2; MaxZ 5 \u2192 3.1; MinZ 6 \u2192 3\n"
              "refused  b.las  Cannot handle las files of version 1.3\n");

    EXPECT_EQ(audit({"-q", "--format", "tsv", "b.las", "a\tb.las"}, d.path).out,
              "path\tstatus\tversion\tpoint_format\tstored_points\tpoints\tdifferences\treason\n"
              "b.las\trefused\t1.3\t\t\t\t\tCannot handle las files of version 1.3\n"
              "a\\tb.las\trefused\t\t\t\t\t\tUnable to open file a\\tb.las in file_access()\\n\\nFile a\\tb.las does NOT exist\n");

    std::vector<nlohmann::json> j = json_lines(audit({"-q", "--format", "jsonl", "."}, d.path).out);
#ifdef _WIN32
    ASSERT_EQ(j.size(), 2u);
#else
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(slashed(j[0]["path"]), "./a.las");
    EXPECT_FALSE(j[0].contains("path_bytes"));
    EXPECT_EQ(j[0]["stored"]["count"], 12345);
    EXPECT_EQ(j[0]["recomputed"]["by_return"], nlohmann::json::parse("[1,1,0,0,0]"));
    EXPECT_EQ(j[0]["recomputed"]["MinX"], -0.5);
    EXPECT_EQ(j[0]["differences"].size(), 11u);  // MaxX 1 is right
    EXPECT_EQ(j[1]["version"], "1.3");
    EXPECT_TRUE(j[1]["stored"].is_null());
    EXPECT_EQ(j[2]["path"], "./c\xef\xbf\xbd.las");
    EXPECT_EQ(j[2]["path_bytes"], "2e2f63ff2e6c6173");
    EXPECT_EQ(j[2]["status"], "current");
    EXPECT_EQ(j[2]["points"], 2);
#endif
}

// Paths of the report in order, and the same report whatever -j is.
std::string paths_in_order(const std::vector<std::string>& args, const std::string& cwd) {
    std::string first;
    for (const char* jobs : {"1", "4"}) {
        std::vector<std::string> a = {"-q", "--format", "jsonl", "-j", jobs};
        a.insert(a.end(), args.begin(), args.end());
        std::string paths;
        for (const nlohmann::json& j : json_lines(audit(a, cwd).out)) paths += slashed(j["path"]) + " ";
        if (first.empty()) first = paths;
        EXPECT_EQ(paths, first) << "-j " << jobs;
    }
    return first;
}

TEST(AuditWalk, DirectoriesByNameArgumentsInTheirOrder) {
    TempDir d;
    const Bytes las = build_las(current_spec());
    for (const char* dir : {"t", "t/b", "t/b/deep", "t/a.las", "other"}) fs::create_directory(d.file(dir));
    for (const char* f : {"t/z.las", "t/b/y.las", "t/b/deep/x.las", "t/a.las/w.las", "t/c.txt", "t/d.LAS",
                          "t/las", "other/o.las"})
        write_file(d.file(f), las);
    EXPECT_EQ(paths_in_order({"t", "other/o.las", "t/d.LAS"}, d.path),
              "t/a.las/w.las t/b/deep/x.las t/b/y.las t/z.las other/o.las t/d.LAS ");
#ifndef _WIN32
    // A link to a file is judged as the file; a link to a directory is not
    // entered during the walk, only when named.
    fs::create_directory_symlink("../other", d.file("t/link"));
    fs::create_symlink("z.las", d.file("t/l.las"));
    EXPECT_EQ(paths_in_order({"t", "t/link"}, d.path),
              "t/a.las/w.las t/b/deep/x.las t/b/y.las t/l.las t/z.las t/link/o.las ");
#endif
}

TEST(AuditWalk, ManyFilesComeOutInOrderWithFourJobs) {
    TempDir d;
    std::string want;
    for (int k = 0; k < 60; ++k) {
        // Sizes vary so that files finish out of order.
        LasSpec s = stale_spec();
        s.points.resize(static_cast<std::size_t>(k % 7) * 5000 + 1);
        std::string name = "f";
        name += std::to_string(100 + k) + ".las";
        write_file(d.file(name), build_las(s));
        want += "./" + name + " ";
    }
    EXPECT_EQ(paths_in_order({"."}, d.path), want);
}

TEST(AuditReadOnly, NothingChangesWithoutFixAndOnlyStaleFilesWithIt) {
    TempDir d;
    const Bytes current = build_las(current_spec()), stale = build_las(stale_spec());
    write_file(d.file("current.las"), current);
    write_file(d.file("stale.las"), stale);
    const auto then = fs::file_time_type::clock::now() - std::chrono::hours(48);
    for (const char* f : {"current.las", "stale.las"}) fs::last_write_time(d.file(f), then);
    // As the file system keeps it, to its own resolution.
    const auto past = fs::last_write_time(d.file("stale.las"));
    ASSERT_EQ(fs::last_write_time(d.file("current.las")), past);

    for (const char* fmt : {"text", "tsv", "jsonl"}) audit({"--format", fmt, "-j", "4", "."}, d.path);
    audit({"--exact", "."}, d.path);
    EXPECT_EQ(read_file(d.file("current.las")), current);
    EXPECT_EQ(read_file(d.file("stale.las")), stale);
    EXPECT_EQ(fs::last_write_time(d.file("current.las")), past);
    EXPECT_EQ(fs::last_write_time(d.file("stale.las")), past);

    RunResult r = audit({"--fix", "-q", "."}, d.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 9), "current  ");
    EXPECT_NE(slashed(r.out).find("\nfixed    ./stale.las    NumberOfPointReturns 12345 \u2192 2;"), std::string::npos) << r.out;
    EXPECT_EQ(fs::last_write_time(d.file("current.las")), past);
    EXPECT_NE(fs::last_write_time(d.file("stale.las")), past);
    EXPECT_TRUE(only_stats_changed(stale, read_file(d.file("stale.las"))));
    EXPECT_EQ(audit({"--exact", "."}, d.path).status, 0);
}

// In-process, through the file layer's counts: what is opened for writing.
TEST(AuditReadOnly, OnlyAStaleFileUnderFixIsOpenedForWriting) {
    TempDir d;
    write_file(d.file("current.las"), build_las(current_spec()));
    write_file(d.file("stale.las"), build_las(stale_spec()));
    struct Case {
        const char* name;
        bool fix;
        audit::Status status;
        unsigned long update_opens;
    } cases[] = {
        {"current.las", false, audit::Status::current, 0}, {"current.las", true, audit::Status::current, 0},
        {"stale.las", false, audit::Status::stale, 0},     {"stale.las", true, audit::Status::fixed, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.fix ? " --fix" : ""));
        lidar::clear_io_faults();
        audit::Result r = audit::judge({d.file(c.name), 0, {}}, {c.fix, false});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(lidar::io_calls(lidar::IoOp::open_update), c.update_opens);
    }
    // A read that fails is an error, not a refusal, and says which read.
    lidar::set_io_fault(lidar::IoOp::read, 3, EIO);
    audit::Result r = audit::judge({d.file("current.las"), 0, {}}, {});
    lidar::clear_io_faults();
    EXPECT_EQ(r.status, audit::Status::error);
    EXPECT_EQ(r.reason, "Cannot read the point records of " + d.file("current.las"));
}

#ifndef _WIN32
TEST(AuditReadOnly, FilesTheUserCannotWriteAreJudged) {
    TempDir d;
    fs::permissions(d.path, fs::perms::all);
    write_file(d.file("stale.las"), build_las(stale_spec()));
    fs::permissions(d.file("stale.las"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // Root writes whatever the permission bits say: run as nobody.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        dup2(pipefd[1], 1);
        execl(audit_path().c_str(), "Vexholt-audit", "-q", d.file("stale.las").c_str(), nullptr);
        _exit(98);
    }
    close(pipefd[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(pipefd[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(out.substr(0, 9), "stale    ");
}

// Standard error on a pseudo-terminal: what a person sees.
std::string terminal_stderr(const std::vector<std::string>& args, const std::string& cwd) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "openpty failed";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (chdir(cwd.c_str()) != 0) _exit(97);
        std::vector<char*> argv = {const_cast<char*>("Vexholt-audit")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        setenv("TERM", "xterm", 1);
        execv(audit_path().c_str(), argv.data());
        _exit(98);
    }
    close(slave);
    std::string seen;
    char buf[4096];
    // EIO once the child's side is closed.
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) seen.append(buf, static_cast<std::size_t>(n));
    close(master);
    waitpid(pid, nullptr, 0);
    return seen;
}

TEST(AuditProgress, LineOnATerminalIsRedrawnAndErasedBeforeTheSummary) {
    TempDir d;
    for (const char* f : {"a.las", "b.las", "c.las"}) write_file(d.file(f), build_las(stale_spec()));
    std::string seen = terminal_stderr({"-j", "4", "."}, d.path);
    EXPECT_EQ(seen.substr(0, 12), "\r0/3 files  ") << seen;
    std::size_t summary = seen.find("Vexholt-audit: 3 files: 0 current, 3 stale");
    ASSERT_NE(summary, std::string::npos) << seen;
    EXPECT_EQ(seen.substr(summary - 4, 4), "\r\x1b[K");
    EXPECT_EQ(seen.find('\r', summary), seen.size() - 2);  // the terminal's own \r\n

    EXPECT_EQ(terminal_stderr({"--quiet", "."}, d.path), "");
    // Not a terminal: a log gets the summary alone.
    RunResult r = audit({"."}, d.path);
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    EXPECT_EQ(r.err.substr(0, 23), "Vexholt-audit: 3 files:");
}
#endif

}  // namespace
