// The density raster as a GIS reads it: GDAL's own tools open the GeoTIFF
// and its size, transform, system and every pixel's value must be what the
// test works out from its own grids. Results are made by hand, as the scan
// would hand them over.
#include "density_raster.h"
#include "grid_cells.h"
#include "las_file.h"
#include "run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <span>
#include <sstream>

namespace {

using namespace lastest;

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

// A program's path by the search path; "" where it is not found.
std::string on_path(const std::string& name) {
    std::istringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && std::filesystem::exists(dir + "/" + name)) return dir + "/" + name;
    return "";
}

// GDAL built in and its tools at hand, or the test has nothing to read with.
#define NEEDS_GDAL()                                                                         \
    do {                                                                                     \
        std::string why;                                                                     \
        if (!audit::density_raster_possible(why)) GTEST_SKIP() << why;                       \
        if (on_path("gdal_translate").empty()) GTEST_SKIP() << "no gdal_translate (gdal-bin)"; \
    } while (0)

struct Pixels {
    std::int64_t width = 0, height = 0;
    std::size_t nodata = 0, empty = 0;  // pixels no tile reaches; reached, with no first return
};

// Writes g's raster (all tiles in UTM 33N) and checks it as gdalinfo and
// gdal_translate read it against the tiles' cells summed here into pixels
// of factor x factor cells, each pixel a tile's grid reaches present: its
// size, transform, system and type, and every pixel's value.
Pixels expect_raster(audit::DensityGrid& g, std::span<const audit::Result> tiles, std::uint32_t factor) {
    Pixels out;
    TempDir d;
    const std::string path = d.file("density.tif");
    std::string why;
    if (!audit::write_density_raster(g, path, why)) {
        ADD_FAILURE() << why;
        return out;
    }
    EXPECT_EQ(g.factor, factor);
    Cells want;
    for (const audit::Result& r : tiles) add_cells(want, r.survey.grid, factor, true);
    std::int64_t c0 = INT64_MAX, r0 = INT64_MAX, c1 = INT64_MIN, r1 = INT64_MIN;
    for (const auto& [at, n] : want)
        c0 = std::min(c0, at.first), c1 = std::max(c1, at.first), r0 = std::min(r0, at.second), r1 = std::max(r1, at.second);
    out.width = c1 - c0 + 1, out.height = r1 - r0 + 1;

    const RunResult info = run(on_path("gdalinfo"), {"-json", path});
    EXPECT_EQ(info.status, 0) << "gdalinfo cannot open " << path;
    nlohmann::json j = info.status == 0 ? nlohmann::json::parse(info.out) : nlohmann::json();
    EXPECT_EQ(j["size"], nlohmann::json::array({out.width, out.height}));
    const double pixel = tiles[0].survey.grid.cell * factor;
    const double transform[6] = {double(c0) * pixel, pixel, 0, double(r1 + 1) * pixel, 0, -pixel};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(j["geoTransform"][k], transform[k]) << k;
    const std::string wkt = j["coordinateSystem"]["wkt"];
    EXPECT_NE(wkt.find("UTM zone 33N"), std::string::npos) << wkt;
    EXPECT_NE(wkt.rfind("ID[\"EPSG\",32633]"), std::string::npos) << wkt;
    EXPECT_EQ(j["bands"][0]["type"], "Float32");
    EXPECT_EQ(j["bands"][0]["noDataValue"].get<double>(), audit::kNoDensity);

    const RunResult xyz = run(on_path("gdal_translate"), {"-q", "-of", "XYZ", path, "/vsistdout/"});
    EXPECT_EQ(xyz.status, 0);
    std::map<std::pair<double, double>, double> values;  // pixel centre -> value
    std::istringstream lines(xyz.out);
    for (double x, y, v; lines >> x >> y >> v;) values[{x, y}] = v;
    EXPECT_EQ(values.size(), static_cast<std::size_t>(out.width * out.height));
    for (std::int64_t r = r0; r <= r1; ++r)
        for (std::int64_t c = c0; c <= c1; ++c) {
            const auto v = values.find({(double(c) + 0.5) * pixel, (double(r) + 0.5) * pixel});
            const auto s = want.find({c, r});
            if (v == values.end()) {
                ADD_FAILURE() << "no pixel " << c << " " << r;
            } else if (s == want.end()) {
                ++out.nodata;
                EXPECT_EQ(v->second, audit::kNoDensity) << c << " " << r;
            } else {
                out.empty += s->second == 0;
                EXPECT_NEAR(v->second, double(s->second) / (pixel * pixel), 1e-6) << c << " " << r;
            }
        }
    return out;
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
    for (const audit::Result& r : tiles) audit::add_density(g, r);
    EXPECT_EQ(g.factor, 4u);
    EXPECT_EQ(g.other_cell, 1u);
    EXPECT_EQ(g.other_system, 1u);
    const Pixels p = expect_raster(g, std::span(tiles, 3), 4);
    // The gap of 12 rows between the rows of tiles, and beside the upper
    // tile the 12 columns the lower right one has; the void's inner pixels
    // hold 0.
    EXPECT_EQ(p.width, 25);
    EXPECT_EQ(p.nodata, 12u * 25 + 13 * 12);
    EXPECT_GT(p.empty, 0u);
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
    const Pixels p = expect_raster(g, tiles, 8);
    EXPECT_EQ(p.width, 128);  // pixels -5 to 122 across, -5 to 59 up: 8,320
    EXPECT_EQ(p.height, 65);
}

// The option as a person meets it: without GDAL one line and nothing
// judged; with it, a raster GDAL opens or the reason it has none.
TEST(DensityRaster, TheOptionWritesARasterOrSaysWhyNot) {
    TempDir d;
    LasRecipe recipe;
    recipe.points = spread_points(200);
    write_file(d.file("a.las"), build_las(recipe));
    const std::string tif = d.file("a.tif");
    const RunResult usage = run(audit_path(), {"--headers-only", "--density-raster", tif, "."}, d.path, true);
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err.rfind("Vexholt-audit: --density-raster needs the points: not with --headers-only\nUsage:", 0), 0u)
        << usage.err;
    const RunResult r = run(audit_path(), {"-q", "--density-raster", tif, "a.las"}, d.path, true);
    std::string why;
    if (!audit::density_raster_possible(why)) {
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Vexholt-audit: --density-raster needs GDAL to write a GeoTIFF: " + why + "\n");
        return;
    }
    // The tile's grid comes from the scan: a file without one says so.
    EXPECT_TRUE(r.err.empty() ||
                r.err == "Vexholt-audit: cannot write the density raster " + tif + ": no tile has a coverage grid\n")
        << r.err;
    if (r.err.empty() && !on_path("gdalinfo").empty()) {
        EXPECT_EQ(run(on_path("gdalinfo"), {tif}).status, 0);
    }
}

}  // namespace
