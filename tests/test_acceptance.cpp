// Whole deliveries judged end to end under usgs-lbs at QL2: 3 x 3 tiles of
// 60 m that an LBS acceptance passes, then the same delivery with one fault
// planted at a time, each asserting exactly which rules fire on which files.
#include "las_file.h"
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace lastest;

namespace {

constexpr double kX0 = 501000, kY0 = 4002000, kTile = 60;  // the grid: multiples of 60 m
constexpr double kCell = 1.42;                              // QL2's coverage cell

// A compound system: UTM 10N on NAD83 and NAVD88 heights, both in metres.
const std::string kWkt =
    R"(COMPD_CS["NAD83 / UTM zone 10N + NAVD88 height",PROJCS["NAD83 / UTM zone 10N",GEOGCS["NAD83",)"
    R"(DATUM["North_American_Datum_1983",SPHEROID["GRS 1980",6378137,298.257222101]],PRIMEM["Greenwich",0],)"
    R"(UNIT["degree",0.0174532925199433]],PROJECTION["Transverse_Mercator"],PARAMETER["latitude_of_origin",0],)"
    R"(PARAMETER["central_meridian",-123],PARAMETER["scale_factor",0.9996],PARAMETER["false_easting",500000],)"
    R"(PARAMETER["false_northing",0],UNIT["metre",1],AXIS["Easting",EAST],AXIS["Northing",NORTH],)"
    R"(AUTHORITY["EPSG","26910"]],VERT_CS["NAVD88 height",VERT_DATUM["North American Vertical Datum 1988",2005],)"
    R"(UNIT["metre",1],AXIS["Up",UP],AUTHORITY["EPSG","5703"]]])";

// One point as the generator lays it, before a fault edits it.
struct Pt {
    double x, y;
    std::uint8_t cls;
    std::uint16_t intensity, source;
};

template <class T>
void put(Bytes& b, std::size_t at, T v) {
    std::memcpy(&b[at], &v, sizeof v);
}

// A LAS 1.4 point format 6 file with true statistics, a WKT VLR, adjusted
// standard GPS times and padded text: nothing for a header rule to find.
Bytes las14(const std::vector<Pt>& pts) {
    const std::string wkt = kWkt + '\0';
    const std::size_t data = 375 + 54 + wkt.size();
    Bytes b(data + 30 * pts.size(), 0);
    std::memcpy(&b[0], "LASF", 4);
    put<std::uint16_t>(b, 6, 0x11);  // adjusted standard GPS time, WKT
    b[24] = 1, b[25] = 4;
    std::memcpy(&b[26], "ACCEPTANCE", 10);
    std::memcpy(&b[58], "test_acceptance", 15);
    put<std::uint16_t>(b, 90, 140), put<std::uint16_t>(b, 92, 2021);
    put<std::uint16_t>(b, 94, 375);
    put<std::uint32_t>(b, 96, static_cast<std::uint32_t>(data));
    put<std::uint32_t>(b, 100, 1);
    b[104] = 6;
    put<std::uint16_t>(b, 105, 30);
    const double scale = 0.01, offset[3] = {500000, 4000000, 0};
    for (int k = 0; k < 3; ++k) put(b, 131 + 8 * k, scale), put(b, 155 + 8 * k, offset[k]);
    put<std::uint64_t>(b, 247, pts.size());
    put<std::uint64_t>(b, 255, pts.size());  // every point a single return
    std::memcpy(&b[377], "LASF_Projection", 15);
    put<std::uint16_t>(b, 393, 2112);
    put<std::uint16_t>(b, 395, static_cast<std::uint16_t>(wkt.size()));
    std::memcpy(&b[429], wkt.data(), wkt.size());
    std::int32_t lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    for (std::size_t n = 0; n < pts.size(); ++n) {
        const Pt& p = pts[n];
        const std::int32_t xyz[3] = {static_cast<std::int32_t>(std::lround((p.x - offset[0]) / scale)),
                                     static_cast<std::int32_t>(std::lround((p.y - offset[1]) / scale)),
                                     static_cast<std::int32_t>(10000 + n % 500)};
        const std::size_t at = data + 30 * n;
        for (int k = 0; k < 3; ++k) {
            put(b, at + 4 * k, xyz[k]);
            lo[k] = std::min(lo[k], xyz[k]), hi[k] = std::max(hi[k], xyz[k]);
        }
        put(b, at + 12, p.intensity);
        b[at + 14] = 0x11;  // return 1 of 1
        b[at + 16] = p.cls;
        put(b, at + 20, p.source);
        put(b, at + 22, 3.1e8 + 1e-4 * static_cast<double>(n));
    }
    for (int k = 0; k < 3; ++k) {
        put(b, 179 + 16 * k, hi[k] * scale + offset[k]);
        put(b, 187 + 16 * k, lo[k] * scale + offset[k]);
    }
    return b;
}

std::string name(int i, int j) { return "t" + std::to_string(i) + std::to_string(j) + ".las"; }

// One delivery: the clean one with a fault planted.
struct Fault {
    const char* what;
    // Edits tile (i, j)'s point; false drops it. None: the clean points.
    std::function<bool(int i, int j, Pt&)> edit = {};
    std::map<std::string, std::set<std::string>> files = {};       // file -> rules
    std::multimap<std::string, std::set<std::string>> delivery = {};  // rule -> files
    bool passes = false;  // only warnings: the delivery still passes
    enum { none, missing, copied, sparse, shifted } change = none;  // of one tile, 3j + i
    int tile = -1;
    bool changes(int k, decltype(change) c) const { return change == c && tile == k; }
};

void generate(const std::string& dir, const Fault& f) {
    for (int k = 0; k < 9; ++k) {
        if (f.changes(k, Fault::missing)) continue;
        const int i = k % 3, j = k / 3;
        // Points a quarter spacing in from the edges, 4 a square metre
        // (1 in the sparse tile); the shifted tile 10 m north.
        const double s = f.changes(k, Fault::sparse) ? 1.0 : 0.5;
        const double x0 = kX0 + i * kTile, y0 = kY0 + j * kTile + (f.changes(k, Fault::shifted) ? 10 : 0);
        std::vector<Pt> pts;
        const int n = static_cast<int>(kTile / s);
        for (int b = 0; b < n; ++b)
            for (int a = 0; a < n; ++a) {
                const auto m = static_cast<unsigned>(pts.size());
                Pt p{x0 + s / 4 + a * s, y0 + s / 4 + b * s, static_cast<std::uint8_t>(1 + (a + b) % 2),
                     static_cast<std::uint16_t>(1500 + m * 7919 % 60000), static_cast<std::uint16_t>(101 + k)};
                if (!f.edit || f.edit(i, j, p)) pts.push_back(p);
            }
        const Bytes b = las14(pts);
        write_file(dir + "/" + name(i, j), b);
        if (f.changes(k, Fault::copied)) write_file(dir + "/" + name(i, j).replace(3, 0, "-copy"), b);
    }
}

std::string base(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// What the audit said: every file's verdict and rules, the delivery's
// findings by rule with their files and what the first of each found, and
// the summary itself.
struct Judged {
    int status = -1;
    std::map<std::string, std::string> verdicts;
    std::map<std::string, std::set<std::string>> files;
    std::multimap<std::string, std::set<std::string>> delivery;
    std::map<std::string, std::string> actual;
    nlohmann::json summary;
};

Judged judge(const std::string& dir) {
    const RunResult r =
        run(audit_path(), {"--profile", "usgs-lbs", "--quality-level", "QL2", "--format", "jsonl", "-q", dir});
    Judged j;
    j.status = r.status;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json o = nlohmann::json::parse(line);
        if (o.value("type", "") == "summary") {
            j.summary = o;
            for (const auto& f : o["consistency"]) {
                std::set<std::string> names;
                for (const auto& p : f["files"]) names.insert(base(p.get<std::string>()));
                j.delivery.emplace(f["rule"].get<std::string>(), names);
                j.actual.emplace(f["rule"].get<std::string>(), f["actual"].get<std::string>());
            }
            continue;
        }
        const std::string file = base(o["path"].get<std::string>());
        j.verdicts[file] = o["verdict"].get<std::string>();
        for (const auto& f : o["findings"]) j.files[file].insert(f["rule"].get<std::string>());
    }
    return j;
}

TEST(Acceptance, CleanDeliveryPassesAndEachFaultFiresItsRulesAlone) {
    // Points dropped from [50, 70) x [80, 90) of the delivery: across the
    // edge of t01 and t11.
    auto in_void = [](const Pt& p) {
        return p.x >= kX0 + 50 && p.x < kX0 + 70 && p.y >= kY0 + 80 && p.y < kY0 + 90;
    };
    // Changes the points of the middle tile, t11, that `which` picks.
    using Pick = std::function<bool(const Pt&)>;
    auto middle = [](Pick which, std::function<void(Pt&)> change) {
        return [=](int i, int j, Pt& p) {
            if (i == 1 && j == 1 && which(p)) change(p);
            return true;
        };
    };
    const Pick some = [](const Pt& p) { return p.intensity % 10 == 0; }, all = [](const Pt&) { return true; };
    const Fault faults[] = {
        {"clean", {}, {}, {}, true},
        {"class 0 left in a tile", middle(some, [](Pt& p) { p.cls = 0; }), {{"t11.las", {"usgs.class-never-classified"}}}},
        {"8-bit intensities", middle(all, [](Pt& p) { p.intensity &= 0xff; }), {{"t11.las", {"usgs.intensity-range"}}}},
        {"Point Source ID 0", middle(some, [](Pt& p) { p.source = 0; }), {{"t11.las", {"usgs.point-source-id"}}}},
        // 12 is outside LBS's table, but class-table leaves it to the
        // overlap rule: one warning, and the tile passes.
        {"class 12 in format 6", middle(some, [](Pt& p) { p.cls = 12; }), {{"t11.las", {"points.class-overlap"}}}, {}, true},
        {"a void across a tile edge", [&](int, int, Pt& p) { return !in_void(p); }, {}, {{"usgs.void", {"t01.las", "t11.las"}}},
         true},
        // 10 m north: across the grid line into t22's place, a gap left
        // below it outside every tile.
        {"a tile off the grid", {}, {}, {{"delivery.off-grid", {"t21.las"}}, {"delivery.tile-overlap", {"t21.las", "t22.las"}}},
         true, Fault::shifted, 5},
        // The middle tile 10 m north leaves a bare strip 60 by 10 m in its
        // own place, between neighbours: a void, beside the shift itself,
        // named too on the tiles whose edge cells it reaches (the cells do
        // not fall on the tiles' edges).
        {"the middle tile off the grid", {}, {},
         {{"delivery.off-grid", {"t11.las"}}, {"delivery.tile-overlap", {"t11.las", "t12.las"}},
          {"usgs.void", {"t00.las", "t01.las", "t10.las", "t11.las"}}},
         true, Fault::shifted, 4},
        // The copy lies wholly on its original: named a duplicate, not
        // again an overlap.
        {"a copy under another name", {}, {}, {{"delivery.duplicate", {"t11.las", "t11-copy.las"}}}, false, Fault::copied, 4},
        {"the middle tile missing", {}, {}, {{"delivery.hole", {"t01.las", "t10.las", "t12.las", "t21.las"}}}, false,
         Fault::missing, 4},
        {"a tile of 1 first return a square metre", {}, {{"t11.las", {"usgs.density"}}}, {}, false, Fault::sparse, 4},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.what);
        TempDir dir;
        generate(dir.path, f);
        Judged j = judge(dir.path);
        ASSERT_FALSE(j.summary.is_null());
        EXPECT_EQ(j.files, f.files);
        EXPECT_EQ(j.delivery, f.delivery);
        EXPECT_EQ(j.verdicts.size(), f.change == Fault::missing ? 8u : f.change == Fault::copied ? 10u : 9u);
        for (const auto& [file, verdict] : j.verdicts)
            EXPECT_EQ(verdict, f.passes || !f.files.count(file) ? "pass" : "fail") << file;
        EXPECT_EQ(j.summary["verdict"], f.passes ? "pass" : "fail");
        EXPECT_EQ(j.status, f.passes ? 0 : 1);
        EXPECT_EQ(j.summary["voids"], f.delivery.count("usgs.void"));
        if (f.change == Fault::missing) {
            EXPECT_EQ(j.actual["delivery.hole"], "no tile at X 501060 to 501120, Y 4002060 to 4002120");
        }
        if (f.delivery.count("usgs.void")) {
            // Its box is the planted one to within a cell each side.
            const std::string a = j.actual["usgs.void"];
            std::smatch m;
            ASSERT_TRUE(std::regex_search(a, m, std::regex(R"(at X (\S+) to (\S+), Y (\S+) to (\S+)$)"))) << a;
            const bool strip = f.changes(4, Fault::shifted);
            const double want[4] = {kX0 + (strip ? 60 : 50), kX0 + (strip ? 120 : 70), kY0 + (strip ? 60 : 80),
                                    kY0 + (strip ? 70 : 90)};
            for (int k = 0; k < 4; ++k) EXPECT_NEAR(std::stod(m[k + 1].str()), want[k], kCell) << a;
        }
    }
}

}  // namespace
