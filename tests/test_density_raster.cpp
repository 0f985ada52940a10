// The density raster as a GIS reads it: GDAL's own tools open the GeoTIFF
// and its size, transform, system and every pixel's value must be what the
// test works out from its own grids. Results are made by hand, as the scan
// would hand them over.
#include "density_raster.h"
#include "las_file.h"
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace {

using lastest::TempDir;

// GeoKeyDirectory of a projected system by its EPSG code.
std::string geokeys(int code) {
    const int words[] = {1, 1, 0, 2, 1024, 0, 1, 1, 3072, 0, 1, code};
    std::string out;
    for (int w : words) out += {static_cast<char>(w & 0xff), static_cast<char>(w >> 8)};
    return out;
}

// A judged tile whose grid of cols x rows cells starts at cell (col0, row0),
// its first returns counted by count(col, row) of the delivery's grid.
template <class Count>
audit::Result gridded(double cell, std::int64_t col0, std::int64_t row0, std::uint32_t cols, std::uint32_t rows,
                      int epsg, Count count) {
    audit::Result r;
    r.scanned = true;
    r.crs = lidar::identify_crs(geokeys(epsg), "", "", "");
    audit::SurveyGrid& g = r.survey.grid;
    g.cell = cell, g.col0 = col0, g.row0 = row0, g.cols = cols, g.rows = rows;
    for (std::uint32_t y = 0; y < rows; ++y)
        for (std::uint32_t x = 0; x < cols; ++x) {
            g.first.push_back(count(col0 + x, row0 + y));
            r.survey.first_returns += g.first.back();
        }
    return r;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return static_cast<std::int64_t>(std::floor(double(a) / double(b))); }

// What the raster must hold: the tiles' cells summed into pixels of
// factor x factor cells, each pixel a tile's grid reaches present.
struct Expected {
    std::map<std::pair<std::int64_t, std::int64_t>, std::uint64_t> sum;  // (col, row) -> first returns
    std::int64_t c0 = INT64_MAX, r0 = INT64_MAX, c1 = INT64_MIN, r1 = INT64_MIN;
    void add(const audit::Result& r, std::int64_t factor) {
        const audit::SurveyGrid& g = r.survey.grid;
        for (std::uint32_t y = 0; y < g.rows; ++y)
            for (std::uint32_t x = 0; x < g.cols; ++x) {
                const std::int64_t c = floor_div(g.col0 + x, factor), w = floor_div(g.row0 + y, factor);
                sum[{c, w}] += g.first[std::size_t{y} * g.cols + x];
                c0 = std::min(c0, c), c1 = std::max(c1, c), r0 = std::min(r0, w), r1 = std::max(r1, w);
            }
    }
};

// A program's path by the search path; "" where it is not found.
std::string on_path(const std::string& name) {
    std::istringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && std::filesystem::exists(dir + "/" + name)) return dir + "/" + name;
    return "";
}

struct Read {
    nlohmann::json info;
    std::map<std::pair<double, double>, double> values;  // pixel centre -> value
};

// The file as gdalinfo and gdal_translate read it.
Read read_raster(const std::string& path) {
    Read out;
    const lastest::RunResult info = lastest::run(on_path("gdalinfo"), {"-json", path});
    EXPECT_EQ(info.status, 0) << "gdalinfo cannot open " << path;
    if (info.status == 0) out.info = nlohmann::json::parse(info.out);
    const lastest::RunResult xyz = lastest::run(on_path("gdal_translate"), {"-q", "-of", "XYZ", path, "/vsistdout/"});
    EXPECT_EQ(xyz.status, 0);
    std::istringstream lines(xyz.out);
    double x, y, v;
    while (lines >> x >> y >> v) out.values[{x, y}] = v;
    return out;
}

// GDAL built in and its tools at hand, or the test has nothing to read with.
#define NEEDS_GDAL()                                                                         \
    do {                                                                                     \
        std::string why;                                                                     \
        if (!audit::density_raster_possible(why)) GTEST_SKIP() << why;                       \
        if (on_path("gdal_translate").empty()) GTEST_SKIP() << "no gdal_translate (gdal-bin)"; \
    } while (0)

TEST(DensityRaster, PulseDensityIsFirstReturnsOverTheCoveredCells) {
    const struct {
        double cell;
        std::vector<std::uint32_t> first;
        double want;
    } cases[] = {
        {2, {0, 3, 0, 5}, 8.0 / 8},  // two cells of 4 covered
        {0.5, {1, 1, 1, 1}, 4.0 / 1},
        {2, {0, 0, 0, 0}, -1},  // nothing covered
        {0, {}, -1},            // no grid
    };
    for (const auto& c : cases) {
        audit::PointSurvey s;
        s.grid.cell = c.cell, s.grid.cols = 2, s.grid.rows = c.first.empty() ? 0 : 2, s.grid.first = c.first;
        for (std::uint32_t n : c.first) s.first_returns += n;
        EXPECT_DOUBLE_EQ(audit::pulse_density(s), c.want) << c.cell;
    }
}

// Three tiles of 50 x 50 cells of 2 m in UTM 33N, two side by side and one
// a tile's height above them, a void in one; beside them a tile of another
// cell and one of another system, which stay out. Pixels of 4 x 4 cells
// by the bound on what is kept: the side-by-side tiles share a column of
// pixels, and the gap between the rows is NoData.
TEST(DensityRaster, GdalReadsTheSizeTransformSystemAndValuesOfTheTestsOwnGrid) {
    NEEDS_GDAL();
    const std::int64_t col0 = 200000, row0 = 3050000;  // x 400 km, y 6100 km
    auto count = [](std::int64_t c, std::int64_t r) -> std::uint32_t {
        if (c >= 200010 && c < 200020 && r >= 3050010 && r < 3050020) return 0;  // a void
        return static_cast<std::uint32_t>((c * 7 + r * 3) % 5 + 1);
    };
    const audit::Result tiles[] = {
        gridded(2, col0, row0, 50, 50, 32633, count),
        gridded(2, col0 + 50, row0, 50, 50, 32633, count),
        gridded(2, col0, row0 + 100, 50, 50, 32633, count),
        gridded(3, col0, row0, 10, 10, 32633, count),
        gridded(2, col0 + 100, row0, 50, 50, 32634, count),
    };
    audit::DensityGrid g;
    g.max_kept = 600;  // 3 x 2,500 cells at first; 3 x 169 pixels of 4 x 4
    Expected want;
    for (const audit::Result& r : tiles) audit::add_density(g, r);
    for (int k = 0; k < 3; ++k) want.add(tiles[k], 4);
    EXPECT_EQ(g.factor, 4u);
    EXPECT_EQ(g.other_cell, 1u);
    EXPECT_EQ(g.other_system, 1u);

    TempDir d;
    std::string why;
    ASSERT_TRUE(audit::write_density_raster(g, d.file("density.tif"), why)) << why;
    const Read got = read_raster(d.file("density.tif"));
    const std::int64_t width = want.c1 - want.c0 + 1, height = want.r1 - want.r0 + 1;
    EXPECT_EQ(got.info["size"], nlohmann::json::array({width, height}));
    const double pixel = 8, transform[6] = {double(want.c0) * pixel, pixel, 0, double(want.r1 + 1) * pixel, 0, -pixel};
    ASSERT_EQ(got.info["geoTransform"].size(), 6u);
    for (int k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(got.info["geoTransform"][k].get<double>(), transform[k]) << k;
    const std::string wkt = got.info["coordinateSystem"]["wkt"];
    EXPECT_NE(wkt.find("UTM zone 33N"), std::string::npos) << wkt;
    EXPECT_NE(wkt.rfind("ID[\"EPSG\",32633]"), std::string::npos) << wkt;
    const nlohmann::json& band = got.info["bands"][0];
    EXPECT_EQ(band["type"], "Float32");
    EXPECT_EQ(band["noDataValue"].get<double>(), audit::kNoDensity);

    ASSERT_EQ(got.values.size(), static_cast<std::size_t>(width * height));
    std::size_t nodata = 0, empty = 0;
    for (std::int64_t r = want.r0; r <= want.r1; ++r)
        for (std::int64_t c = want.c0; c <= want.c1; ++c) {
            const auto v = got.values.find({(double(c) + 0.5) * pixel, (double(r) + 0.5) * pixel});
            ASSERT_NE(v, got.values.end()) << c << " " << r;
            const auto s = want.sum.find({c, r});
            if (s == want.sum.end()) {
                ++nodata;
                EXPECT_EQ(v->second, audit::kNoDensity) << c << " " << r;
                continue;
            }
            empty += s->second == 0;
            EXPECT_NEAR(v->second, double(s->second) / (pixel * pixel), 1e-6) << c << " " << r;
        }
    // The gap of 12 rows between the rows of tiles, and beside the upper
    // tile the 12 columns the lower right one has; the void's inner pixels
    // hold 0.
    EXPECT_EQ(width, 25);
    EXPECT_EQ(nodata, 12u * 25 + 13 * 12);
    EXPECT_GT(empty, 0u);
}

// A sparse delivery: the raster's bound coarsens it further, and every
// first return is still in it.
TEST(DensityRaster, ARasterOverItsBoundIsCoarsenedWithEveryReturnKept) {
    NEEDS_GDAL();
    auto one = [](std::int64_t, std::int64_t) -> std::uint32_t { return 1; };
    const audit::Result tiles[] = {gridded(1, -40, -40, 20, 20, 32633, one), gridded(1, 960, 460, 20, 20, 32633, one)};
    audit::DensityGrid g;
    g.max_pixels = 10000;  // the span is 1,020 x 520 cells
    for (const audit::Result& r : tiles) audit::add_density(g, r);
    TempDir d;
    std::string why;
    ASSERT_TRUE(audit::write_density_raster(g, d.file("sparse.tif"), why)) << why;
    const Read got = read_raster(d.file("sparse.tif"));
    EXPECT_EQ(g.factor, 8u);  // pixels -5 to 122 across, -5 to 59 up: 8,320
    EXPECT_EQ(got.info["size"], nlohmann::json::array({128, 65}));
    double total = 0;
    for (const auto& [at, v] : got.values)
        if (v != audit::kNoDensity) total += v * 64;
    EXPECT_NEAR(total, 800, 1e-3);
}

// The option as a person meets it: without GDAL one line and nothing
// judged; with it, a raster GDAL opens or the reason it has none.
TEST(DensityRaster, TheOptionWritesARasterOrSaysWhyNot) {
    TempDir d;
    lastest::LasRecipe recipe;
    recipe.points = lastest::spread_points(200);
    lastest::write_file(d.file("a.las"), lastest::build_las(recipe));
    const std::string tif = d.file("a.tif");
    const lastest::RunResult usage = lastest::run(lastest::audit_path(), {"--headers-only", "--density-raster", tif, "."}, d.path, true);
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err.rfind("Vexholt-audit: --density-raster needs the points: not with --headers-only\nUsage:", 0), 0u)
        << usage.err;
    const lastest::RunResult r = lastest::run(lastest::audit_path(), {"-q", "--density-raster", tif, "a.las"}, d.path, true);
    std::string why;
    if (!audit::density_raster_possible(why)) {
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Vexholt-audit: --density-raster needs GDAL to write a GeoTIFF: " + why + "\n");
        return;
    }
    // The tile's grid comes from the scan: a file without one says so.
    EXPECT_TRUE(r.err.empty() || r.err == "Vexholt-audit: cannot write the density raster " + tif +
                                              ": no tile has a coverage grid\n") << r.err;
    if (r.err.empty() && !on_path("gdalinfo").empty()) {
        EXPECT_EQ(lastest::run(on_path("gdalinfo"), {tif}).status, 0);
    }
}

}  // namespace
