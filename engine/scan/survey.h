// What acceptance needs of a tile's points beyond the statistics: flags,
// swaths, intensity, scan angles, a fingerprint of the records and the
// cells their first returns fall in. Gathered from the blocks the
// statistics are scanned from, so no point is read twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace audit {

// Cells on one grid for the whole delivery: cell (col, row) covers x from
// col * cell to (col + 1) * cell and y likewise, in the file's horizontal
// units, so tiles with the same cell size share their cells' edges.
struct GridShape {
    std::int64_t col0 = 0, row0 = 0;  // the first cell's indices
    std::uint32_t cols = 0, rows = 0;
};

// First returns are counted in cells of cell << shift, at most
// kCountedCells of them: a grid laid finer keeps which of its cells hold
// one as a bit each. A 1.5 km tile at QL2 (1.1 million cells) takes 140 KB
// of bits and (where a raster asks) 71 KB of counts, not 4.5 MB of counts,
// each thread's to clear and merge: a 1 GiB tile's audit peaked at 9.5 MB, not 28.5 MB, and
// took about a tenth less processor time at cells of 0.7 m.
constexpr std::size_t kCountedCells = std::size_t{1} << 16;

struct SurveyGrid {
    double cell = 0;  // 0: no grid gathered
    // The counts' cells, of cell << shift: their first's indices and number.
    std::int64_t col0 = 0, row0 = 0;
    std::uint32_t cols = 0, rows = 0;
    // First returns in each cell, row by row from row0 up (y growing);
    // empty where the plan asked for no counts and the grid keeps bits.
    std::vector<std::uint32_t> first;
    // First returns that fell outside the grid (outside the header's box).
    std::uint64_t outside = 0;
    // How raw X and Y became the file's units, as the plan gave them.
    double scale[2] = {1, 1}, offset[2] = {0, 0};
    unsigned shift = 0;
    // Where shift > 0: the grid as laid, in cells of cell; a bit a cell of
    // it holding a first return, row by row (until judged); and once those
    // are dropped, how many held one.
    GridShape laid{};
    std::vector<std::uint64_t> bits{};
    std::uint64_t covered = 0;
};

// The grid as laid, in cells of cell.
GridShape laid_shape(const SurveyGrid& g);

// The cells 2^shift a side that g's cells fall in, numbered on the
// delivery's grid of such cells.
GridShape summed_shape(const GridShape& g, unsigned shift);

// The points of one Point Source ID (a swath, as a rule).
struct Swath {
    std::uint16_t id = 0;
    std::uint64_t points = 0;
    std::uint64_t timed = 0;  // points with a finite GPS time
    double gps_min = 0, gps_max = 0;  // over those
};

struct PointSurvey {
    // Classification flags: formats 0-5 have the first three, 6-10 all four.
    std::uint64_t withheld = 0, synthetic = 0, key_point = 0, overlap = 0;
    std::uint64_t first_returns = 0;  // return number 1
    std::uint64_t last_returns = 0;   // return number equal to the number of returns (and not 0)
    std::uint16_t intensity_min = 0xffff, intensity_max = 0;
    // OR of every intensity's low byte: 0 with a maximum above 255 means
    // values scaled from 8 bits by 256.
    std::uint8_t intensity_low_or = 0;
    // Degrees: formats 0-5 store whole degrees, 6-10 steps of 0.006.
    double scan_angle_min = 0, scan_angle_max = 0;  // meaningful when points > 0
    // The swaths, by id, ascending once finished: the kMostSwaths lowest
    // ids (a real tile has a few dozen); the points of any further ids are
    // only counted, and those ids.
    std::vector<Swath> swaths;
    std::uint64_t other_swath_points = 0;
    std::uint32_t other_swaths = 0;  // once finished
    // The same for every arrangement of the same records: the sum of a
    // 64-bit hash of each record's first 20 bytes (X, Y, Z, intensity,
    // returns, flags, class and what follows up to byte 20).
    std::uint64_t record_hash = 0;
    std::uint64_t points = 0;  // records surveyed
    SurveyGrid grid;
    // While surveying, with many swaths: their places in swaths + 1, by a
    // hash of their ids; and, past kMostSwaths, a bit for each further id
    // met (both empty once finished).
    std::vector<std::uint32_t> swath_at;
    std::vector<std::uint64_t> other_ids;
    // Ids above it are counted among the further ones: lowered as ids
    // beyond twice kMostSwaths come in.
    std::uint32_t swath_bound = 0xffff;
};

constexpr std::size_t kMostSwaths = 512;

// How to lay a tile's grid: the cell size and the header's box in the
// file's units, its scale and offset to turn raw X and Y into them. A grid
// of more than max_cells cells is laid with a cell doubled until it fits.
struct GridPlan {
    double cell = 0;  // 0: no grid
    double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
    double scale[2] = {1, 1}, offset[2] = {0, 0};
    std::uint64_t max_cells = std::uint64_t{1} << 22;
    // Whether first returns are counted cell by cell (a density raster
    // needs them). Without, a grid kept as bits keeps only which cells hold
    // one: its counts were a fifth of the survey of a 1 GiB tile.
    bool counts = true;
};

// Readies s for a tile: its grid laid by plan, nothing counted.
void start_survey(PointSurvey& s, const GridPlan& plan);

// Folds n records of record_length bytes at p, of point format 0-10, into s.
void survey_block(PointSurvey& s, const unsigned char* p, std::size_t n, std::size_t record_length,
                  unsigned point_format);

// The survey's kernels: vector ones where the processor has AVX2, or
// AVX-512 with its byte permutes (Ice Lake, Zen 4 and later).
enum class SurveyKernel { scalar, avx2, avx512 };
bool survey_kernel_available(SurveyKernel k);
// The fastest available, which survey_block runs.
SurveyKernel chosen_survey_kernel();

// survey_block with kernel k, which must be available; returns the kernel
// that did the work (the scalar one for blocks too short for a vector step).
SurveyKernel survey_block_with(SurveyKernel k, PointSurvey& s, const unsigned char* p, std::size_t n,
                               std::size_t record_length, unsigned point_format);

// Adds b into a: both started with the same plan.
void merge_survey(PointSurvey& a, const PointSurvey& b);

// Sorts the swaths by id; call once every block is in.
void finish_survey(PointSurvey& s);

// Cells of g.cell with at least one first return, and their area in the
// file's square units.
std::uint64_t covered_cells(const SurveyGrid& g);
double covered_area(const SurveyGrid& g);

// Sums g's counts 2 x 2 until it has at most max_cells (keeping what
// covered_cells says) and drops its bits: what a result keeps of its grid
// once judged, so results waiting to be reported hold little.
void coarsen_grid(SurveyGrid& g, std::size_t max_cells);

// First returns per square unit over the cells they cover, counting those
// in the grid alone (one outside the header's box has no cell); -1 where
// no cell holds one.
double pulse_density(const PointSurvey& s);

}  // namespace audit
