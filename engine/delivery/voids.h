// Voids: connected empty cells inside a delivery's coverage, found across
// tile edges from what each tile's scan left of its coverage grid.
#pragma once

#include "survey.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace audit {

// A tile's coverage kept for the delivery: its grid's place and the runs of
// empty cells in each row, small where the tile is covered.
struct TileCoverage {
    std::size_t file = 0;  // the tile's index in the delivery's list
    double cell = 0;
    std::int64_t col0 = 0, row0 = 0;
    std::uint32_t cols = 0, rows = 0;
    // Row r's empty runs are runs[row_start[r] .. row_start[r + 1]), each
    // a pair (first column, one past the last) relative to col0. No
    // row_start at all: no empty cell (a covered tile keeps no index).
    std::vector<std::uint32_t> row_start;
    std::vector<std::uint32_t> runs;
};

// Empty runs kept for a tile at most: 64 KB, so 10,000 tiles keep under
// 700 MB whatever their points.
constexpr std::size_t kMostEmptyRuns = 8192;

// g's empty runs, at g's cell or, past most_runs, at the least multiple of
// it by a power of 2 that keeps within them.
TileCoverage coverage_of(const SurveyGrid& g, std::size_t file, std::size_t most_runs = kMostEmptyRuns);

// c grown to hold the cells of the box (x0, y0)-(x1, y1) too, those it did
// not hold empty: a tile's place in the delivery's scheme, which its points
// may not reach (water along an edge, a tile shifted off its place).
void extend_coverage(TileCoverage& c, double x0, double y0, double x1, double y1);

// One void: its box and area in the files' units, its cells, and every
// tile it lies in.
struct Void {
    double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
    double area = 0;
    std::uint64_t cells = 0;
    std::vector<std::size_t> files;
};

// The voids of at least min_area among tiles of one cell size: empty cells
// connected side to side, none of them on the edge of the tiles' union.
std::vector<Void> find_voids(std::span<const TileCoverage> tiles, double min_area);

}  // namespace audit
