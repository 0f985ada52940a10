// The delivery's summary and the progress line: what people read about the
// run besides each file's line.
#include "audit.h"
#include "progress.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using audit::Status;
using audit::Verdict;
using Json = nlohmann::json;

// A file whose header was read, in system (empty: none) with the extent
// MaxX MinX MaxY MinY MaxZ MinZ.
audit::Result file(const std::string& path, const std::string& system, std::vector<double> extent = {},
                   Verdict verdict = Verdict::pass, Status status = Status::current) {
    audit::Result r;
    r.path = path;
    r.status = status;
    r.verdict = verdict;
    r.header_read = true;
    r.stored.major = 1;
    r.stored.minor = 2;
    r.stored.point_format = 1;
    r.stored.record_length = 28;
    for (double& s : r.stored.scale) s = 0.01;
    r.stored.legacy_count = extent.empty() ? 0 : 10;
    for (std::size_t k = 0; k < extent.size(); ++k) r.stored.extent[k] = extent[k];
    r.crs.present = !system.empty();
    r.crs.horizontal = system;
    r.crs.identified = !system.empty();
    r.crs.system = system.empty() ? -1 : system == "EPSG:26910" ? 0 : 1;
    return r;
}

Json json_of(const audit::Delivery& d) {
    return Json::parse(audit::summary_json(d, audit::consistency(d)));
}
std::string text_of(const audit::Delivery& d) { return audit::summary_text(d, audit::consistency(d)); }

TEST(Summary, ExtentsArePerCoordinateSystem) {
    audit::Delivery d;
    audit::add_to(d, file("a.las", "EPSG:26910", {10, 0, 30, 20, 5, 1}));
    audit::add_to(d, file("b.las", "EPSG:26911", {500010, 500000, 20, 10, 7, 2}));
    audit::add_to(d, file("c.las", "EPSG:26910", {12, 2, 40, 25, 6, 0}));
    const std::string t = text_of(d);
    EXPECT_NE(t.find("  extent (EPSG:26910): X 0 to 12, Y 20 to 40, Z 0 to 6\n"), std::string::npos) << t;
    EXPECT_NE(t.find("  extent (EPSG:26911): X 500000 to 500010, Y 10 to 20, Z 2 to 7\n"), std::string::npos) << t;
    Json j = json_of(d);
    EXPECT_EQ(j["extents"].size(), 2u);
    EXPECT_EQ(j["extents"]["EPSG:26910"],
              Json({{"MaxX", 12}, {"MinX", 0}, {"MaxY", 40}, {"MinY", 20}, {"MaxZ", 6}, {"MinZ", 0}}));
    EXPECT_EQ(j["extents"]["EPSG:26911"]["MinX"], 500000);
}

TEST(Summary, GpsTimesArePerTimeType) {
    audit::Delivery d;
    auto timed = [&](std::uint16_t encoding, double min, double max) {
        audit::Result r = file("t.las", "EPSG:26910");
        r.scanned = true;
        r.stored.global_encoding = encoding;
        r.detail.gps_count = 2;
        r.detail.gps_min = min;
        r.detail.gps_max = max;
        audit::add_to(d, r);
    };
    timed(0, 100, 200);
    timed(1, 1.3e9, 1.4e9);
    timed(0x11, 1.2e9, 1.35e9);  // bit 0 alone tells the type
    timed(0, 50, 150);
    const std::string t = text_of(d);
    EXPECT_NE(t.find("  GPS week time: 50 to 200\n  adjusted standard GPS time: 1200000000 to 1400000000\n"),
              std::string::npos)
        << t;
    Json j = json_of(d);
    EXPECT_EQ(j["gps_time"], Json({{"week", {{"min", 50}, {"max", 200}}},
                                   {"adjusted_standard", {{"min", 1.2e9}, {"max", 1.4e9}}}}));
}

TEST(Summary, VerdictOfTheDelivery) {
    struct Case {
        const char* what;
        std::vector<audit::Result> files;
        bool strict;
        const char* verdict;
        const char* line;
    };
    const audit::Result pass = file("p.las", "EPSG:26910");
    const audit::Result failed = file("f.las", "EPSG:26910", {}, Verdict::fail, Status::stale);
    const audit::Result short_file = file("s.las", "EPSG:26910", {}, Verdict::fail, Status::short_);
    const audit::Result repeated = file("r.las", "EPSG:26910", {}, Verdict::none, Status::repeated);
    audit::Result refused = file("x.las", "", {}, Verdict::fail, Status::refused);
    refused.header_read = false;
    audit::Result scale = file("d.las", "EPSG:26910");  // delivery.scale, a warning
    for (double& s : scale.stored.scale) s = 0.001;
    const audit::Result other_system = file("o.las", "EPSG:26911");  // delivery.crs, an error
    const Case cases[] = {
        {"all pass", {pass, pass, repeated}, false, "pass", "verdict: pass (2 pass, 0 fail)"},
        {"a file fails", {pass, failed, short_file, pass, pass}, false, "fail", "verdict: fail (3 pass, 2 fail)"},
        {"a file not judged", {pass, refused}, false, "fail", "verdict: fail (1 pass, 1 fail)"},
        {"a consistency warning", {pass, pass, scale}, false, "pass", "verdict: pass (3 pass, 0 fail)"},
        {"a consistency warning, strict", {pass, pass, scale}, true, "fail", "verdict: fail (3 pass, 0 fail)"},
        {"a consistency error", {pass, pass, other_system}, false, "fail", "verdict: fail (3 pass, 0 fail)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        audit::Delivery d;
        d.strict = c.strict;
        for (const audit::Result& r : c.files) audit::add_to(d, r);
        const std::string t = text_of(d);
        EXPECT_EQ(t.substr(0, t.find('\n', 10) + 1), "Delivery:\n  " + std::string(c.line) + "\n") << t;
        Json j = json_of(d);
        EXPECT_EQ(j["verdict"], c.verdict);
        EXPECT_EQ(j["by_verdict"], Json({{"pass", d.by_verdict[0]}, {"fail", d.by_verdict[1]}}));
        EXPECT_EQ(j["by_status"]["short"], c.what == std::string("a file fails") ? 1 : 0);
    }
}

// A system's name is whatever a file's WKT says: with line breaks it must
// not make lines of its own.
TEST(Summary, NamesFromFilesCannotForgeLines) {
    const std::string forged = "Fake\n  files: 4, 4 current\nVexholt-audit: 4 files: 4 current\x1b[2J\xc2\x9b";
    audit::Delivery d;
    audit::add_to(d, file("a.las", forged, {1, 0, 1, 0, 1, 0}));
    audit::add_to(d, file("b.las", forged, {1, 0, 1, 0, 1, 0}));
    audit::add_to(d, file("c.las", "EPSG:26910", {1, 0, 1, 0, 1, 0}));
    const std::string t = text_of(d);
    const std::string shown = audit::escape_text(forged);
    EXPECT_NE(t.find("  coordinate systems: EPSG:26910 (1), " + shown + " (2)\n"), std::string::npos) << t;
    EXPECT_NE(t.find("  extent (" + shown + "): "), std::string::npos) << t;
    EXPECT_NE(t.find("delivery.crs: expected " + shown + " (the majority)"), std::string::npos) << t;
    for (const char* bad : {"\n  files: 4", "\nVexholt-audit", "\x1b", "\xc2\x9b"})
        EXPECT_EQ(t.find(bad), std::string::npos) << bad << " in " << t;
}

TEST(Progress, NamesCannotCommandTheTerminal) {
    audit::Progress p;
    p.files_total = 2;
    // An OSC title change, an ESC and a C1 CSI clearing the screen, and a
    // C1 byte alone in a name that is not UTF-8.
    p.in_flight = {"\xc2\x9d" "0;owned\x07.las", "\x1b[2J\xc2\x9b" "2J.las", "\x9b" "2J.las"};
    const std::string t = audit::progress_text(p, 500);
    EXPECT_EQ(t.substr(t.find("B  ") + 3),
              "\\u009d0;owned\\x07.las, \\x1b[2J\\u009b2J.las, \\x9b2J.las");
}

}  // namespace
