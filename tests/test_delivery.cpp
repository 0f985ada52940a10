// The delivery as a whole: its tile scheme and the voids across its tiles,
// from constructed tiles and from results handed to add_to.
#include "audit.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using audit::Scheme;
using audit::TileBox;

// Tile (i, j), w x h of a tile, of a grid of `size` tiles from x0, y0; its
// points a little short of its edges, as real points are.
TileBox tile(std::size_t file, double i, double j, double w = 1, double h = 1, double size = 1000, double x0 = 500000,
             double y0 = 4000000) {
    return {file, x0 + i * size + 0.31, y0 + j * size + 0.12, x0 + (i + w) * size - 0.27, y0 + (j + h) * size - 0.9,
            1000 + file, 77 * file + 1, 0};
}

std::vector<TileBox> grid_of(int n, double size = 1000, double x0 = 500000, double y0 = 4000000) {
    std::vector<TileBox> v;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) v.push_back(tile(v.size(), i, j, 1, 1, size, x0, y0));
    return v;
}

using Groups = std::vector<std::vector<std::size_t>>;

// Faults planted one at a time in 4 x 4 tiles (file 4j + i).
TEST(TileScheme, EachFaultAloneIsFound) {
    struct Case {
        const char* what;
        std::function<void(std::vector<TileBox>&)> fault;
        std::vector<std::size_t> off_size = {}, off_grid = {};
        std::vector<std::pair<std::size_t, std::size_t>> overlaps = {};
        Groups duplicates = {};
        std::vector<double> holes = {};  // min x, min y, max x, max y of each
        double size = 1000, x0 = 500000, y0 = 4000000;  // 0: no scheme
    };
    auto copy = [](std::vector<TileBox>& v, std::size_t k) {
        v.push_back(v[k]);
        v.back().file = 16;
    };
    const Case cases[] = {
        {"a clean grid", [](auto&) {}},
        {"a partial tile on the edge", [](auto& v) { v[8] = tile(8, 0.6, 2, 0.4); }},
        {"a small tile inside", [](auto& v) { v[5] = tile(5, 1, 1, 0.5); }, {5}},
        {"a large tile on the edge", [](auto& v) { v[7] = tile(7, 3, 1, 1.5); }, {7}},
        {"a tile off the grid", [](auto& v) { v.push_back(tile(16, 4, 0.5)); }, {}, {16}},
        {"two tiles in one place", [](auto& v) { v.push_back(tile(16, 2, 2)); }, {}, {}, {{10, 16}}},
        {"a copy under another name", [&](auto& v) { copy(v, 6); }, {}, {}, {}, {{6, 16}}},
        {"a missing tile", [](auto& v) { v.erase(v.begin() + 9); }, {}, {}, {}, {}, {501000, 4002000, 502000, 4003000}},
        {"5,000 ft tiles 250 off", [](auto& v) { v = grid_of(4, 1524, 250, 250); }, {}, {}, {}, {}, {}, 1524, 250, 250},
        // 1,000 m tiles met first, but the 1,524 m ones reach two first; a
        // 1,000 m tile inside a 1,524 m place is one cut at the edge.
        {"two sizes as common: the first to reach the count",
         [](auto& v) {
             v = {tile(0, 0, 0), tile(1, 0, 0, 1, 1, 1524, 510000), tile(2, 1, 0, 1, 1, 1524, 510000), tile(3, 1, 0)};
         },
         {}, {0}, {}, {}, {}, 1524, 499332, 4000000},
        {"files of all sizes, one copied: no scheme",
         [&](auto& v) {
             for (TileBox& t : v) t.max_x += 10.0 * t.file;
             copy(v, 4);
         },
         {}, {}, {}, {{4, 16}}, {}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TileBox> tiles = grid_of(4);
        c.fault(tiles);
        const Scheme s = audit::tile_scheme(tiles, 1.42);
        std::vector<double> holes;
        for (const Scheme::Hole& h : s.holes) holes.insert(holes.end(), {h.min_x, h.min_y, h.max_x, h.max_y});
        EXPECT_EQ(s.found, c.size > 0);
        EXPECT_EQ(std::vector<double>({s.size_x, s.size_y, s.origin_x, s.origin_y}),
                  std::vector<double>({c.size, c.size, c.x0, c.y0}));
        EXPECT_EQ(std::make_tuple(s.off_size, s.off_grid, s.overlaps, s.duplicates, holes),
                  std::make_tuple(c.off_size, c.off_grid, c.overlaps, c.duplicates, c.holes));
    }
}

// A coverage grid of 1 m cells, one first return in each but those of the
// blocks {c0, r0, c1, r1} ([c0, c1) x [r0, r1), relative to the grid).
audit::SurveyGrid grid(std::int64_t col0, std::int64_t row0, std::uint32_t cols, std::uint32_t rows,
                       std::vector<std::array<int, 4>> empty = {}) {
    audit::SurveyGrid g{1, col0, row0, cols, rows, std::vector<std::uint32_t>(std::size_t{cols} * rows, 1), 0};
    for (const auto& [c0, r0, c1, r1] : empty)
        for (int r = r0; r < r1; ++r)
            for (int c = c0; c < c1; ++c) g.first[std::size_t(r) * cols + c] = 0;
    return g;
}

TEST(Voids, FoundOnceAcrossTilesAndOnlyInside) {
    struct Case {
        const char* what;
        std::vector<audit::SurveyGrid> grids;
        double min_area;
        std::vector<std::vector<double>> voids;  // cells, min x, min y, max x, max y, files...
    };
    std::vector<audit::SurveyGrid> ring;  // 3 x 3 tiles of 10 cells, the middle one missing
    for (int k = 0; k < 9; ++k)
        if (k != 4) ring.push_back(grid(10 * (k % 3), 10 * (k / 3), 10, 10, {{8, 4, k == 3 ? 10 : 8, 6}}));
    const Case cases[] = {
        {"across a column edge", {grid(0, 0, 10, 10, {{8, 4, 10, 6}}), grid(10, 0, 10, 10, {{0, 4, 2, 6}})}, 4,
         {{8, 8, 4, 12, 6, 0, 1}}},
        {"across a row edge", {grid(0, 0, 10, 10, {{4, 9, 6, 10}}), grid(0, 10, 10, 10, {{4, 0, 6, 2}})}, 4,
         {{6, 4, 9, 6, 12, 0, 1}}},
        {"where tiles overlap, in both", {grid(0, 0, 10, 10, {{5, 4, 8, 6}}), grid(5, 0, 10, 10, {{0, 4, 3, 6}})}, 4,
         {{6, 5, 4, 8, 6, 0, 1}}},
        {"covered by an overlapping tile", {grid(0, 0, 10, 10, {{5, 4, 8, 6}}), grid(5, 0, 10, 10)}, 1, {}},
        {"a missing tile is no void, nor what opens onto it", ring, 1, {}},
        {"next to a missing tile above or below",
         {grid(0, 0, 10, 10, {{4, 9, 6, 10}}), grid(0, 20, 10, 10, {{4, 0, 6, 1}}), grid(10, 0, 10, 30)}, 1, {}},
        {"on the outer edge", {grid(0, 0, 10, 10, {{0, 3, 3, 6}}), grid(0, 10, 10, 10, {{7, 9, 10, 10}})}, 1, {}},
        {"below the least area", {grid(0, 0, 10, 10, {{2, 2, 5, 3}})}, 4, {}},
        {"at the least area", {grid(0, 0, 10, 10, {{2, 2, 6, 3}})}, 4, {{4, 2, 2, 6, 3, 0}}},
        {"corners do not connect", {grid(-5, -5, 10, 10, {{2, 2, 3, 3}, {3, 3, 4, 4}})}, 1,
         {{1, -3, -3, -2, -2, 0}, {1, -2, -2, -1, -1, 0}}},
        {"two arms joined above", {grid(0, 0, 10, 10, {{2, 2, 3, 8}, {5, 2, 6, 8}, {2, 7, 6, 8}})}, 1,
         {{14, 2, 2, 6, 8, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<audit::TileCoverage> tiles;
        for (const audit::SurveyGrid& g : c.grids) tiles.push_back(audit::coverage_of(g, tiles.size()));
        std::vector<std::vector<double>> found;
        for (const audit::Void& v : audit::find_voids(tiles, c.min_area)) {
            EXPECT_EQ(v.area, static_cast<double>(v.cells));
            found.push_back({static_cast<double>(v.cells), v.min_x, v.min_y, v.max_x, v.max_y});
            found.back().insert(found.back().end(), v.files.begin(), v.files.end());
        }
        EXPECT_EQ(found, c.voids);
    }
}

// More voids than the sweep keeps at once: those it lets go are judged,
// each once.
TEST(Voids, ManyInOneTallTile) {
    std::vector<std::array<int, 4>> empty;
    for (int r = 1; r < 19999; r += 2) empty.push_back({1 + r % 7, r, 2 + r % 7, r + 1});
    const audit::TileCoverage c = audit::coverage_of(grid(0, 0, 10, 20000, empty), 3, SIZE_MAX);
    const std::vector<audit::Void> v = audit::find_voids({&c, 1}, 1);
    ASSERT_EQ(v.size(), empty.size());
    for (std::size_t k = 0; k < v.size(); ++k)
        EXPECT_TRUE(v[k].min_x == empty[k][0] && v[k].min_y == empty[k][1] && v[k].files == std::vector<std::size_t>{3});
}

// A tile reaches to its place in the scheme, but not to a place of more
// cells than a survey lays: there the points overran the stored box the
// grid was laid over, and the runs of every row took seconds and 390 MB.
// Points sparser than the cells leave an empty cell in every other one: the
// tile's runs are kept at cells doubled until they fit, on the delivery's
// grid of such cells (this tile starts at cell -1), where a large void is
// still found, as far as it fills the larger cells. The corner's larger
// cell holds only one, empty, cell of the tile.
TEST(Voids, ScatteredEmptyCellsAreKeptAtACoarserCell) {
    std::vector<std::array<int, 4>> empty = {{20, 20, 28, 28}};
    for (int r = 1; r < 64; r += 2)
        for (int k = 1; k < 64; k += 2) empty.push_back({k, r, k + 1, r + 1});
    const audit::TileCoverage c = audit::coverage_of(grid(-1, -1, 64, 64, empty), 0, 100);
    EXPECT_EQ(std::tuple(c.cell, c.col0, c.row0, c.cols, c.rows, c.runs.size() / 2),
              std::tuple(2.0, -1, -1, 33u, 33u, 4u));
    const std::vector<audit::Void> v = audit::find_voids({&c, 1}, 1);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(std::tuple(v[0].min_x, v[0].min_y, v[0].max_x, v[0].max_y, v[0].cells),
              std::tuple(20.0, 20.0, 26.0, 26.0, std::uint64_t{9}));
}

TEST(Voids, ATileReachesItsPlaceUnlessItsGridMissedThePoints) {
    const audit::TileCoverage laid = audit::coverage_of(grid(10, 10, 5, 5), 0);
    audit::TileCoverage c = laid;
    audit::extend_coverage(c, 8, 8, 20, 20);
    EXPECT_TRUE(c.col0 == 8 && c.row0 == 8 && c.cols == 12 && c.rows == 12) << c.cols << " x " << c.rows;
    const std::vector<audit::Void> v = audit::find_voids({&c, 1}, 1);
    EXPECT_TRUE(v.empty()) << "the new cells lie on the tile's edge";
    c = laid;
    audit::extend_coverage(c, -2e7, -2e7, 2e7, 2e7);
    EXPECT_TRUE(c.col0 == 10 && c.cols == 5 && c.rows == 5 && c.runs.empty());
}

// What the delivery keeps of a tile, in bytes.
std::size_t kept(const audit::TileCoverage& c) {
    return sizeof c + sizeof(TileBox) + c.row_start.capacity() * 4 + c.runs.capacity() * 4;
}

// 10,000 tiles of 1.5 km at QL2 (cells of 1.42 m, 1057 a side) as the
// delivery keeps them, each with an empty cell (an index of every row: the
// most a tile keeps but for water), those on the west edge with water
// along it, one in a hundred with a void; the scheme and the voids found
// from them in well under a second each.
TEST(Voids, TenThousandTilesStayBounded) {
    constexpr std::uint32_t kCells = 1057;
    std::vector<audit::TileCoverage> tiles;
    std::vector<TileBox> boxes;
    std::size_t bytes = 0, planted = 0;
    for (int j = 0; j < 100; ++j)
        for (int i = 0; i < 100; ++i) {
            audit::TileCoverage c;
            c.file = tiles.size(), c.cell = 1.42, c.cols = c.rows = kCells;
            c.col0 = std::int64_t{i} * (kCells - 1), c.row0 = std::int64_t{j} * (kCells - 1);
            const std::uint32_t drop_col = 100 + (i * 31 + j * 17) % 400, drop_row = 100 + (i * 13 + j * 7) % 800;
            const bool void_here = (i * 7 + j * 13) % 100 == 0 && i > 0;
            planted += void_here;
            for (std::uint32_t r = 0; r < kCells; ++r) {
                c.row_start.push_back(static_cast<std::uint32_t>(c.runs.size()));
                if (i == 0) c.runs.insert(c.runs.end(), {0, 10});
                if (r == drop_row) c.runs.insert(c.runs.end(), {drop_col, drop_col + 1});
                if (void_here && r >= 500 && r < 504) c.runs.insert(c.runs.end(), {600, 604});
            }
            c.row_start.push_back(static_cast<std::uint32_t>(c.runs.size()));
            c.row_start.shrink_to_fit(), c.runs.shrink_to_fit();
            bytes += kept(c);
            tiles.push_back(std::move(c));
            boxes.push_back(tile(boxes.size(), i, j, 1, 1, 1500));
        }
    const std::size_t covered = kept(audit::coverage_of(grid(0, 0, kCells, kCells), 0));
    std::printf("10,000 tiles of 1.5 km at QL2: %.1f MiB kept (%zu bytes a covered tile)\n", bytes / 1048576.0, covered);
    EXPECT_LT(bytes, std::size_t{48} << 20);
    EXPECT_LT(covered, 256u);
    auto seconds = [t0 = std::chrono::steady_clock::now()] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    const Scheme s = audit::tile_scheme(boxes, 1.42);
    const double scheme_s = seconds();
    const std::vector<audit::Void> v = audit::find_voids(tiles, 16 * 0.71 * 0.71);
    std::printf("scheme in %.3f s, voids in %.3f s\n", scheme_s, seconds() - scheme_s);
    EXPECT_TRUE(s.size_x == 1500 && s.off_size.empty() && s.off_grid.empty() && s.overlaps.empty() && s.holes.empty());
    EXPECT_LT(scheme_s, 1.0);
    ASSERT_EQ(v.size(), planted);
    for (const audit::Void& x : v) EXPECT_TRUE(x.cells == 16 && x.files.size() == 1);
}

// Results as the scan leaves them: 2 x 2 tiles of 100 m, cells of 1 m, the
// first two sharing a void of 15 cells across their edge, and a copy of
// the last stored compressed.
TEST(DeliveryRules, SchemeAndVoidsBecomeFindingsOfTheirProfiles) {
    std::vector<audit::Result> results;
    for (int k = 0; k < 5; ++k) {
        const int i = k == 4 ? 1 : k % 2, j = k == 4 ? 1 : k / 2;
        audit::Result r;
        r.path = "t" + std::to_string(i) + std::to_string(j) + (k == 4 ? ".laz" : ".las");
        r.status = audit::Status::current;
        r.verdict = audit::Verdict::pass;
        r.header_read = r.scanned = true;
        const double e[6] = {i * 100 + 99.8, i * 100 + 0.2, j * 100 + 99.9, j * 100 + 0.1, 10, 0};
        std::copy(e, e + 6, r.recomputed.extent);
        r.points = 20000;
        r.crs.system = 0;
        r.survey.record_hash = 1234567 + i + 2 * j;
        std::vector<std::array<int, 4>> empty = {{j ? 0 : 97 - 97 * i, 40, j ? 0 : 100 - 98 * i, 43}};
        for (int m = 0; i && j && m < 20; ++m) empty.push_back({5 + 4 * m, 50, 6 + 4 * m, 51});
        r.survey.grid = grid(i * 100, j * 100, 100, 100, empty);
        r.survey.first_returns = std::count(r.survey.grid.first.begin(), r.survey.grid.first.end(), 1u);
        // Its runs kept at a coarser cell, as a sparse tile's are: the
        // delivery's density still counts the cells the survey found held.
        if (k == 3) r.coverage = audit::coverage_of(r.survey.grid, 0, 10);
        results.push_back(r);
    }
    using Files = std::vector<std::string>;
    const std::pair<lidar::Profile, std::vector<std::string>> cases[] = {
        {lidar::Profile::usgs_lbs, {"delivery.duplicate", "usgs.void"}},
        {lidar::Profile::las, {"delivery.duplicate"}},
        {lidar::Profile::stats, {}},
    };
    for (const auto& [profile, rules] : cases) {
        SCOPED_TRACE(static_cast<int>(profile));
        audit::Delivery d;
        d.profile = profile;
        for (const audit::Result& r : results) audit::add_to(d, r);
        audit::finish_delivery(d);
        const std::vector<audit::DeliveryFinding> found = audit::consistency(d);
        std::vector<std::string> ids;
        for (const audit::DeliveryFinding& f : found) {
            ids.push_back(f.finding.rule->id);
            const bool is_void = ids.back() == "usgs.void";
            EXPECT_EQ(f.files, (is_void ? Files{"t00.las", "t10.las"} : Files{"t11.las", "t11.laz"}));
            if (is_void) {
                EXPECT_EQ(f.finding.actual, "a void of 15 (15 cells) at X 97 to 102, Y 40 to 43");
            }
        }
        EXPECT_EQ(ids, rules);
        const nlohmann::json j = nlohmann::json::parse(audit::summary_json(d, found));
        EXPECT_EQ(j["verdict"], rules.empty() ? "pass" : "fail");
        EXPECT_EQ(j["tile_scheme"], nlohmann::json({{"size_x", 100}, {"size_y", 100}, {"origin_x", 0}, {"origin_y", 0}}));
        const std::string t = audit::summary_text(d, found);
        EXPECT_NE(t.find("  pulse density: 1 per square metre, spacing 1 m (first returns over the area their cells "
                         "cover)\n  tile scheme: 100 x 100 from 0, 0\n  voids: 1\n"),
                  std::string::npos)
            << t;
    }
}

}  // namespace
