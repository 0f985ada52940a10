// The rules of a tile's points and coordinate system, on scans made up
// in-process: each fires on its fault alone and nothing fires on a clean
// tile. Then profile files: read, refused, and their severities reaching
// the verdict.
#include "audit.h"
#include "las_file.h"
#include "profile.h"
#include "run.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>

namespace {

// What point_rules and crs_rules are given for one tile.
struct Tile {
    lidar::LasHeader h;
    lidar::PointStats s;
    lidar::PointDetail d;
    audit::PointSurvey v;
    lidar::Crs crs;
};

// A tile usgs-lbs passes: LAS 1.4 format 6, ground and unclassified,
// 16-bit intensities, one swath, 4 first returns per square metre, a
// compound system in metres.
Tile clean() {
    Tile t;
    t.h.major = 1, t.h.minor = 4, t.h.point_format = 6, t.h.global_encoding = 0x11;
    t.s.count = 2000;
    t.d.classes[1] = 800, t.d.classes[2] = 1200;
    t.d.gps_count = 2000, t.d.gps_min = 3e8, t.d.gps_max = 3e8 + 60;
    t.v.points = 2000, t.v.first_returns = 1600, t.v.intensity_min = 300, t.v.intensity_max = 52000;
    t.v.swaths = {{7, 2000, 2000, 3e8, 3e8 + 60}};
    t.v.grid.cell = 1, t.v.grid.cols = t.v.grid.rows = 20;
    t.v.grid.first.assign(400, 4);
    t.crs.present = t.crs.identified = true;
    t.crs.horizontal = "EPSG:26910", t.crs.vertical = "EPSG:5703";
    t.crs.metres_per_unit = t.crs.vertical_metres_per_unit = 1;
    return t;
}

std::set<std::string> fired(const Tile& t, const lidar::PointJudging& how) {
    std::vector<lidar::Finding> out;
    lidar::crs_rules(t.h, t.crs, how.profile, out);
    lidar::point_rules(t.h, t.s, t.d, t.v, t.crs, how, out);
    std::set<std::string> ids;
    for (const lidar::Finding& f : out) ids.insert(f.rule->id);
    return ids;
}

using lidar::Profile;
using lidar::QualityLevel;

struct Case {
    const char* what;
    const char* rule;  // nullptr: nothing fires
    std::function<void(Tile&)> fault;
    Profile profile = Profile::usgs_lbs;
    QualityLevel level = QualityLevel::none;
};

TEST(PointRules, EachFiresOnItsFaultAloneAndNothingOnACleanTile) {
    auto first_returns = [](Tile& t, std::uint32_t per_cell) {
        t.v.grid.first.assign(400, per_cell);
        t.v.first_returns = 400 * per_cell;
    };
    const Case cases[] = {
        {"a reserved code in format 6", "points.class-reserved", [](Tile& t) { t.d.classes[30] = 5; }, Profile::las},
        {"class 11 in 1.2 format 1", "points.class-reserved",
         [](Tile& t) { t.h.minor = 2, t.h.point_format = 1, t.d.classes[11] = 1; }, Profile::las},
        {"1.0 reserves no code", nullptr, [](Tile& t) { t.h.minor = 0, t.h.point_format = 1, t.d.classes[20] = 9; },
         Profile::las},
        {"class 12 in format 6", "points.class-overlap", [](Tile& t) { t.d.classes[12] = 3; }},
        {"class 12 in 1.2 is overlap points", nullptr,
         [](Tile& t) { t.h.minor = 2, t.h.point_format = 1, t.d.classes[12] = 3; }, Profile::las},
        {"class 0 left", "usgs.class-never-classified", [](Tile& t) { t.d.classes[0] = 5; }},
        {"no ground", "usgs.class-ground", [](Tile& t) { t.d.classes[1] += t.d.classes[2], t.d.classes[2] = 0; }},
        {"a user class", "usgs.class-table", [](Tile& t) { t.d.classes[65] = 539; }},
        {"LBS's own classes", nullptr, [](Tile& t) { t.d.classes[17] = t.d.classes[20] = t.d.classes[6] = 1; }},
        {"Point Source ID 0", "usgs.point-source-id", [](Tile& t) { t.v.swaths.insert(t.v.swaths.begin(), {0, 10}); }},
        {"intensities of 8 or 9 bits", "usgs.intensity-range", [](Tile& t) { t.v.intensity_max = 482; }},
        {"no vertical system", "usgs.crs-vertical", [](Tile& t) { t.crs.vertical.clear(); }},
        {"US survey feet over metres", "usgs.units", [](Tile& t) { t.crs.metres_per_unit = 1200.0 / 3937; }},
        {"feet over US survey feet", "usgs.units",
         [](Tile& t) { t.crs.metres_per_unit = 0.3048, t.crs.vertical_metres_per_unit = 1200.0 / 3937; }},
        {"an unreadable system is another rule's", nullptr,
         [](Tile& t) { t.crs.vertical.clear(), t.crs.problem = "the WKT does not parse"; }},
        {"sparse: 1 per square metre", "usgs.density", [&](Tile& t) { first_returns(t, 1); }},
        {"4 per square metre below QL1", "usgs.density", [](Tile&) {}, Profile::usgs_lbs, QualityLevel::ql1},
        {"0.6 per square metre at QL3", nullptr,
         [&](Tile& t) { first_returns(t, 6), t.v.grid.cell = 10.0 / 3; }, Profile::usgs_lbs, QualityLevel::ql3},
        {"feet: 4 per square foot is dense", nullptr,
         [](Tile& t) { t.crs.metres_per_unit = t.crs.vertical_metres_per_unit = 0.3048; }, Profile::usgs_lbs,
         QualityLevel::ql1},
        {"no grid judges no density", nullptr, [&](Tile& t) { first_returns(t, 1), t.v.grid = {}; }},
        {"no units judge no density", nullptr,
         [&](Tile& t) { first_returns(t, 1), t.crs.metres_per_unit = t.crs.vertical_metres_per_unit = 0; }},
        // A scan that gathered no survey: none of its rules fires.
        {"no survey", nullptr, [](Tile& t) { t.v = {}; }},
        {"las judges no usgs rule", nullptr,
         [&](Tile& t) { t.d.classes[0] = t.d.classes[65] = 1, t.v.intensity_max = 9, first_returns(t, 1); }, Profile::las},
    };
    for (const Profile p : {Profile::las, Profile::usgs_lbs})
        EXPECT_EQ(fired(clean(), {p, QualityLevel::none, nullptr, audit::gps_now()}), std::set<std::string>{});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tile t = clean();
        c.fault(t);
        EXPECT_EQ(fired(t, {c.profile, c.level, nullptr, audit::gps_now()}),
                  c.rule ? std::set<std::string>{c.rule} : std::set<std::string>{});
    }
}

TEST(ProfileFile, DocumentedExampleIsRead) {
    const lastest::Bytes bytes = lastest::read_file(std::string(LASDATA_DIR) + "/../../../doc/profiles.md");
    const std::string doc(bytes.begin(), bytes.end());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(doc, m, std::regex("```json\n([^`]*)```"))) << "doc/profiles.md: no example";
    lidar::ProfileFile p;
    std::string why;
    ASSERT_TRUE(lidar::parse_profile(m[1].str(), p, why)) << why;
    EXPECT_EQ(p.base, Profile::usgs_lbs);
    EXPECT_EQ(p.quality_level, QualityLevel::ql1);
    ASSERT_TRUE(p.classes);
    EXPECT_TRUE(p.classes->allowed[40] && p.classes->allowed[2] && !p.classes->allowed[6]);
    ASSERT_EQ(p.severities.size(), 3u);
    EXPECT_EQ(p.severities[0].first, &lidar::rule("usgs.class-ground"));
    EXPECT_EQ(p.severities[0].second, lidar::Severity::error);
    EXPECT_EQ(p.severities[1].second, lidar::Severity::off);
    // Its table in place of LBS's: 41 allowed, 6 and 70 not, and named
    // (41 is reserved too, which the profile turns off).
    Tile t = clean();
    t.d.classes[41] = t.d.classes[70] = 1;
    t.d.classes[6] = 4;
    std::vector<lidar::Finding> out;
    lidar::point_rules(t.h, t.s, t.d, t.v, t.crs, {p.base, QualityLevel::none, p.classes.get(), audit::gps_now()}, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].rule->id + (" " + out[0].actual), "points.class-reserved class 41 (1 point)");
    EXPECT_EQ(out[1].rule->id + (" " + out[1].actual), "usgs.class-table class 6 (4 points), class 70 (1 point)");
}

TEST(ProfileFile, BadFilesAreRefusedWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"base": "usgs-lbs",)", "not JSON: parse error at line 1, column 21"},
        {"[1]", "a profile file is a JSON object"},
        {R"({"base": "stats"})", R"("base" is las or usgs-lbs, not "stats")"},
        {R"({"base": "las", "clases": []})", R"(no key "clases" in a profile file)"},
        {R"({"base": "las", "quality_level": "QL4"})", R"("quality_level" is QL0, QL1, QL2 or QL3, not "QL4")"},
        {R"({"base": "las", "rules": {"usgs.clas-table": "off"}})", R"(no rule "usgs.clas-table")"},
        {R"({"base": "las", "rules": {"usgs.units": "fatal"}})",
         R"(the severity of usgs.units is error, warning or off, not "fatal")"},
        {R"({"base": "las", "classes": [{"code": 300, "name": "x"}]})", R"(a "code" from 0 to 255, not 300)"},
        {R"({"base": "las", "classes": [{"code": 2, "name": "a"}, {"code": 2, "name": "b"}]})", "class 2 is listed twice"},
        {R"({"base": "las", "name": "a\nb", "classes": [{"code": 2, "name": "a", "n\u0007": 1}]})",
         R"(a class has no key "n\u0007")"},
    };
    for (const auto& [text, reason] : cases) {
        SCOPED_TRACE(text);
        lidar::ProfileFile p;
        std::string why;
        EXPECT_FALSE(lidar::parse_profile(text, p, why));
        EXPECT_NE(why.find(reason), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    // A missing file, named by the tool's one line and status 2.
    const lastest::RunResult r =
        lastest::run(lastest::audit_path(), {"--profile-file", "/nonexistent/p.json", "."}, "", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Vexholt-audit: profile file /nonexistent/p.json: No such file or directory\n");
}

// Restores the list's severities, whatever a test set.
struct ListedSeverities {
    ~ListedSeverities() { lidar::set_severities({}); }
};

// A real file with two warnings: a warning made an error fails it, rules
// turned off leave no finding, in the report and the rules table alike.
TEST(ProfileFile, SeveritiesReachTheVerdict) {
    ListedSeverities restore;
    const audit::Entry e = audit::collect({std::string(LASDATA_V14_DIR) + "/1_4_w_evlr.las"}).at(0);
    audit::Judging how;
    how.now_gps = audit::gps_now();
    auto ids = [](const audit::Result& r) {
        std::set<std::string> t;
        for (const lidar::Finding& f : r.findings) t.insert(f.rule->id);
        t.erase("crs.unidentified");  // depends on PROJ's database, not on the bytes
        return t;
    };
    using Ids = std::set<std::string>;
    audit::Result r = audit::judge(e, how);
    EXPECT_EQ(ids(r), (Ids{"header.scale-unusual", "header.text-padding"}));
    EXPECT_EQ(r.verdict, audit::Verdict::pass);

    const lidar::Rule& padding = lidar::rule("header.text-padding");
    const std::pair<const lidar::Rule*, lidar::Severity> error[] = {{&padding, lidar::Severity::error}};
    lidar::set_severities(error);
    r = audit::judge(e, how);
    EXPECT_EQ(r.verdict, audit::Verdict::fail);
    EXPECT_NE(audit::report_line(r, audit::Format::jsonl, 0).find("\"severity\":\"error\""), std::string::npos);

    const std::pair<const lidar::Rule*, lidar::Severity> off[] = {{&padding, lidar::Severity::off},
                                                                  {&lidar::rule("header.scale-unusual"), lidar::Severity::off}};
    lidar::set_severities(off);
    r = audit::judge(e, how);
    EXPECT_EQ(ids(r), Ids{});
    EXPECT_EQ(r.verdict, audit::Verdict::pass);
    EXPECT_NE(audit::rules_table(false).find("| `header.text-padding` | off |"), std::string::npos);
    EXPECT_EQ(lidar::listed_severity(padding), lidar::Severity::warning);
}

}  // namespace
