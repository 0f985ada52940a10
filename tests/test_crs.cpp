// Coordinate systems named from GeoTIFF keys and WKT, and sorted into
// classes of equivalent systems. Cases that only PROJ can decide (a code it
// does not know, a WKT without codes) are skipped in builds without it.
#include "crs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using lidar::Crs;
using lidar::crs_uses_proj;

// A GeoKeyDirectory payload: header {version, 1, 0, count} and the keys
// {id, location, 1, value}; count -1 states the keys' own number.
std::string geokeys(std::vector<std::pair<int, int>> keys, int version = 1, int count = -1, int location = 0) {
    std::vector<int> words = {version, 1, 0, count < 0 ? static_cast<int>(keys.size()) : count};
    for (auto [id, value] : keys) words.insert(words.end(), {id, location, 1, value});
    std::string out;
    for (int w : words) out += {static_cast<char>(w & 0xff), static_cast<char>(w >> 8)};
    return out;
}

Crs from_keys(const std::string& keys) { return lidar::identify_crs(keys, "", "", ""); }
Crs from_wkt(const std::string& wkt) { return lidar::identify_crs("", "", "", wkt); }

const std::string kWgs84 =
    R"(GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]],PRIMEM["Greenwich",0],)"
    R"(UNIT["degree",0.0174532925199433]])";
const std::string kNad83 =
    R"(GEOGCS["NAD83",DATUM["North_American_Datum_1983",SPHEROID["GRS 1980",6378137,298.257222101]],)"
    R"(PRIMEM["Greenwich",0],UNIT["degree",0.0174532925199433]])";

// A transverse Mercator UTM zone north, written by hand; `code` adds the
// EPSG authority at its end, another scale makes it a grid of its own.
std::string utm(const std::string& name, const std::string& geogcs, int zone, const std::string& code = "",
                const std::string& scale = "0.9996") {
    return R"(PROJCS[")" + name + "\"," + geogcs + R"(,PROJECTION["Transverse_Mercator"],)" +
           R"(PARAMETER["latitude_of_origin",0],PARAMETER["central_meridian",)" + std::to_string(zone * 6 - 183) +
           R"(],PARAMETER["scale_factor",)" + scale + R"(],PARAMETER["false_easting",500000],)" +
           R"(PARAMETER["false_northing",0],UNIT["metre",1],AXIS["Easting",EAST],AXIS["Northing",NORTH])" +
           (code.empty() ? "" : R"(,AUTHORITY["EPSG",")" + code + "\"]") + "]";
}
const std::string kUtm17 = utm("WGS 84 / UTM zone 17N", kWgs84, 17, "32617");
const std::string kNavd88 =
    R"(VERT_CS["NAVD88 height",VERT_DATUM["North American Vertical Datum 1988",2005],UNIT["metre",1],)"
    R"(AXIS["Up",UP],AUTHORITY["EPSG","5703"]])";

struct Case {
    const char* what;
    std::string keys, wkt;
    std::string horizontal, vertical;
    const char* problem;  // a part of the reason; nullptr: none
    bool proj_only = false;
};

TEST(Crs, KeysAndWktAreNamedOrRefused) {
    const Case cases[] = {
        {"projected and vertical keys", geokeys({{3072, 26910}, {4096, 5703}}), "", "EPSG:26910", "EPSG:5703", nullptr},
        {"geographic key", geokeys({{1024, 2}, {2048, 4326}}), "", "EPSG:4326", "", nullptr},
        {"user-defined projection on a known base", geokeys({{2048, 4269}, {3072, 32767}}), "", "", "", nullptr},
        {"code PROJ does not know", geokeys({{3072, 1}}), "", "", "", nullptr, true},
        {"short directory", geokeys({}).substr(0, 6), "", "", "", "less than its 8-byte header"},
        {"version 2", geokeys({{3072, 26910}}, 2), "", "", "", "version 2"},
        {"one key past the payload", geokeys({{3072, 26910}}, 1, 2), "", "", "", "lists 2 keys"},
        {"code kept in another record", geokeys({{3072, 26910}}, 1, -1, 34737), "", "", "", "refers to record 34737"},
        {"WKT with its code", "", kUtm17, "EPSG:32617", "", nullptr},
        {"WKT over keys", geokeys({{3072, 26910}}), kUtm17 + std::string(5, '\0'), "EPSG:32617", "", nullptr},
        {"compound WKT", "", R"(COMPD_CS["x",)" + utm("NAD83 / UTM zone 10N", kNad83, 10, "26910") + "," + kNavd88 + "]",
         "EPSG:26910", "EPSG:5703", nullptr},
        {"WKT without codes", "", utm("WGS 84 / UTM zone 17N", kWgs84, 17), "EPSG:32617", "", nullptr, true},
        {"ESRI names", "", R"(GEOGCS["GCS_WGS_1984",DATUM["D_WGS_1984",SPHEROID["WGS_1984",6378137,298.257223563]],)"
                           R"(PRIMEM["Greenwich",0],UNIT["Degree",0.0174532925199433]])",
         "EPSG:4326", "", nullptr, true},
        {"local grid", "", utm("Site grid", kWgs84, 17, "", "0.9999"), "Site grid", "", nullptr},
        {"unbalanced WKT", "", R"(PROJCS["x",GEOGCS[)", "", "", "the WKT does not parse"},
        {"prose for WKT", "", "hello world", "", "", "the WKT does not parse"},
        {"an ellipsoid, not a system", "", R"(SPHEROID["GRS 1980",6378137,298.257222101])", "", "",
         "not a coordinate system"},
        {"WKT of NULs alone", "", std::string(4, '\0'), "", "", "holds no text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.proj_only && !crs_uses_proj()) continue;
        const Crs got = lidar::identify_crs(c.keys, "", "", c.wkt);
        EXPECT_TRUE(got.present);
        EXPECT_EQ(got.horizontal, c.horizontal);
        EXPECT_EQ(got.vertical, c.vertical);
        EXPECT_EQ(got.identified, !c.horizontal.empty());
        if (c.problem) EXPECT_NE(got.problem.find(c.problem), std::string::npos) << got.problem;
        else EXPECT_EQ(got.problem, "");
        EXPECT_EQ(got.system < 0, c.horizontal.empty() && c.vertical.empty());
    }
    EXPECT_FALSE(lidar::identify_crs("", "", "", "").present);
}

// Metres in a unit of each axis: from PROJ's axes where it names the
// system, else from the unit keys or the WKT's UNIT; angles are no length.
TEST(Crs, UnitsOfTheAxesInMetres) {
    constexpr double kUsFoot = 1200.0 / 3937;
    std::string feet = utm("NAD83 / local ftUS", kNad83, 10);
    feet.replace(feet.find(R"(UNIT["metre",1])"), 15, R"(UNIT["US survey foot",0.3048006096012192])");
    const struct {
        const char* what;
        std::string keys, wkt;
        double metres, vertical;
        bool proj_only = false;
    } cases[] = {
        {"metres by code", geokeys({{3072, 26910}, {4096, 5703}}), "", 1, 1, true},
        {"US survey feet by code", geokeys({{3072, 2227}, {4096, 6360}}), "", kUsFoot, kUsFoot, true},
        {"feet over metres by code", geokeys({{3072, 2227}, {4096, 5703}}), "", kUsFoot, 1, true},
        {"unit keys of a user-defined system", geokeys({{3072, 32767}, {3076, 9002}, {4099, 9001}}), "", 0.3048, 1},
        {"degrees", geokeys({{1024, 2}, {2048, 4326}}), "", 0, 0},
        {"WKT in metres", "", kUtm17, 1, 0},
        {"WKT in US survey feet over metres", "", R"(COMPD_CS["x",)" + feet + "," + kNavd88 + "]", kUsFoot, 1},
        {"geographic WKT", "", kWgs84, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.proj_only && !crs_uses_proj()) continue;
        const Crs got = lidar::identify_crs(c.keys, "", "", c.wkt);
        EXPECT_EQ(got.problem, "");
        EXPECT_NEAR(got.metres_per_unit, c.metres, 1e-12);
        EXPECT_NEAR(got.vertical_metres_per_unit, c.vertical, 1e-12);
    }
}

TEST(Crs, EquivalentSystemsShareAClass) {
    const int keys26910 = from_keys(geokeys({{3072, 26910}})).system;
    const int utm17 = from_wkt(kUtm17).system;
    ASSERT_GE(keys26910, 0);
    ASSERT_GE(utm17, 0);
    EXPECT_EQ(from_wkt(utm("NAD83 / UTM zone 10N", kNad83, 10, "26910")).system, keys26910);
    EXPECT_NE(utm17, keys26910);
    EXPECT_NE(from_keys(geokeys({{3072, 26910}, {4096, 5703}})).system, keys26910);

    // Equal definitions without codes, in either axis order: PROJ alone compares those.
    if (!crs_uses_proj()) GTEST_SKIP() << "built without PROJ";
    EXPECT_EQ(from_wkt(utm("NAD83 / UTM zone 10N", kNad83, 10)).system, keys26910);
    EXPECT_EQ(from_wkt(kWgs84).system, from_keys(geokeys({{2048, 4326}})).system);
}

TEST(Crs, OneClassWhateverThreadAsks) {
    std::vector<int> seen(8);
    std::vector<std::thread> threads;
    for (int& s : seen)
        threads.emplace_back([&s] { s = from_wkt(utm("NAD83 / UTM zone 11N", kNad83, 11, "26911")).system; });
    for (std::thread& t : threads) t.join();
    EXPECT_GE(seen[0], 0);
    for (int s : seen) EXPECT_EQ(s, seen[0]);
}

// A delivery of many files in a few systems costs one identification per
// distinct WKT or pair of codes, however many threads ask at once, and
// equivalent systems identified on different threads still share a class.
TEST(Crs, EachDistinctSystemIsIdentifiedOnce) {
    const std::string keys = geokeys({{3072, 26912}});
    const struct {
        std::string keys, ascii, wkt;
    } inputs[] = {
        {"", "", utm("Count grid A", kNad83, 12, "26912")},
        {"", "", utm("Count grid B", kNad83, 12, "26912")},
        {keys, "tile 1|", ""},
        {"", "", utm("Count grid C", kWgs84, 13, "", "0.99961")},
        {keys, "tile 2|", ""},  // the same codes as tile 1
    };
    constexpr std::size_t n = std::size(inputs);
    const std::size_t before = lidar::crs_identifications();
    std::vector<std::vector<int>> seen(8);
    std::vector<std::thread> threads;
    std::latch start(static_cast<std::ptrdiff_t>(seen.size()));
    for (std::size_t t = 0; t < seen.size(); ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();  // so that distinct systems meet on several threads
            seen[t].resize(n);
            for (std::size_t i = 0; i < 250; ++i) {
                const auto& in = inputs[(t + i) % n];
                seen[t][(t + i) % n] = lidar::identify_crs(in.keys, "", in.ascii, in.wkt).system;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(lidar::crs_identifications() - before, n - 1);
    const std::vector<int> want = {seen[0][0], seen[0][0], seen[0][0], seen[0][3], seen[0][0]};
    EXPECT_NE(seen[0][3], seen[0][0]);
    for (const std::vector<int>& s : seen) EXPECT_EQ(s, want);
}

// The payloads of a LAS file's VLRs by user id and record id.
std::map<std::pair<std::string, int>, std::string> vlrs(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string b{std::istreambuf_iterator<char>(in), {}};
    auto u = [&](std::size_t at, int bytes) {
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b.at(at + i));
        return v;
    };
    std::map<std::pair<std::string, int>, std::string> out;
    std::size_t at = u(94, 2);
    for (std::uint32_t n = u(100, 4); n > 0; --n) {
        const std::size_t length = u(at + 20, 2);
        out[{b.substr(at + 2, 16).c_str(), static_cast<int>(u(at + 18, 2))}] = b.substr(at + 54, length);
        at += 54 + length;
    }
    return out;
}

TEST(Crs, RealFilesAreNamedByTheCodesTheyHold) {
    // The codes as the files' bytes state them: srs.las ProjectedCSTypeGeoKey
    // 32617, epsg_4326.las GeographicTypeGeoKey 4326, certainty3d
    // ProjectedCSTypeGeoKey 2229 (its vertical system is a citation, no
    // code), autzen.las both keys 2994 and a WKT ending AUTHORITY["EPSG","2994"].
    const struct {
        std::string path, horizontal;
    } files[] = {{LASDATA_DIR "/srs.las", "EPSG:32617"},
                 {LASDATA_DIR "/epsg_4326.las", "EPSG:4326"},
                 {LASDATA_DIR "/certainty3d-color-utm-feet-navd88.las", "EPSG:2229"},
                 {LASDATA_V14_DIR "/autzen.las", "EPSG:2994"}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        auto v = vlrs(f.path);
        const Crs keys = lidar::identify_crs(v[{"LASF_Projection", 34735}], v[{"LASF_Projection", 34736}],
                                             v[{"LASF_Projection", 34737}], "");
        EXPECT_EQ(keys.horizontal, f.horizontal);
        EXPECT_EQ(keys.vertical, "");
        EXPECT_EQ(keys.problem, "");
        if (const std::string wkt = v[{"liblas", 2112}]; !wkt.empty()) {
            const Crs w = from_wkt(wkt);
            EXPECT_EQ(w.horizontal, f.horizontal);
            EXPECT_EQ(w.system, keys.system);
        }
    }
}

}  // namespace
