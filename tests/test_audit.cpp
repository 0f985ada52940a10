// Vexholt-audit as a user runs it: statuses, exit statuses, the three
// formats, the walk and its order, read-only judging and the progress line.
#include "audit.h"
#include "progress.h"
#include "expect.h"
#include "io_fault.h"
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
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

// Two points, returns 1 and 2, on a 0.01 grid, every statistic as Vexholt
// writes it; stale_file only claims one point too few (one too many would
// be a short file).
LasRecipe current_las() {
    LasRecipe s;
    s.points = {{100, 200, 300, 1}, {-50, 250, 310, 2}};
    s.stated_count = 2;
    const std::uint32_t by_return[5] = {1, 1, 0, 0, 0};
    const double extents[6] = {world(100, 0.01, 0), world(-50, 0.01, 0), world(250, 0.01, 0),
                               world(200, 0.01, 0), world(310, 0.01, 0), world(300, 0.01, 0)};
    std::copy(by_return, by_return + 5, s.stated_by_return);
    std::copy(extents, extents + 6, s.stated_extents);
    return s;
}
Bytes current_file() { return build_las(current_las()); }
Bytes stale_file() {
    LasRecipe s = current_las();
    s.stated_count = 1;
    return build_las(s);
}

// A report without its findings: the continuation lines of text, the last
// column of TSV. What the statistics say, compared exactly.
std::string without_findings(const std::string& out) {
    std::string s;
    for (std::size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = out.substr(at, nl - at);
        if (line.starts_with("         ")) continue;
        if (line.find('\t') != std::string::npos) line.erase(line.rfind('\t'));
        s += line + "\n";
    }
    return s;
}

std::vector<nlohmann::json> json_lines(const std::string& out) {
    std::vector<nlohmann::json> v;
    // The files' lines: the delivery's summary comes last.
    for (std::size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
        nlohmann::json j = nlohmann::json::parse(out.substr(at, nl - at));
        if (!j.contains("type")) v.push_back(std::move(j));
    }
    return v;
}

// "path status" of each file of a JSON Lines report, in its order.
std::string judged(std::vector<std::string> args, const std::string& cwd) {
    args.insert(args.begin(), {"-q", "--format", "jsonl"});
    std::string s;
    for (const nlohmann::json& j : json_lines(audit(args, cwd).out))
        s += slashed(j["path"]) + " " + j["status"].get<std::string>() + "\n";
    return s;
}

// The one file of a JSON Lines report, and the exit status.
std::pair<nlohmann::json, int> judged_one(std::vector<std::string> args, const std::string& cwd) {
    args.insert(args.begin(), {"-q", "--format", "json"});
    RunResult r = audit(args, cwd);
    std::vector<nlohmann::json> j = json_lines(r.out);
    return {j.size() == 1 ? j[0] : nlohmann::json(), r.status};
}

TEST(AuditStatus, ExitStatusIsTheHighestOfTheFilesJudged) {
    TempDir d;
    write_file(d.file("current.las"), current_file());
    write_file(d.file("stale.las"), stale_file());
    write_file(d.file("upper.LAS"), current_file());
    fs::create_directory(d.file("empty"));
    write_file(d.file("empty/notes.txt"), current_file());
    const struct {
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        // Nothing found is no pass, unless a pipeline says it may be.
        {{"empty"}, 2, "Vexholt-audit: no LAS file found: nothing was judged\nVexholt-audit: 0 files:"},
        {{"--allow-empty", "empty"}, 0, "Vexholt-audit: 0 files:"},
        {{"--bogus", "."}, 2, "Vexholt-audit: unknown option --bogus\nUsage:"},
        // Current, yet without a coordinate system its LAS version asks for.
        {{"current.las"}, 1, "1 file: 1 current, 0 stale, 0 fixed, 0 refused, 0 error;"},
        {{"--profile", "stats", "current.las"}, 0, "1 file: 1 current, 0 stale, 0 fixed, 0 refused, 0 error;"},
        {{"-j", "4", "--profile", "stats", "."}, 1, "3 files: 2 current, 1 stale, 0 fixed, 0 refused, 0 error;"},
        {{"stale.las", "empty/notes.txt"}, 2, "2 files: 0 current, 1 stale, 0 fixed, 1 refused, 0 error;"},
        {{"--format", "xml", "."}, 2, "Usage: Vexholt-audit"},
        {{"-j", "0", "."}, 2, "Usage: Vexholt-audit"},
        {{}, 2, "Usage: Vexholt-audit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = audit(c.args, d.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(audit({"--version"}).out, "Vexholt-audit 1.0.0\n");
}

// The contract itself, not only the clamped maximum main makes of it.
TEST(AuditStatus, TheVerdictAndWhetherJudgedMakeTheExitStatus) {
    struct Case {
        audit::Status status;
        audit::Verdict verdict;
        int want;
    } cases[] = {{audit::Status::current, audit::Verdict::pass, 0}, {audit::Status::fixed, audit::Verdict::pass, 0},
                 {audit::Status::current, audit::Verdict::fail, 1}, {audit::Status::stale, audit::Verdict::fail, 1},
                 {audit::Status::short_, audit::Verdict::fail, 1},  {audit::Status::repeated, audit::Verdict::none, 0},
                 {audit::Status::refused, audit::Verdict::fail, 2}, {audit::Status::error, audit::Verdict::fail, 2}};
    for (const Case& c : cases) {
        audit::Result r;
        r.status = c.status;
        r.verdict = c.verdict;
        EXPECT_EQ(audit::exit_status_of(r), c.want) << audit::status_name(c.status);
    }
}

TEST(AuditStatus, ExtentsCompareOnTheGridUnlessExact) {
    TempDir d;
    LasRecipe last_bit = current_las(), off_grid = current_las(), empty = current_las();
    last_bit.stated_extents[0] = std::nextafter(last_bit.stated_extents[0], 1e9);
    off_grid.stated_extents[5] += 0.01;
    // Counts right, extents not the start values Vexholt would write.
    empty.points.clear();
    empty.stated_count = 0;
    std::fill(empty.stated_by_return, empty.stated_by_return + 5, 0u);
    // An offset of a quarter step: adding it where it is taken away lands
    // on a half step, where the last bit decides the grid point. Binary
    // fractions keep every sum exact.
    LasRecipe shifted = current_las();
    shifted.scale[0] = 0.5;
    shifted.offset[0] = 100.125;
    shifted.stated_extents[0] = world(100, 0.5, 100.125);
    shifted.stated_extents[1] = world(-50, 0.5, 100.125);
    LasRecipe shifted_last_bit = shifted, shifted_step = shifted;
    shifted_last_bit.stated_extents[0] = std::nextafter(shifted.stated_extents[0], -1e9);
    shifted_step.stated_extents[0] = world(101, 0.5, 100.125);
    write_file(d.file("a.las"), build_las(last_bit));
    write_file(d.file("b.las"), build_las(off_grid));
    write_file(d.file("c.las"), build_las(empty));
    write_file(d.file("d.las"), build_las(shifted_last_bit));
    write_file(d.file("e.las"), build_las(shifted_step));
    EXPECT_EQ(judged({"."}, d.path),
              "./a.las current\n./b.las stale\n./c.las current\n./d.las current\n./e.las stale\n");
    EXPECT_EQ(judged({"--exact", "."}, d.path),
              "./a.las stale\n./b.las stale\n./c.las stale\n./d.las stale\n./e.las stale\n");
    // Stale for those who want Vexholt's bits, yet no fault: the last bit
    // either way is noise.
    for (const char* name : {"a.las", "d.las"})
        EXPECT_EQ(judged_one({"--exact", "--profile", "stats", name}, d.path).first["verdict"], "pass") << name;
}

// Cut short as transfers cut files: never made to look whole, unless the
// lost points are accepted by name.
TEST(AuditVerdict, ShortFilesAreFoundAndLeftAsTheyAreUnlessTheLossIsAccepted) {
    const struct {
        const char* name;
        std::uint32_t claimed;
        std::size_t kept, trailing;
    } cases[] = {{"half.las", 4, 2, 0}, {"one.las", 3, 2, 0}, {"fragment.las", 1, 0, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        LasRecipe s = current_las();
        s.points.resize(c.kept);
        s.stated_count = c.claimed;
        s.trailing = c.trailing;
        const Bytes bytes = build_las(s);
        write_file(d.file(c.name), bytes);
        for (const char* mode : {"--exact", "--headers-only", "--fix"}) {
            auto [j, status] = judged_one({"--profile", "stats", mode, c.name}, d.path);
            EXPECT_EQ(j["status"], "short") << mode;
            EXPECT_EQ(j["verdict"], "fail") << mode;
            EXPECT_EQ(status, 1) << mode;
            EXPECT_EQ(read_file(d.file(c.name)), bytes) << mode;
        }
        auto [j, status] = judged_one({"--profile", "stats", "--fix", "--accept-lost-points", c.name}, d.path);
        EXPECT_EQ(j["status"], "fixed");
        EXPECT_EQ(status, 0);
        EXPECT_NE(j["reason"].get<std::string>().find("the point count lowered from " + std::to_string(c.claimed) +
                                                      " to " + std::to_string(c.kept) + ": the lost points accepted"),
                  std::string::npos) << j["reason"];
        EXPECT_EQ(get_u32(read_file(d.file(c.name)), 107), c.kept);
    }
}

// Containment apart from tightness: a box that leaves points out fails
// however close, with how far and how many; last-bit noise is no fault.
TEST(AuditVerdict, PointsOutsideTheBoxFailWithHowFarAndHowMany) {
    TempDir d;
    LasRecipe coarse = current_las(), third = current_las(), noise = current_las();
    // A whole unit per step: a box short of every point by 0.47 of one
    // lies on the same grid point as the points.
    coarse.scale[0] = 1;
    for (Point& p : coarse.points) p.x = 1000;
    coarse.stated_extents[0] = 999.53125;
    coarse.stated_extents[1] = 1000;
    // Two of four points a third of a step above MaxY.
    third.points = {{100, 250, 300, 1}, {-50, 250, 310, 2}, {0, 200, 300, 1}, {0, 210, 300, 1}};
    third.stated_count = 4;
    third.stated_by_return[0] = 3;
    third.stated_extents[2] = world(250, 0.01, 0) - 0.0033;
    noise.stated_extents[0] = std::nextafter(noise.stated_extents[0], -1e9);
    write_file(d.file("coarse.las"), build_las(coarse));
    write_file(d.file("third.las"), build_las(third));
    write_file(d.file("noise.las"), build_las(noise));
    auto outside = [&](const char* name, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"--profile", "las"});
        args.push_back(name);
        auto [j, status] = judged_one(args, d.path);
        std::string found;
        for (const nlohmann::json& f : j["findings"])
            if (f["rule"] == "points.outside-box") found = f["actual"];
        return std::pair{found, j["status"].get<std::string>()};
    };
    EXPECT_EQ(outside("coarse.las"), std::pair(std::string("2 points outside; 0.46875 above MaxX 999.53125"), std::string("stale")));
    const auto [found, status] = outside("third.las");
    EXPECT_TRUE(found.starts_with("2 points outside; 0.003") && found.ends_with(" above MaxY 2.4967")) << found;
    EXPECT_EQ(status, "stale");
    EXPECT_EQ(outside("noise.las"), std::pair(std::string(), std::string("current")));
    EXPECT_EQ(outside("noise.las", {"--exact"}), std::pair(std::string(), std::string("stale")));
    // What --fix writes holds every point.
    EXPECT_EQ(outside("coarse.las", {"--fix"}), std::pair(std::string(), std::string("fixed")));
    EXPECT_EQ(outside("coarse.las"), std::pair(std::string(), std::string("current")));
}

TEST(AuditFormats, EachFormatCarriesTheSameJudgement) {
    TempDir d;
    write_file(d.file("a.las"), stale_file());
    LasRecipe v13 = current_las();
    v13.minor = 3;
    write_file(d.file("b.las"), build_las(v13));

    EXPECT_EQ(without_findings(audit({"-q", "a.las", "b.las", "a\tb.las"}, d.path).out),
              "fail  stale    a.las     NumberOfPointReturns 1 \u2192 2\n"
              "fail  refused  b.las     The header of b.las says it is 227 bytes long, less than the 235 bytes of LAS 1.3\n"
              "fail  refused  a\\tb.las  Cannot open a\\tb.las: No such file or directory\n");
    EXPECT_EQ(without_findings(audit({"-q", "--format", "tsv", "a.las", "b.las", "a\\b\tc.las"}, d.path).out),
              "path\tstatus\tverdict\tversion\tpoint_format\tstored_points\tpoints\tdifferences\treason\n"
              "a.las\tstale\tfail\t1.2\t1\t1\t2\tNumberOfPointReturns 1 \u2192 2\t\n"
              "b.las\trefused\tfail\t1.3\t1\t\t\t\tThe header of b.las says it is 227 bytes long, less than the 235 bytes of LAS 1.3\n"
              "a\\\\b\\tc.las\trefused\tfail\t\t\t\t\t\tCannot open a\\\\b\\tc.las: No such file or directory\n");

    std::vector<nlohmann::json> j = json_lines(audit({"-q", "--format", "jsonl", "a.las", "b.las"}, d.path).out);
    ASSERT_EQ(j.size(), 2u);
    for (nlohmann::json& x : j) {  // the rules' findings are test_rules' concern
        for (const char* k : {"findings", "gps_time", "classes", "crs", "survey"}) x.erase(k);
    }
    EXPECT_EQ(j[0], nlohmann::json::parse(R"({"path": "a.las", "status": "stale", "verdict": "fail", "version": "1.2",
        "point_format": 1, "points": 2,
        "stored": {"count": 1, "by_return": [1, 1, 0, 0, 0], "MaxX": 1.0, "MinX": -0.5, "MaxY": 2.5, "MinY": 2.0,
                   "MaxZ": 3.1, "MinZ": 3.0, "extended_count": null, "extended_by_return": null},
        "recomputed": {"count": 2, "by_return": [1, 1, 0, 0, 0], "MaxX": 1.0, "MinX": -0.5, "MaxY": 2.5,
                       "MinY": 2.0, "MaxZ": 3.1, "MinZ": 3.0, "extended_count": null, "extended_by_return": null},
        "differences": ["NumberOfPointReturns"], "reason": null})"));
    EXPECT_EQ(j[1]["version"], "1.3");
    EXPECT_TRUE(j[1]["stored"].is_null());
    EXPECT_TRUE(j[1]["differences"].is_null());  // nothing was compared
    EXPECT_EQ(j[1]["reason"], "The header of b.las says it is 227 bytes long, less than the 235 bytes of LAS 1.3");
#ifndef _WIN32
    // Windows names are UTF-16: none holds a byte that is not UTF-8.
    write_file(d.file("c\xff.las"), current_file());
    write_file(d.file("\xc3\xa9.las"), current_file());
    j = json_lines(audit({"-q", "--format", "jsonl", "c\xff.las", "\xc3\xa9.las"}, d.path).out);
    EXPECT_EQ(j[0]["path"], "c\xef\xbf\xbd.las");
    EXPECT_EQ(j[0]["path_bytes"], "63ff2e6c6173");
    EXPECT_EQ(j[0]["status"], "current");
    EXPECT_EQ(j[1]["path"], "\xc3\xa9.las");
    EXPECT_FALSE(j[1].contains("path_bytes"));
#endif
}

TEST(AuditFormats, StaleExtentsShowBothValues) {
    TempDir d;
    LasRecipe s = current_las();
    s.stated_extents[0] = 1.25;  // MaxX: the points reach 1
    s.stated_extents[5] = -0.5;  // MinZ: they start at 3
    write_file(d.file("x.las"), build_las(s));
    EXPECT_EQ(without_findings(audit({"-q", "x.las"}, d.path).out), "fail  stale    x.las  MaxX 1.25 \u2192 1; MinZ -0.5 \u2192 3\n");
    EXPECT_EQ(without_findings(audit({"-q", "--format", "tsv", "x.las"}, d.path).out),
              "path\tstatus\tverdict\tversion\tpoint_format\tstored_points\tpoints\tdifferences\treason\n"
              "x.las\tstale\tfail\t1.2\t1\t2\t2\tMaxX 1.25 \u2192 1; MinZ -0.5 \u2192 3\t\n");
    std::vector<nlohmann::json> j = json_lines(audit({"-q", "--format", "jsonl", "x.las"}, d.path).out);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["stored"]["MaxX"], 1.25);
    EXPECT_EQ(j[0]["recomputed"]["MaxX"], 1.0);
    EXPECT_EQ(j[0]["stored"]["MinZ"], -0.5);
    EXPECT_EQ(j[0]["recomputed"]["MinZ"], 3.0);
    EXPECT_EQ(j[0]["differences"], nlohmann::json::parse(R"(["MaxX", "MinZ"])"));
}

// Only a name that is not UTF-8 comes with its bytes in JSON Lines.
TEST(AuditFormats, NamesThatAreNotUtf8CarryTheirBytes) {
    const struct {
        const char* path;
        bool utf8;
    } cases[] = {
        {"\xc3\xa9.las", true},           // U+00E9, two bytes
        {"\xe0\xa0\x80.las", true},       // U+0800, the first of three
        {"\xed\x9f\xbf.las", true},       // U+D7FF, just below the surrogates
        {"\xf0\x90\x80\x80.las", true},   // U+10000, the first of four
        {"las.\xf4\x8f\xbf\xbf", true},   // U+10FFFF, the last, at the very end
        {"\xc0\xaf.las", false},          // '/' overlong
        {"\xe0\x9f\xbf.las", false},      // U+07FF overlong
        {"\xed\xa0\x80.las", false},      // a surrogate
        {"\xf4\x90\x80\x80.las", false},  // past U+10FFFF
        {"las.\xe2\x82", false},          // cut short
    };
    audit::Result r;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.path)));
        r.path = c.path;
        EXPECT_EQ(audit::is_valid_utf8(r.path), c.utf8);
        EXPECT_EQ(nlohmann::json::parse(audit::report_line(r, audit::Format::jsonl, 0)).contains("path_bytes"), !c.utf8);
    }
}

TEST(AuditWalk, DirectoriesByNameArgumentsInTheirOrderWhateverTheJobs) {
    TempDir d;
    for (const char* dir : {"t", "t/b", "t/a.las", "many"}) fs::create_directory(d.file(dir));
    for (const char* f : {"t/z.las", "t/b/y.las", "t/a.las/w.las", "t/c.txt", "t/d.LAS", "t/las"})
        write_file(d.file(f), current_file());
    std::string many;
    for (int k = 0; k < 40; ++k) {
        // Sizes vary so that files finish out of order.
        LasRecipe s = current_las();
        s.points.resize(static_cast<std::size_t>(k % 7) * 5000 + 1);
        std::string name = "many/f" + std::to_string(100 + k);
        write_file(d.file(name + ".las"), build_las(s));
        // One record of the two claimed: cut short.
        many += name + (k % 7 == 0 ? ".las short\n" : ".las stale\n");
    }
    std::vector<std::string> args = {"t", "many", "t/d.LAS"};
#ifndef _WIN32
    // A link to a file is judged as the file; a link to a directory is
    // entered only when named.
    fs::create_directory_symlink("b", d.file("t/link"));
    fs::create_symlink("z.las", d.file("t/l.las"));
    args.push_back("t/link");
#endif
    // Each file once: the link l.las comes before z.las it leads to, and
    // t/link is t/b again.
    std::string want = "t/a.las/w.las current\nt/b/y.las current\nt/d.LAS current\n";
#ifndef _WIN32
    want += "t/l.las current\nt/z.las repeated\n";
#else
    want += "t/z.las current\n";
#endif
    want += many + "t/d.LAS repeated\n";
#ifndef _WIN32
    want += "t/link repeated\n";
#endif
    for (const char* jobs : {"1", "4"}) {
        std::vector<std::string> a = {"-j", jobs};
        a.insert(a.end(), args.begin(), args.end());
        EXPECT_EQ(judged(a, d.path), want) << "-j " << jobs;
    }
}

TEST(AuditReadOnly, NothingChangesWithoutFixAndOnlyStaleFilesWithIt) {
    TempDir d;
    const Bytes current = current_file(), stale = stale_file();
    write_file(d.file("current.las"), current);
    write_file(d.file("stale.las"), stale);
    const auto then = fs::file_time_type::clock::now() - std::chrono::hours(48);
    for (const char* f : {"current.las", "stale.las"}) fs::last_write_time(d.file(f), then);
    const auto past = fs::last_write_time(d.file("stale.las"));  // to the file system's resolution

    for (const char* fmt : {"text", "tsv", "jsonl"}) audit({"--format", fmt, "-j", "4", "--exact", "."}, d.path);
    EXPECT_EQ(read_file(d.file("current.las")), current);
    EXPECT_EQ(read_file(d.file("stale.las")), stale);
    EXPECT_EQ(fs::last_write_time(d.file("stale.las")), past);

    EXPECT_EQ(judged({"--fix", "."}, d.path), "./current.las current\n./stale.las fixed\n");
    EXPECT_EQ(fs::last_write_time(d.file("current.las")), past);
    EXPECT_NE(fs::last_write_time(d.file("stale.las")), past);
    EXPECT_EQ(read_file(d.file("stale.las")), current);
}

// In-process, through the file layer's counts: what is opened for writing.
TEST(AuditReadOnly, OnlyAStaleFileUnderFixIsOpenedForWriting) {
    TempDir d;
    write_file(d.file("current.las"), current_file());
    write_file(d.file("stale.las"), stale_file());
    const struct {
        const char* name;
        bool fix;
        audit::Status status;
        unsigned long update_opens;
    } cases[] = {
        {"current.las", false, audit::Status::current, 0}, {"current.las", true, audit::Status::current, 0},
        {"stale.las", false, audit::Status::stale, 0},     {"stale.las", true, audit::Status::fixed, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.fix ? " --fix" : ""));
        lidar::clear_io_faults();
        audit::Judging how;
        how.fix = c.fix;
        EXPECT_EQ(audit::judge(audit::collect({d.file(c.name)}).at(0), how).status, c.status);
        EXPECT_EQ(lidar::io_calls(lidar::IoOp::open_update), c.update_opens);
    }
    // A failing read is an error, not a refusal, and says which read and
    // why: a tile is read whole, header and points in one.
    lidar::set_io_fault(lidar::IoOp::read, 1, EIO);
    audit::Result r = audit::judge(audit::collect({d.file("current.las")}).at(0), {});
    lidar::clear_io_faults();
    EXPECT_EQ(r.status, audit::Status::error);
    EXPECT_EQ(r.reason, d.file("current.las") + " is too short or unreadable to be a valid .las file: Input/output error");
}

#ifndef _WIN32
// A program started while a file is open, by the audit or by a program
// using the module, must not inherit it: checked from inside the first read
// of the judging and the first write of the fix.
TEST(AuditReadOnly, FilesAreOpenedCloseOnExec) {
    if (!fs::is_directory("/proc/self/fd")) GTEST_SKIP() << "no /proc/self/fd to find the descriptors";
    TempDir d;
    write_file(d.file("stale.las"), stale_file());
    const fs::path file = fs::canonical(d.file("stale.las"));
    const struct {
        bool fix;
        lidar::IoOp op;
        audit::Status status;
    } cases[] = {{false, lidar::IoOp::read, audit::Status::stale}, {true, lidar::IoOp::write, audit::Status::fixed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fix ? "--fix" : "judging");
        int open = 0, inherited = 0;
        lidar::set_io_hook(c.op, 1, [&] {
            for (const fs::directory_entry& e : fs::directory_iterator("/proc/self/fd")) {
                std::error_code ec;
                if (fs::read_symlink(e.path(), ec) != file) continue;
                ++open;
                int flags = fcntl(std::stoi(e.path().filename().string()), F_GETFD);
                if (flags < 0 || !(flags & FD_CLOEXEC)) ++inherited;
            }
        });
        audit::Judging how;
        how.fix = c.fix;
        EXPECT_EQ(audit::judge(audit::collect({d.file("stale.las")}).at(0), how).status, c.status);
        lidar::clear_io_faults();
        EXPECT_GE(open, 1);
        EXPECT_EQ(inherited, 0);
    }
}

TEST(AuditReadOnly, FilesTheUserCannotWriteAreJudged) {
    TempDir d;
    fs::permissions(d.path, fs::perms::all);
    write_file(d.file("stale.las"), stale_file());
    fs::permissions(d.file("stale.las"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    RunResult r = run_forked([&] {
        // Root writes whatever the permission bits say: run as nobody.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 99;
        execl(audit_path().c_str(), "Vexholt-audit", "-q", d.file("stale.las").c_str(), nullptr);
        return errno == EACCES ? 77 : 98;
    });
    if (r.status == 77) GTEST_SKIP() << "user nobody cannot reach " << audit_path();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, 15), "fail  stale    ");
}

// Standard error on a pseudo-terminal: what a person sees.
std::string terminal_stderr(std::vector<std::string> args) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "openpty failed";
    run_forked([&] {
        dup2(slave, 2);
        setenv("TERM", "xterm", 1);
        std::vector<char*> argv = {const_cast<char*>("Vexholt-audit")};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(audit_path().c_str(), argv.data());
        return 98;
    });
    close(slave);
    std::string seen;
    char buf[4096];
    // What the child wrote stays readable, then EIO.
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) seen.append(buf, static_cast<std::size_t>(n));
    close(master);
    return seen;
}

TEST(AuditProgress, LineOnATerminalIsRedrawnAndErasedBeforeTheSummary) {
    TempDir d;
    for (const char* f : {"a.las", "b.las", "c.las"}) write_file(d.file(f), stale_file());
    std::string seen = terminal_stderr({"-j", "4", d.path});
    EXPECT_EQ(seen.substr(0, 3), "\r0/") << seen;
    std::size_t summary = seen.find("Delivery:");
    ASSERT_NE(summary, std::string::npos) << seen;
    EXPECT_NE(seen.find("Vexholt-audit: 3 files: 0 current, 3 stale", summary), std::string::npos) << seen;
    EXPECT_EQ(seen.substr(summary - 4, 4), "\r\x1b[K");
    EXPECT_EQ(seen.find("\x1b[K", summary), std::string::npos);  // nothing drawn over the summaries

    EXPECT_EQ(terminal_stderr({"--quiet", d.path}), "");
    // Not a terminal: a log gets the summaries alone.
    const std::string log = audit({d.path}).err;
    EXPECT_EQ(log.substr(0, 10), "Delivery:\n");
    EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1, 24), "Vexholt-audit: 3 files: ");
}
#endif

// The summary's size, seconds and rate, each as rounded for printing,
// describe one and the same run; a run of milliseconds puts the rate far
// from zero.
// A header read only in part: what was read is reported, nothing more.
TEST(AuditFormats, APartlyReadHeaderGivesWhatItHolds) {
    TempDir d;
    const Bytes whole = current_file();
    const struct {
        std::size_t bytes;
        const char* version;  // "" for null
        int point_format;     // -1 for null
    } cases[] = {{20, "", -1}, {100, "1.2", -1}, {200, "1.2", -1}, {whole.size(), "1.2", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        write_file(d.file("x.las"), Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.bytes)));
        nlohmann::json j = json_lines(audit({"-q", "--format", "jsonl", "x.las"}, d.path).out).at(0);
        EXPECT_EQ(j["version"], *c.version ? nlohmann::json(c.version) : nlohmann::json());
        EXPECT_EQ(j["point_format"], c.point_format < 0 ? nlohmann::json() : nlohmann::json(c.point_format));
    }
}

TEST(AuditFormats, PathsAlignByDisplayColumns) {
    const struct {
        const char* path;
        std::size_t columns;
    } cases[] = {
        {"tile_\xe6\x9d\xb1\xe4\xba\xac.las", 13},  // two wide characters
        {"e\xcc\x81t\xc3\xa9.las", 7},               // a combining accent takes no column
        {"\xef\xbc\xa1.las", 6},                      // a fullwidth letter
        {"a\xff.las", 6},                               // a byte that is not UTF-8: one replacement
    };
    for (const auto& c : cases) EXPECT_EQ(audit::display_width(c.path), c.columns) << c.path;
}

TEST(AuditProgress, BytesCountAsTheyAreReadAndEveryFileInFlightIsNamed) {
    TempDir d;
    LasRecipe s = current_las();
    s.points = spread_points(100000);  // several read blocks
    const Bytes big = build_las(s);
    write_file(d.file("big.las"), big);
    std::atomic<std::uint64_t> read{0};
    audit::Judging how;
    how.bytes_read = &read;
    audit::judge(audit::collect({d.file("big.las")}).at(0), how);
    EXPECT_EQ(read.load(), big.size() - 227);

    audit::Progress p;
    p.files_total = 9;
    p.bytes_done = 5000;
    p.in_flight = {"a.las", "", "b.las"};
    EXPECT_EQ(audit::progress_text(p, 200), "0/9 files  5.0 kB  a.las, b.las");
    p.walking = true;
    EXPECT_EQ(audit::progress_text(p, 12), "0/9+ files  ");
}

TEST(AuditProgress, SummaryRateIsTheBytesOverTheSeconds) {
    TempDir d;
    LasRecipe s;
    s.points = spread_points(100000);
    write_file(d.file("a.las"), build_las(s));
    const double bytes = 227 + 100000 * 28;
    const std::string err = audit({"a.las"}, d.path).err;
    // It ends "; 2.8 MB read in S s, R GB/s", each with two decimals.
    const std::string lead = "; 2.8 MB read in ";
    const std::size_t at = err.rfind(lead);
    ASSERT_NE(at, std::string::npos) << err;
    double seconds = 0, rate = 0;
    ASSERT_EQ(std::sscanf(err.c_str() + at + lead.size(), "%lf s, %lf GB/s", &seconds, &rate), 2) << err;
    char shown[64];
    std::snprintf(shown, sizeof shown, "%.2f s, %.2f GB/s\n", seconds, rate);
    ASSERT_EQ(err.substr(at + lead.size()), shown) << err;
    const double half = 0.005 + 1e-9;
    EXPECT_GE(rate + half, bytes / (seconds + half) / 1e9) << err;
    if (seconds > half) {
        EXPECT_LE(rate - half, bytes / (seconds - half) / 1e9) << err;
    }
}

}  // namespace
