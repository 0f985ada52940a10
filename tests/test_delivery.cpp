// The delivery as a whole: its tile scheme and the voids across its tiles,
// from constructed tiles and from results handed to add_to.
#include "audit.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using audit::Scheme;
using audit::TileBox;

// Tile (i, j) of a grid of 1000 m tiles from 500000, 4000000, its points a
// little short of its edges as real points are.
TileBox tile(std::size_t file, double i, double j, double w = 1000, double h = 1000) {
    TileBox t;
    t.file = file;
    t.min_x = 500000 + i * 1000 + 0.31, t.min_y = 4000000 + j * 1000 + 0.12;
    t.max_x = 500000 + i * 1000 + w - 0.27, t.max_y = 4000000 + j * 1000 + h - 0.4;
    t.points = 1000 + file;
    t.record_hash = 77 * file + 1;
    t.system = 0;
    return t;
}

// 4 x 4 tiles, file 4j + i.
std::vector<TileBox> four_by_four() {
    std::vector<TileBox> v;
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) v.push_back(tile(v.size(), i, j));
    return v;
}

using Pairs = std::vector<std::pair<std::size_t, std::size_t>>;
using Groups = std::vector<std::vector<std::size_t>>;

TEST(TileScheme, EachFaultAloneIsFound) {
    struct Case {
        const char* what;
        std::function<void(std::vector<TileBox>&)> fault;
        std::vector<std::size_t> off_size, off_grid;
        Pairs overlaps;
        Groups duplicates;
        std::vector<double> hole;  // min x, min y of the missing tile
    };
    const Case cases[] = {
        {"a clean grid", [](auto&) {}, {}, {}, {}, {}, {}},
        {"a partial tile on the edge", [](auto& v) { v[8] = tile(8, 0.6, 2, 400, 1000); }, {}, {}, {}, {}, {}},
        {"a small tile inside", [](auto& v) { v[5] = tile(5, 1, 1, 500, 1000); }, {5}, {}, {}, {}, {}},
        {"a large tile on the edge", [](auto& v) { v[7] = tile(7, 3, 1, 1500, 1000); }, {7}, {}, {}, {}, {}},
        {"a tile off the grid", [](auto& v) { v.push_back(tile(16, 4, 0.5)); }, {}, {16}, {}, {}, {}},
        {"two tiles in one place", [](auto& v) { v.push_back(tile(16, 2, 2)); }, {}, {}, {{10, 16}}, {}, {}},
        {"a copy under another name",
         [](auto& v) {
             TileBox copy = v[6];
             copy.file = 16;
             v.push_back(copy);
         },
         {}, {}, {}, {{6, 16}}, {}},
        {"a missing tile", [](auto& v) { v.erase(v.begin() + 9); }, {}, {}, {}, {}, {501000, 4002000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TileBox> tiles = four_by_four();
        c.fault(tiles);
        const Scheme s = audit::tile_scheme(tiles, 1.42);
        ASSERT_TRUE(s.found);
        EXPECT_EQ(s.size_x, 1000);
        EXPECT_EQ(s.size_y, 1000);
        EXPECT_EQ(s.origin_x, 500000);
        EXPECT_EQ(s.origin_y, 4000000);
        EXPECT_EQ(s.off_size, c.off_size);
        EXPECT_EQ(s.off_grid, c.off_grid);
        EXPECT_EQ(s.overlaps, c.overlaps);
        EXPECT_EQ(s.duplicates, c.duplicates);
        ASSERT_EQ(s.holes.size(), c.hole.empty() ? 0u : 1u);
        if (!c.hole.empty()) {
            EXPECT_EQ(s.holes[0].min_x, c.hole[0]);
            EXPECT_EQ(s.holes[0].min_y, c.hole[1]);
            EXPECT_EQ(s.holes[0].max_x, c.hole[0] + 1000);
            EXPECT_EQ(s.holes[0].max_y, c.hole[1] + 1000);
        }
    }
}

// Sizes and grids that are not round thousands: 1524 m (5,000 feet) tiles
// on a grid 250 m off the origin.
TEST(TileScheme, SizeAndOriginAreTheRoundestWithinACell) {
    std::vector<TileBox> tiles;
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) {
            TileBox t;
            t.file = tiles.size();
            t.min_x = 250 + i * 1524 + 0.9, t.max_x = 250 + (i + 1) * 1524 - 0.05;
            t.min_y = 250 + j * 1524 + 0.01, t.max_y = 250 + (j + 1) * 1524 - 1.1;
            t.points = 1;
            t.record_hash = t.file;
            tiles.push_back(t);
        }
    const Scheme s = audit::tile_scheme(tiles, 1.42);
    EXPECT_EQ(s.size_x, 1524);
    EXPECT_EQ(s.size_y, 1524);
    EXPECT_EQ(s.origin_x, 250);
    EXPECT_EQ(s.origin_y, 250);
    EXPECT_TRUE(s.off_size.empty() && s.off_grid.empty() && s.overlaps.empty() && s.holes.empty());
}

// A coverage grid with one first return in every cell but those listed
// (columns and rows relative to the grid).
audit::SurveyGrid grid(std::int64_t col0, std::int64_t row0, std::uint32_t cols, std::uint32_t rows,
                       const std::vector<std::pair<int, int>>& empty = {}) {
    audit::SurveyGrid g;
    g.cell = 1;
    g.col0 = col0, g.row0 = row0, g.cols = cols, g.rows = rows;
    g.first.assign(std::size_t{cols} * rows, 1);
    for (const auto& [c, r] : empty) g.first[std::size_t(r) * cols + c] = 0;
    return g;
}

// Cells [c0, c1) x [r0, r1), relative to a grid.
std::vector<std::pair<int, int>> block(int c0, int r0, int c1, int r1) {
    std::vector<std::pair<int, int>> v;
    for (int r = r0; r < r1; ++r)
        for (int c = c0; c < c1; ++c) v.emplace_back(c, r);
    return v;
}

std::vector<std::pair<int, int>> operator+(std::vector<std::pair<int, int>> a, const std::vector<std::pair<int, int>>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Voids, FoundOnceAcrossTilesAndOnlyInside) {
    struct Expected {
        std::uint64_t cells;
        double min_x, min_y, max_x, max_y;
        std::vector<std::size_t> files;
    };
    struct Case {
        const char* what;
        std::vector<audit::SurveyGrid> grids;
        double min_area;
        std::vector<Expected> voids;
    };
    std::vector<audit::SurveyGrid> ring;  // 3 x 3 tiles of 10 cells, the middle one missing
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i)
            if (i != 1 || j != 1) ring.push_back(grid(10 * i, 10 * j, 10, 10, i == 0 && j == 1 ? block(8, 4, 10, 6) : block(0, 0, 0, 0)));
    const Case cases[] = {
        {"across a column edge", {grid(0, 0, 10, 10, block(8, 4, 10, 6)), grid(10, 0, 10, 10, block(0, 4, 2, 6))}, 4,
         {{8, 8, 4, 12, 6, {0, 1}}}},
        {"across a row edge", {grid(0, 0, 10, 10, block(4, 9, 6, 10)), grid(0, 10, 10, 10, block(4, 0, 6, 2))}, 4,
         {{6, 4, 9, 6, 12, {0, 1}}}},
        {"where tiles overlap, in both", {grid(0, 0, 10, 10, block(5, 4, 8, 6)), grid(5, 0, 10, 10, block(0, 4, 3, 6))}, 4,
         {{6, 5, 4, 8, 6, {0, 1}}}},
        {"covered by an overlapping tile", {grid(0, 0, 10, 10, block(5, 4, 8, 6)), grid(5, 0, 10, 10)}, 1, {}},
        {"a missing tile is no void, nor what opens onto it", ring, 1, {}},
        {"on the outer edge", {grid(0, 0, 10, 10, block(0, 3, 3, 6)), grid(0, 10, 10, 10, block(7, 9, 10, 10))}, 1, {}},
        {"below the least area", {grid(0, 0, 10, 10, block(2, 2, 5, 3))}, 4, {}},
        {"at the least area", {grid(0, 0, 10, 10, block(2, 2, 6, 3))}, 4, {{4, 2, 2, 6, 3, {0}}}},
        {"corners do not connect", {grid(-5, -5, 10, 10, block(2, 2, 3, 3) + block(3, 3, 4, 4))}, 1,
         {{1, -3, -3, -2, -2, {0}}, {1, -2, -2, -1, -1, {0}}}},
        {"two arms joined above", {grid(0, 0, 10, 10, block(2, 2, 3, 8) + block(5, 2, 6, 8) + block(2, 7, 6, 8))}, 1,
         {{14, 2, 2, 6, 8, {0}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<audit::TileCoverage> tiles;
        for (const audit::SurveyGrid& g : c.grids) tiles.push_back(audit::coverage_of(g, tiles.size()));
        const std::vector<audit::Void> v = audit::find_voids(tiles, c.min_area);
        ASSERT_EQ(v.size(), c.voids.size());
        for (std::size_t k = 0; k < v.size(); ++k) {
            const Expected& e = c.voids[k];
            EXPECT_EQ(v[k].cells, e.cells);
            EXPECT_EQ(v[k].area, static_cast<double>(e.cells));
            EXPECT_EQ(std::vector<double>({v[k].min_x, v[k].min_y, v[k].max_x, v[k].max_y}),
                      std::vector<double>({e.min_x, e.min_y, e.max_x, e.max_y}));
            EXPECT_EQ(v[k].files, e.files);
        }
    }
}

// More voids than the sweep keeps at once: those it lets go are judged,
// each once.
TEST(Voids, ManyInOneTallTile) {
    std::vector<std::pair<int, int>> empty;
    for (int r = 1; r < 19999; r += 2) empty.emplace_back(1 + r % 7, r);
    const audit::TileCoverage c = audit::coverage_of(grid(0, 0, 10, 20000, empty), 3);
    const std::vector<audit::Void> v = audit::find_voids({&c, 1}, 1);
    ASSERT_EQ(v.size(), empty.size());
    for (std::size_t k = 0; k < v.size(); ++k) {
        EXPECT_EQ(v[k].min_y, empty[k].second);
        EXPECT_EQ(v[k].min_x, empty[k].first);
        EXPECT_EQ(v[k].files, std::vector<std::size_t>{3});
    }
}

// What the delivery keeps of a tile, in bytes.
std::size_t kept(const audit::TileCoverage& c) {
    return sizeof c + sizeof(TileBox) + c.row_start.capacity() * 4 + c.runs.capacity() * 4;
}

// 10,000 tiles of 1.5 km at QL2 (cells of 1.42 m, 1057 a side) as the
// delivery keeps them, each with an empty cell or so (an index of every
// row: the most a tile keeps but for water), those on the west edge with
// water along it, one in a hundred with a void; the scheme and the voids
// found from them in well under a second each.
TEST(Voids, TenThousandTilesStayBounded) {
    constexpr int kSide = 100;
    constexpr std::uint32_t kCells = 1057;
    constexpr double kCell = 1.42;
    std::vector<audit::TileCoverage> tiles;
    std::vector<TileBox> boxes;
    std::size_t bytes = 0, planted = 0;
    for (int j = 0; j < kSide; ++j)
        for (int i = 0; i < kSide; ++i) {
            audit::TileCoverage c;
            c.file = tiles.size();
            c.cell = kCell;
            c.col0 = std::int64_t{i} * (kCells - 1), c.row0 = std::int64_t{j} * (kCells - 1);
            c.cols = c.rows = kCells;
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
            c.row_start.shrink_to_fit();
            c.runs.shrink_to_fit();
            bytes += kept(c);
            tiles.push_back(std::move(c));
            TileBox b;
            b.file = boxes.size();
            b.min_x = 500000 + i * 1500.0 + 0.4, b.max_x = 500000 + (i + 1) * 1500.0 - 0.6;
            b.min_y = 4000000 + j * 1500.0 + 0.4, b.max_y = 4000000 + (j + 1) * 1500.0 - 0.6;
            b.points = 4500000;
            b.record_hash = b.file;
            boxes.push_back(b);
        }
    const std::size_t covered = kept(audit::coverage_of(grid(0, 0, 1057, 1057), 0));
    std::printf("10,000 tiles of 1.5 km at QL2: %.1f MiB kept for the scheme and the voids (%zu bytes a covered "
                "tile)\n",
                bytes / 1048576.0, covered);
    EXPECT_LT(bytes, std::size_t{48} << 20);
    EXPECT_LT(covered, 256u);

    auto t0 = std::chrono::steady_clock::now();
    const Scheme s = audit::tile_scheme(boxes, kCell);
    const double scheme_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    t0 = std::chrono::steady_clock::now();
    const std::vector<audit::Void> v = audit::find_voids(tiles, 16 * 0.71 * 0.71);
    const double voids_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("scheme in %.3f s, voids in %.3f s\n", scheme_s, voids_s);
    EXPECT_EQ(s.size_x, 1500);
    EXPECT_TRUE(s.off_size.empty() && s.off_grid.empty() && s.overlaps.empty() && s.holes.empty());
    EXPECT_LT(scheme_s, 1.0);
    ASSERT_EQ(v.size(), planted);
    for (const audit::Void& x : v) {
        EXPECT_EQ(x.cells, 16u);
        EXPECT_EQ(x.files.size(), 1u);
    }
}

// Results as the scan leaves them: 2 x 2 tiles of 100 m, cells of 1 m,
// the first two sharing a void across their edge, and a copy of the last
// stored compressed.
std::vector<audit::Result> delivery_results() {
    std::vector<audit::Result> v;
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) {
            audit::Result r;
            r.path = "t" + std::to_string(i) + std::to_string(j) + ".las";
            r.status = audit::Status::current;
            r.verdict = audit::Verdict::pass;
            r.header_read = r.scanned = true;
            r.stored.major = 1, r.stored.minor = 4, r.stored.point_format = 6, r.stored.record_length = 30;
            for (double& s : r.stored.scale) s = 0.01;
            r.recomputed = r.stored;
            const double e[6] = {i * 100 + 99.8, i * 100 + 0.2, j * 100 + 99.9, j * 100 + 0.1, 10, 0};
            std::copy(e, e + 6, r.recomputed.extent);
            r.points = 20000;
            r.crs.present = r.crs.identified = true;
            r.crs.horizontal = "EPSG:26910";
            r.crs.system = 0;
            r.crs.metres_per_unit = 1;
            r.survey.points = r.points;
            r.survey.record_hash = 1234567 + v.size();
            r.survey.grid = grid(i * 100, j * 100, 100, 100, j == 0 && i == 0 ? block(97, 40, 100, 43) : block(96, 40, 96, 40));
            if (j == 0 && i == 1) r.survey.grid = grid(100, 0, 100, 100, block(0, 40, 2, 43));
            r.survey.first_returns = std::count(r.survey.grid.first.begin(), r.survey.grid.first.end(), 1u);
            v.push_back(r);
        }
    audit::Result copy = v[3];
    copy.path = "t11.laz";
    v.push_back(copy);
    return v;
}

TEST(DeliveryRules, SchemeAndVoidsBecomeFindingsOfTheirProfiles) {
    struct Case {
        lidar::Profile profile;
        std::vector<std::string> rules;
    };
    const Case cases[] = {
        {lidar::Profile::usgs_lbs, {"delivery.duplicate", "usgs.void"}},
        {lidar::Profile::las, {"delivery.duplicate"}},
        {lidar::Profile::stats, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.profile));
        audit::Delivery d;
        d.profile = c.profile;
        for (const audit::Result& r : delivery_results()) audit::add_to(d, r);
        audit::finish_delivery(d);
        const std::vector<audit::DeliveryFinding> found = audit::consistency(d);
        std::vector<std::string> rules;
        for (const audit::DeliveryFinding& f : found) {
            rules.push_back(f.finding.rule->id);
            if (f.finding.rule->id == std::string("usgs.void")) {
                EXPECT_EQ(f.files, std::vector<std::string>({"t00.las", "t10.las"}));
                EXPECT_EQ(f.finding.actual, "a void of 15 (15 cells) at X 97 to 102, Y 40 to 43");
                EXPECT_EQ(f.finding.expected, "no void of 8.0656 or more ((4 x ANPS)^2)");
            } else {
                EXPECT_EQ(f.files, std::vector<std::string>({"t11.las", "t11.laz"}));
            }
        }
        EXPECT_EQ(rules, c.rules);
        const nlohmann::json j = nlohmann::json::parse(audit::summary_json(d, found));
        EXPECT_EQ(j["verdict"], c.rules.empty() ? "pass" : "fail");
        EXPECT_EQ(j["voids"], 1);
        EXPECT_EQ(j["tile_scheme"], nlohmann::json({{"size_x", 100}, {"size_y", 100}, {"origin_x", 0}, {"origin_y", 0}}));
        EXPECT_EQ(j["pulse_density"], 1);
        EXPECT_EQ(j["pulse_spacing"], 1);
        const std::string t = audit::summary_text(d, found);
        EXPECT_NE(t.find("  pulse density: 1 per square metre, spacing 1 m (first returns over the area their cells "
                         "cover)\n  tile scheme: 100 x 100 from 0, 0\n  voids: 1\n"),
                  std::string::npos)
            << t;
    }
}

}  // namespace
