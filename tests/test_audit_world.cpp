// Vexholt-audit where others touch the delivery and the run is cut short:
// every file accounted for, nothing written outside what the walk found,
// each file judged once, the report true to the last line. Races are staged
// at chosen calls (the file layer's seam, the judging hook), not by timing.
#include "sanitized.h"
#include "audit.h"
#include "expect.h"
#include "io_fault.h"
#include "reference.h"
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lastest;
namespace fs = std::filesystem;

namespace {

// Stale, not short: it claims fewer points than it holds.
Bytes stale_tile() {
    LasRecipe s;
    s.points = {{100, 200, 300, 1}, {-50, 250, 310, 2}};
    s.stated_count = 1;
    return build_las(s);
}
const Bytes kStale = stale_tile();
const Bytes kCurrent = *reference_update(kStale);

// "path status" per line of a JSON Lines report, paths relative to base.
std::string statuses(const std::string& out, const std::string& base = "") {
    std::string s;
    for (std::size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
        nlohmann::json j = nlohmann::json::parse(out.substr(at, nl - at));
        if (j.contains("type")) continue;  // the delivery's summary
        std::string p = j["path"];
        if (!base.empty() && p.compare(0, base.size() + 1, base + "/") == 0) p.erase(0, base.size() + 1);
        s += p + " " + j["status"].get<std::string>();
        if (j["status"] == "error") s += ": " + j["reason"].get<std::string>();
        s += "\n";
    }
    return s;
}

// The audit in a child process, after prepare (which drops privileges,
// redirects output or sets limits; non-zero: give up with that status).
// 77: it could not be started.
RunResult audit_in_child(const std::vector<std::string>& args, const std::function<int()>& prepare) {
    return run_forked([&] {
        if (const int failed = prepare()) return failed;
        std::vector<char*> argv = {const_cast<char*>("Vexholt-audit")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(audit_path().c_str(), argv.data());
        return errno == EACCES ? 77 : 98;
    });
}

// Permission bits bind only those who are not root: run as nobody.
int as_nobody() { return geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0) ? 99 : 0; }

TEST(AuditAccounts, WhatTheWalkCannotExamineIsAnErrorLine) {
    TempDir d;
    fs::permissions(d.path, fs::perms::all);
    const std::string t = d.file("t");
    fs::create_directories(t + "/dark");
    write_file(t + "/ok.las", kCurrent);
    write_file(t + "/.las", kStale);  // named by nothing but the extension: judged
    write_file(t + "/dark/x.las", kCurrent);
    fs::create_symlink("nowhere.las", t + "/dangling.las");
    fs::create_symlink("loop.las", t + "/loop.las");
    fs::permissions(t + "/dark", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    RunResult r = audit_in_child({"-q", "--format", "jsonl", t}, as_nobody);
    if (r.status == 77) GTEST_SKIP() << "user nobody cannot reach " << audit_path();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(statuses(r.out, t),
              ".las stale\n"
              "dangling.las error: Cannot follow the link " + t + "/dangling.las: No such file or directory\n"
              "dark/x.las error: Cannot examine " + t + "/dark/x.las: Permission denied\n"
              "loop.las error: Cannot follow the link " + t + "/loop.las: Too many levels of symbolic links\n"
              "ok.las current\n");
}

TEST(AuditAccounts, AChainDeeperThanAPathCanBeIsWalkedToTheBottom) {
    TempDir d;
    // mkdir -p through descriptors: 5,000 bytes of path, longer than the
    // system takes whole, and far more folders than the walk keeps open.
    const int depth = 2500;
    int fd = open(d.path.c_str(), O_RDONLY | O_DIRECTORY);
    for (int k = 0; k < depth; ++k) {
        mkdirat(fd, "d", 0755);
        const int sub = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = sub;
    }
    const int f = openat(fd, "deep.las", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(write(f, kStale.data(), kStale.size()), static_cast<ssize_t>(kStale.size()));
    close(f);
    close(fd);
    RunResult r = run(audit_path(), {"-q", "--fix", "--profile", "stats", "--format", "jsonl", "."}, d.path, true);
    std::string want = ".";
    for (int k = 0; k < depth; ++k) want += "/d";
    EXPECT_EQ(statuses(r.out), want + "/deep.las fixed\n");
    EXPECT_EQ(r.status, 0) << r.err;
    // rm walks by descriptors too, where remove_all would stop at PATH_MAX.
    EXPECT_EQ(std::system(("rm -rf '" + d.path + "/d'").c_str()), 0);
}

TEST(AuditAccounts, EachFileAndDirectoryIsJudgedOnce) {
    // A quiet read-only run tells files apart by their opens, a fix by the
    // walk's look at each: the same report either way.
    for (bool fix : {true, false}) {
        TempDir d;
        fs::create_directories(d.file("t/sub"));
        write_file(d.file("t/a.las"), kStale);
        fs::create_hard_link(d.file("t/a.las"), d.file("t/sub/hard.las"));
        std::vector<std::string> args = {"-q", "--profile", "stats", "--format", "jsonl", "t", "t/a.las", "t/sub", "./t"};
        if (fix) args.insert(args.begin(), "--fix");
        RunResult r = run(audit_path(), args, d.path);
        EXPECT_EQ(statuses(r.out), std::string(fix ? "t/a.las fixed" : "t/a.las stale") +
                                       "\nt/sub/hard.las repeated\nt/a.las repeated\nt/sub repeated\n./t repeated\n");
        EXPECT_EQ(r.status, fix ? 0 : 1);
        EXPECT_EQ(read_file(d.file("t/a.las")), fix ? kCurrent : kStale);
    }
}

// The judging core in-process: what a fix may write once the walk is done.
audit::Result judge_fix(const audit::Entry& e) {
    audit::Judging how;
    how.fix = true;
    return audit::judge(e, how);
}

TEST(AuditFixes, OnlyWhatTheWalkFoundIsWritten) {
    TempDir d;
    fs::create_directories(d.file("t"));
    fs::create_directories(d.file("outside"));
    write_file(d.file("t/x.las"), kStale);
    write_file(d.file("outside/x.las"), kStale);
    write_file(d.file("outside/target.las"), kStale);
    fs::create_symlink("../outside/target.las", d.file("t/link.las"));

    // The tree swapped for a link to another after the walk: the fix still
    // reaches only the file the walk found, wherever it now is.
    std::vector<audit::Entry> found = audit::collect({d.file("t")});
    ASSERT_EQ(found.size(), 2u);
    fs::rename(d.file("t"), d.file("t.moved"));
    fs::create_directory_symlink("outside", d.file("t"));
    EXPECT_EQ(judge_fix(found[1]).status, audit::Status::fixed);
    EXPECT_EQ(read_file(d.file("t.moved/x.las")), kCurrent);
    EXPECT_EQ(read_file(d.file("outside/x.las")), kStale);

    // A link met by the walk is judged but not written through ...
    audit::Result r = judge_fix(found[0]);
    EXPECT_EQ(r.status, audit::Status::stale);
    EXPECT_NE(r.reason.find("symbolic link"), std::string::npos) << r.reason;
    EXPECT_EQ(read_file(d.file("outside/target.las")), kStale);
    // ... unless the user names it.
    EXPECT_EQ(judge_fix(audit::collect({d.file("t.moved/link.las")}).at(0)).status, audit::Status::fixed);
    EXPECT_EQ(read_file(d.file("outside/target.las")), kCurrent);
}

TEST(AuditFixes, AFixedLineShowsWhatWasWritten) {
    TempDir d;
    const std::string f = d.file("x.las");
    write_file(f, kStale);
    // A record arrives between the judging and the fix.
    lidar::set_io_hook(lidar::IoOp::open_update, 1, [&] {
        Bytes grown = kStale;
        grown.resize(grown.size() + 28, 0);
        write_file(f, grown);
    });
    audit::Result r = judge_fix(audit::collect({f}).at(0));
    lidar::clear_io_faults();
    EXPECT_EQ(r.status, audit::Status::fixed);
    EXPECT_EQ(r.recomputed.legacy_count, 3u);
    EXPECT_NE(audit::report_line(r, audit::Format::text, 0).find("  fixed    " + f + "  NumberOfPointReturns 1 \u2192 3;"),
              std::string::npos);
}

// A file without points may have its extended VLRs (as laspy writes it) or
// its waveform packets start where points would: none of it is a point,
// and the fix leaves such a file as it is.
TEST(AuditFixes, WhatStartsWherePointsWouldIsNoPoint) {
    const struct {
        const char* what;
        std::uint8_t minor, format;
        std::size_t header_size, evlr_after, waveform_after;
    } cases[] = {{"extended VLRs", 4, 6, 375, 450, 0}, {"waveform packets", 3, 4, 235, 0, 450}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir d;
        LasRecipe s;
        s.minor = c.minor;
        s.format = c.format;
        s.header_size = c.header_size;
        s.evlr_after = c.evlr_after;
        s.waveform_after = c.waveform_after;
        s.global_encoding = c.waveform_after ? 2 : 0;
        s.stated_count = s.stated_count64 = 0;
        std::fill(std::begin(s.stated_by_return), std::end(s.stated_by_return), 0u);
        std::fill(std::begin(s.stated_extents), std::end(s.stated_extents), 0.0);
        Bytes b = build_las(s);
        if (c.minor >= 4) std::fill(b.begin() + 255, b.begin() + 375, 0);  // the 64-bit counts by return
        write_file(d.file("x.las"), b);
        const audit::Result r = judge_fix(audit::collect({d.file("x.las")}).at(0));
        EXPECT_EQ(r.points, 0u);
        EXPECT_EQ(r.status, audit::Status::current);
        EXPECT_EQ(read_file(d.file("x.las")), b);
    }
}

TEST(AuditErrors, TheSystemsRefusalIsAnErrorWithItsReason) {
    TempDir d;
    const std::string f = d.file("x.las");
    const struct {
        lidar::IoOp op;
        int error;
        audit::Status status;
        std::string reason;
    } cases[] = {
        {lidar::IoOp::open_read, EACCES, audit::Status::error, "Cannot open " + f + ": Permission denied"},
        {lidar::IoOp::open_read, EMFILE, audit::Status::error, "Cannot open " + f + ": Too many open files"},
        {lidar::IoOp::open_read, ENFILE, audit::Status::error, "Cannot open " + f + ": Too many open files in system"},
        {lidar::IoOp::open_read, EWOULDBLOCK, audit::Status::error,
         "Cannot open " + f + ": Resource temporarily unavailable"},
        {lidar::IoOp::open_update, EACCES, audit::Status::error, "Cannot open " + f + ": Permission denied"},
        // Gone: refused, in the system's words too.
        {lidar::IoOp::open_read, ENOENT, audit::Status::refused, "Cannot open " + f + ": No such file or directory"},
        {lidar::IoOp::read, EIO, audit::Status::error,
         f + " is too short or unreadable to be a valid .las file: Input/output error"},
        {lidar::IoOp::write, ENOSPC, audit::Status::error,
         "Cannot write the header of " + f + ": No space left on device"},
        {lidar::IoOp::sync, EIO, audit::Status::error, "Cannot write the header of " + f + ": Input/output error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        write_file(f, kStale);
        lidar::set_io_fault(c.op, 1, c.error);
        audit::Result r = judge_fix(audit::collect({f}).at(0));
        lidar::clear_io_faults();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.reason, c.reason);
    }
    // A pipe switched in before the open is refused at once, never waited on.
    lidar::set_io_hook(lidar::IoOp::open_read, 1, [&] {
        fs::remove(f);
        ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
    });
    write_file(f, kStale);
    audit::Result r = judge_fix(audit::collect({f}).at(0));
    lidar::clear_io_faults();
    EXPECT_EQ(r.status, audit::Status::refused);
    EXPECT_EQ(r.reason, f + " is too short or unreadable to be a valid .las file");
}

// A tile the walk found is opened once, without following a link, and read
// whole in one read; what is switched in after the walk is refused as it
// always was, a pipe at once.
TEST(AuditOneOpen, ATileIsOneReadAndWhatIsSwitchedInIsRefused) {
    TempDir d;
    fs::create_directory(d.file("t"));
    const std::string f = d.file("t/x.las"), other = d.file("other.las");
    write_file(f, kCurrent);
    write_file(other, kCurrent);
    for (bool headers_only : {false, true}) {
        audit::Judging how;
        how.headers_only = headers_only;
        lidar::clear_io_faults();
        EXPECT_EQ(audit::judge(audit::collect({d.file("t")}).at(0), how).status,
                  headers_only ? audit::Status::unchecked : audit::Status::current);
        EXPECT_EQ(lidar::io_calls(lidar::IoOp::read), 1u) << "headers only: " << headers_only;
    }
    const std::string changed = "Cannot update the header of " + f + ": the file changed while it was being read";
    const struct {
        const char* what;
        std::function<void()> swap;
        audit::Status status;
        std::string reason;
    } cases[] = {
        {"pipe", [&] { fs::remove(f); ASSERT_EQ(mkfifo(f.c_str(), 0600), 0); }, audit::Status::refused,
         f + " is too short or unreadable to be a valid .las file"},
        {"link to another tile", [&] { fs::remove(f); fs::create_symlink(other, f); }, audit::Status::error, changed},
        {"another tile renamed over it", [&] { fs::rename(other, f); }, audit::Status::error, changed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(f);
        write_file(f, kCurrent);
        write_file(other, kCurrent);
        const audit::Entry e = audit::collect({d.file("t")}).at(0);
        lidar::set_io_hook(lidar::IoOp::open_read, 1, c.swap);
        audit::Result r = audit::judge(e, {});
        lidar::clear_io_faults();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.reason, c.reason);
    }
}

TEST(AuditReport, NoNameOrReasonCanForgeALine) {
    audit::Result r;
    r.status = audit::Status::refused;
    const struct {
        std::string path, text, tsv;
    } cases[] = {
        {"a\x1b.las", "a\\x1b.las", "a\\x1b.las"},  // ESC and DEL
        {"a\x7f.las", "a\\x7f.las", "a\\x7f.las"},
        {"a\xc2\x85z.las", "a\\u0085z.las", "a\\u0085z.las"},  // NEL, a C1 control
        {"a\xe2\x80\xa8z.las", "a\\u2028z.las", "a\\u2028z.las"},
        {"a\xe2\x80\xa9z.las", "a\\u2029z.las", "a\\u2029z.las"},
        {"a\\x0az.las", "a\\\\x0az.las", "a\\\\x0az.las"},  // a backslash, not an escape
        {"a\xff.las", "a\\xff.las", "a\\xff.las"},           // not UTF-8: told apart from a\xfe.las
        {"\xc3\xa9t\xc3\xa9.las", "\xc3\xa9t\xc3\xa9.las", "\xc3\xa9t\xc3\xa9.las"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        r.path = c.path;
        r.reason = "";
        EXPECT_EQ(audit::report_line(r, audit::Format::text, 0), "fail  refused  " + c.text + "  \n");
        EXPECT_EQ(audit::report_line(r, audit::Format::tsv, 0), c.tsv + "\trefused\tfail\t\t\t\t\t\t\t\n");
    }
    // A line break in a name stays visible; the reason's own become spaces.
    r.path = "x\ny.las";
    r.reason = "Unable to open file x\ny.las in file_access()\n\nFile x\ny.las does NOT exist";
    EXPECT_EQ(audit::report_line(r, audit::Format::text, 0),
              "fail  refused  x\\ny.las  Unable to open file x\\ny.las in file_access() File x\\ny.las does NOT exist\n");

    // NaN and infinite extents are not null, which means "does not apply".
    r.status = audit::Status::current;
    r.path = "n.las";
    r.reason.clear();
    r.header_read = true;
    r.stored.extent[0] = std::nan("");
    r.stored.extent[1] = -INFINITY;
    r.stored.extent[2] = INFINITY;
    nlohmann::json j = nlohmann::json::parse(audit::report_line(r, audit::Format::jsonl, 0));
    EXPECT_EQ(j["stored"]["MaxX"], "NaN");
    EXPECT_EQ(j["stored"]["MinX"], "-Infinity");
    EXPECT_EQ(j["stored"]["MaxY"], "Infinity");
    EXPECT_EQ(j["stored"]["MinY"], 0.0);
    EXPECT_TRUE(j["recomputed"].is_null());
}

// Many stale tiles, for runs that are cut short.
std::string stale_tiles(const TempDir& d, int n) {
    fs::create_directory(d.file("t"));
    for (int k = 0; k < n; ++k) write_file(d.file("t/f" + std::to_string(100 + k) + ".las"), kStale);
    return d.file("t");
}
int fixed_on_disk(const std::string& dir) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += read_file(e.path().string()) == kCurrent;
    return n;
}

// audit::run in a child process on t, jobs threads, quiet, with before
// called as each file's judging starts; the child exits with what it
// returns, or with what exit makes of that.
RunResult run_in_child(const std::string& t, unsigned jobs, bool fix,
                       const std::function<void(const audit::Entry&)>& before,
                       const std::function<int(int)>& exit = [](int status) { return status; }) {
    return run_forked([&] {
        audit::Options o;
        o.jobs = jobs;
        o.how.fix = fix;
        o.format = audit::Format::jsonl;
        o.quiet = true;
        o.paths = {t};
        o.how.before_judging = before;
        return exit(audit::run(o));
    });
}

TEST(AuditCutShort, ASignalFinishesTheFilesUnderWayAndReportsThem) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TempDir d;
        const std::string t = stale_tiles(d, 10);
        int n = 0;
        RunResult r = run_in_child(t, 1, true, [&](const audit::Entry&) {
            if (++n == 3) raise(sig);
        });
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(statuses(r.out, t), "f100.las fixed\nf101.las fixed\nf102.las fixed\n");
        EXPECT_EQ(fixed_on_disk(t), 3);
    }
}

TEST(AuditCutShort, AReportThatCannotBeWrittenStopsTheFixing) {
    TempDir d;
    const std::string t = stale_tiles(d, 60);
    RunResult r = audit_in_child({"-q", "-j", "1", "--fix", t}, [] {
        int p[2];
        if (pipe(p) != 0) return 3;
        close(p[0]);  // nobody reads: the first write fails
        dup2(p[1], 1);
        dup2(p[1], 2);
        return 0;
    });
    EXPECT_EQ(r.status, 2);
    // The first result, and at most the window of results judged ahead.
    EXPECT_LE(fixed_on_disk(t), 21);
}

// Where the report goes when it fails after its first line: what reached
// the reader, in `seen`. The reader takes one line, stops the audit, takes
// what was written meanwhile and goes away; the audit's next line fails.
int reader_gone_after_one_line(const std::string& seen) {
    int p[2];
    if (pipe(p) != 0) return 3;
    // A page: the audit cannot run far ahead of the reader.
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    const pid_t audit = getpid();
    if (fork() == 0) {
        close(p[1]);
        std::string got;
        char c = 0;
        while (read(p[0], &c, 1) == 1 && (got += c, c != '\n')) {
        }
        kill(audit, SIGSTOP);
        for (int k = 0; k < 5000; ++k) {  // until it has stopped
            std::ifstream stat("/proc/" + std::to_string(audit) + "/stat");
            std::string state((std::istreambuf_iterator<char>(stat)), {});
            if (state.find(") T ") != std::string::npos) break;
            usleep(1000);
        }
        fcntl(p[0], F_SETFL, O_NONBLOCK);
        char buf[4096];
        for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
        write_file(seen, Bytes(got.begin(), got.end()));
        close(p[0]);
        kill(audit, SIGCONT);
        _exit(0);
    }
    close(p[0]);
    return dup2(p[1], 1) == 1 && close(p[1]) == 0 ? 0 : 3;
}

// A report that cannot be written stops the fixing before another file is
// touched: each file changed is fixed in what was written, or named on
// standard error, and no line or page is left cut.
TEST(AuditCutShort, EveryFileChangedIsReportedWhereverTheReportFails) {
    const Bytes& stale = kStale;
    const struct {
        const char* what;
        std::function<int(const std::string&)> prepare;  // given the file that receives the report, if any
    } cases[] = {
        {"a full disk", [](const std::string&) { return dup2(open("/dev/full", O_WRONLY), 1) == 1 ? 0 : 3; }},
        {"standard output closed", [](const std::string&) { return close(1); }},
        {"a reader gone after one line", reader_gone_after_one_line},
        {"a file-size limit",
         [](const std::string& out) {
             const rlimit lim{4000, 4000};  // two or three lines
             return dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1) == 1 && setrlimit(RLIMIT_FSIZE, &lim) == 0
                        ? 0 : 3;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir d;
        fs::create_directory(d.file("t"));
        for (int k = 0; k < 40; ++k) write_file(d.file("t/f" + std::to_string(100 + k) + ".las"), stale);
        const std::string out = d.file("out"), html = d.file("r.html");
        write_file(out, {});
        const Bytes old = {'o', 'l', 'd'};
        write_file(html, old);
        const RunResult r = audit_in_child({"-q", "-j", "2", "--format", "jsonl", "--fix", "--report", html, d.file("t")}, [&] {
            dup2(1, 2);  // standard error, to be read
            return c.prepare(out);
        });
        EXPECT_EQ(r.status, 2) << r.out;
        const Bytes written = read_file(out);
        const std::string report(written.begin(), written.end());
        EXPECT_TRUE(report.empty() || report.back() == '\n') << report;
        std::set<std::string> changed, told;
        for (const auto& e : fs::directory_iterator(d.file("t")))
            if (read_file(e.path().string()) != stale) changed.insert(e.path().string());
        for (const std::string& line : {statuses(report), r.out}) {
            std::istringstream lines(line);
            for (std::string l; std::getline(lines, l);) {
                const std::string named = "Vexholt-audit: fixed, but its line is not in the report: ";
                if (l.size() > 6 && l.compare(l.size() - 6, 6, " fixed") == 0) told.insert(l.substr(0, l.size() - 6));
                if (l.compare(0, named.size(), named) == 0) {
                    EXPECT_TRUE(told.insert(l.substr(named.size())).second) << l;
                }
            }
        }
        EXPECT_EQ(changed, told) << r.out;
        const Bytes page = read_file(html);
        const std::string end = "</html>\n";
        EXPECT_TRUE(page == old || (page.size() > end.size() && std::equal(end.begin(), end.end(), page.end() - static_cast<long>(end.size()))));
        EXPECT_EQ(std::distance(fs::directory_iterator(d.path), fs::directory_iterator()), 3);  // t, out, r.html
    }
}

#if !LASTEST_SANITIZED
// Sanitizers reserve address space up front and abort on a failed allocation.
TEST(AuditCutShort, ThreadsThatCannotStartFixNothing) {
    TempDir d;
    const std::string t = stale_tiles(d, 8);
    RunResult r = audit_in_child({"-q", "-j", "4096", "--fix", t}, [] {
        dup2(1, 2);
        const rlimit lim{600u << 20, 600u << 20};  // a 8 MiB stack each: far fewer than 4096
        return setrlimit(RLIMIT_AS, &lim) != 0 ? 4 : 0;
    });
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(0, 36), "Vexholt-audit: cannot start 4097 thr") << r.out;
    EXPECT_EQ(fixed_on_disk(t), 0);
}
#endif

TEST(AuditThreads, JobsRunAtOnce) {
    TempDir d;
    const std::string t = stale_tiles(d, 4);
    for (unsigned jobs : {1u, 2u}) {
        std::mutex m;
        std::condition_variable cv;
        int inside = 0, most = 0;
        // Each judging waits, briefly, for a second to be under way; the
        // child reports how many were at once in its exit status.
        RunResult r = run_in_child(
            t, jobs, false,
            [&](const audit::Entry&) {
                std::unique_lock lock(m);
                most = std::max(most, ++inside);
                cv.notify_all();
                cv.wait_for(lock, std::chrono::seconds(jobs == 1 ? 0 : 10), [&] { return most >= 2; });
                --inside;
            },
            [&](int) { return most; });
        EXPECT_EQ(r.status, static_cast<int>(jobs));
    }
}

TEST(AuditThreads, ASlowFileHoldsBackTheOthersAWindowAhead) {
    // The first file's judging waits while the other worker goes on: that
    // one must stop 256 results ahead of the report (a read-only run's
    // window), not run on to the end of the delivery, nor stop short.
    TempDir d;
    const std::string t = stale_tiles(d, 400);
    std::mutex m;
    std::condition_variable cv;
    int started = 0, while_held = 0;
    RunResult r = run_in_child(
        t, 2, false,
        [&](const audit::Entry& e) {
            std::unique_lock lock(m);
            ++started;
            cv.notify_all();
            if (e.path != t + "/f100.las") return;
            // Until no file has started for two seconds.
            for (int seen = -1; seen != started;) {
                seen = started;
                cv.wait_for(lock, std::chrono::seconds(2), [&] { return started != seen; });
            }
            while_held = started;
        },
        [&](int) { return while_held - 200; });  // an exit status stops at 255
    EXPECT_EQ(r.status, 256 - 200);
}

TEST(AuditAccounts, ANameChangedBetweenListingAndOpeningIsReportedAsTheWalkFindsIt) {
    // The read-only walk takes a name its directory lists as a regular file
    // on the directory's word; what the open then finds must be reported as
    // a walk that looked would have reported it.
    const std::vector<std::pair<std::function<void(const std::string&)>, std::string>> cases = {
        {[](const std::string& x) { fs::remove(x); }, ""},
        {[](const std::string& x) { fs::remove(x), fs::create_directory(x); }, ""},
        {[](const std::string& x) { fs::remove(x), mkfifo(x.c_str(), 0644); }, ""},
        {[](const std::string& x) { fs::remove(x), fs::create_symlink("b.las", x); }, "x.las repeated\n"},
        {[](const std::string& x) { fs::remove(x), fs::create_symlink("none.las", x); },
         "x.las error: Cannot follow the link {t}/x.las: No such file or directory\n"},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        SCOPED_TRACE(k);
        TempDir d;
        const std::string t = d.file("t");
        fs::create_directory(t);
        write_file(t + "/b.las", kCurrent);
        write_file(t + "/x.las", kStale);
        RunResult r = run_in_child(t, 1, false, [&](const audit::Entry& e) {
            if (e.path == t + "/x.las") cases[k].first(e.path);
        });
        std::string want = "b.las current\n" + cases[k].second;
        if (const std::size_t at = want.find("{t}"); at != std::string::npos) want.replace(at, 3, t);
        EXPECT_EQ(statuses(r.out, t), want);
    }
}

}  // namespace
