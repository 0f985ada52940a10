// The survey of a tile's points against figures counted here record by
// record: whatever blocks the records come in and however they are merged,
// shared between threads or decoded from LAZ, and the density of a tile
// of known spacing.
#include "audit_json.h"
#include "grid_cells.h"
#include "las_file.h"
#include "survey.h"
#include "tile_scan.h"
#include "voids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using namespace lastest;

namespace {

struct Records {
    unsigned format;
    std::size_t length;
    std::vector<unsigned char> bytes;
    std::size_t count() const { return bytes.size() / length; }
    const unsigned char* at(std::size_t i) const { return bytes.data() + i * length; }
    bool extended() const { return format >= 6; }
    bool timed() const { return extended() || (format != 0 && format != 2); }
    std::size_t gps() const { return extended() ? 22 : 20; }
};

template <class T>
T get(const unsigned char* r, std::size_t at) {
    T v;
    std::memcpy(&v, r + at, sizeof v);
    return v;
}

// Random records of a format, with Point Source IDs in runs and scattered,
// GPS times with NaN and infinities among them, X and Y on a small area.
Records make_records(unsigned format, std::size_t extra, std::size_t n, unsigned ids, std::uint32_t seed) {
    Records r{format, static_cast<std::size_t>(natural_length(static_cast<int>(format))) + extra, {}};
    r.bytes.resize(n * r.length);
    std::mt19937_64 g(seed);
    for (unsigned char& b : r.bytes) b = static_cast<unsigned char>(g());
    std::uint16_t id = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char* p = r.bytes.data() + i * r.length;
        const std::int32_t xy[2] = {static_cast<std::int32_t>(g() % 4000), static_cast<std::int32_t>(g() % 3000) - 500};
        std::memcpy(p, xy, 8);
        if (g() % 50 == 0) id = static_cast<std::uint16_t>(g() % ids);
        std::memcpy(p + (r.extended() ? 20 : 18), &id, 2);
        if (r.timed()) {
            double t = static_cast<double>(g() % 1000000) / 8;
            if (g() % 97 == 0) t = g() % 2 ? std::numeric_limits<double>::quiet_NaN() : -INFINITY;
            std::memcpy(p + r.gps(), &t, 8);
        }
    }
    return r;
}

// Exact binary scale, offset and cell: each point's cell is beyond doubt.
audit::GridPlan plan_for(double cell) {
    audit::GridPlan p;
    p.cell = cell;
    p.scale[0] = p.scale[1] = 0.25;
    p.offset[0] = 0.5, p.offset[1] = -3;
    p.min_x = 0.5, p.max_x = 0.5 + 3999 * 0.25;
    p.min_y = -3 - 500 * 0.25, p.max_y = -3 + 2499 * 0.25;
    return p;
}

// The index of the cell holding v, on a grid from 0.
std::int64_t cell_at(double v, double cell) { return static_cast<std::int64_t>(std::floor(v / cell)); }

// What the survey must find, counted here one record at a time, and the
// first returns by cell of the plan_for grid.
struct Expected {
    audit::PointSurvey s;
    Cells cells;
};

Expected count(const Records& r, double cell) {
    Expected e;
    audit::PointSurvey& s = e.s;
    s.scan_angle_min = INFINITY, s.scan_angle_max = -INFINITY;
    std::uint64_t* const flags[4] = {&s.synthetic, &s.key_point, &s.withheld, &s.overlap};
    std::map<std::uint16_t, audit::Swath> swaths;
    const bool ext = r.extended();
    for (std::size_t i = 0; i < r.count(); ++i) {
        const unsigned char* p = r.at(i);
        const unsigned number = ext ? p[14] & 15 : p[14] & 7, returns = ext ? p[14] >> 4 : (p[14] >> 3) & 7;
        for (int f = 0; f < (ext ? 4 : 3); ++f) *flags[f] += p[15] >> (ext ? f : 5 + f) & 1;
        s.first_returns += number == 1;
        s.last_returns += number != 0 && number == returns;
        const auto in = get<std::uint16_t>(p, 12);
        s.intensity_min = std::min(s.intensity_min, in), s.intensity_max = std::max(s.intensity_max, in);
        s.intensity_low_or |= in & 255;
        const double angle = ext ? get<std::int16_t>(p, 18) * 0.006 : static_cast<std::int8_t>(p[16]);
        s.scan_angle_min = std::min(s.scan_angle_min, angle), s.scan_angle_max = std::max(s.scan_angle_max, angle);
        const auto id = get<std::uint16_t>(p, ext ? 20 : 18);
        audit::Swath& w = swaths[id];
        w.id = id;
        ++w.points;
        // -0 is reported as 0.
        if (const double t = r.timed() ? get<double>(p, r.gps()) + 0.0 : NAN; std::isfinite(t)) {
            w.gps_min = w.timed ? std::min(w.gps_min, t) : t;
            w.gps_max = w.timed ? std::max(w.gps_max, t) : t;
            ++w.timed;
        }
        if (number == 1) {
            const double x = get<std::int32_t>(p, 0) * 0.25 + 0.5, y = get<std::int32_t>(p, 4) * 0.25 - 3;
            ++e.cells[{cell_at(x, cell), cell_at(y, cell)}];
        }
        ++s.points;
    }
    // The lowest ids are kept; the rest only counted.
    for (const auto& [id, w] : swaths)
        if (s.swaths.size() < audit::kMostSwaths) s.swaths.push_back(w);
        else ++s.other_swaths, s.other_swath_points += w.points;
    return e;
}

// The records surveyed in blocks that end at cuts, by the kernel given or
// else the best one here; vector_ran: whether that kernel did any work.
// Each block has storage of its own size, so a kernel that reads past its
// last record shows under the address sanitizer.
audit::PointSurvey survey_of(const Records& r, const audit::GridPlan& plan, std::vector<std::size_t> cuts = {},
                             std::optional<audit::SurveyKernel> kernel = {}, bool* vector_ran = nullptr) {
    audit::PointSurvey s;
    audit::start_survey(s, plan);
    cuts.push_back(r.count());
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        const std::vector<unsigned char> block(r.at(from), r.at(to));
        if (!kernel)
            audit::survey_block(s, block.data(), to - from, r.length, r.format);
        else if (audit::survey_block_with(*kernel, s, block.data(), to - from, r.length, r.format) != audit::SurveyKernel::scalar)
            *vector_ran = true;
        from = to;
    }
    audit::finish_survey(s);
    return s;
}

// Every figure a survey counts but its fingerprint and grid, as one value;
// times to the bit.
auto counts(const audit::PointSurvey& s) {
    std::vector<std::tuple<std::uint16_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>> swaths;
    for (const audit::Swath& w : s.swaths)
        swaths.emplace_back(w.id, w.points, w.timed, std::bit_cast<std::uint64_t>(w.gps_min),
                            std::bit_cast<std::uint64_t>(w.gps_max));
    return std::tuple(s.points, s.withheld, s.synthetic, s.key_point, s.overlap, s.first_returns, s.last_returns,
                      s.intensity_min, s.intensity_max, unsigned{s.intensity_low_or}, s.scan_angle_min,
                      s.scan_angle_max, s.other_swath_points, s.other_swaths, swaths);
}

void expect_same(const audit::PointSurvey& a, const audit::PointSurvey& b) {
    EXPECT_EQ(counts(a), counts(b));
    EXPECT_EQ(std::tuple(a.record_hash, a.grid.cell, a.grid.col0, a.grid.row0, a.grid.outside),
              std::tuple(b.record_hash, b.grid.cell, b.grid.col0, b.grid.row0, b.grid.outside));
    EXPECT_TRUE(a.grid.first == b.grid.first);
    EXPECT_TRUE(a.grid.bits == b.grid.bits);
}

// c's shape and runs, as one value.
auto runs_of(const audit::TileCoverage& c) { return std::tuple(c.col0, c.row0, c.cols, c.rows, c.row_start, c.runs); }

TEST(Survey, EveryFigureIsWhatTheRecordsHoldCountedOneByOne) {
    const std::pair<unsigned, std::size_t> cases[] = {{0, 0}, {1, 0}, {2, 3}, {3, 0}, {5, 0},
                                                      {6, 0}, {7, 2}, {8, 0}, {10, 0}};  // format, extra bytes
    for (const auto& [format, extra] : cases) {
        SCOPED_TRACE("format " + std::to_string(format) + " extra " + std::to_string(extra));
        const Records r = make_records(format, extra, 20000, 40, format + 1);
        const Expected e = count(r, 8);
        const audit::PointSurvey s = survey_of(r, plan_for(8), {1, 4097, 9000});
        EXPECT_EQ(counts(s), counts(e.s));
        // Every first return inside the box, on a grid of 8 x 8 units whose
        // cells are numbered from the origin.
        EXPECT_EQ(s.grid.outside, 0u);
        EXPECT_EQ(s.grid.col0, 0);
        EXPECT_EQ(s.grid.row0, -16);
        EXPECT_EQ(cells_of(s.grid), e.cells);
        EXPECT_EQ(audit::covered_cells(s.grid), e.cells.size());
        EXPECT_EQ(audit::covered_area(s.grid), 64.0 * e.cells.size());
        EXPECT_DOUBLE_EQ(audit::pulse_density(s), static_cast<double>(e.s.first_returns) / (64.0 * e.cells.size()));

        // Cells of 0.5: 3 million, counted in blocks (not aligned with the
        // grid's first cell), each held cell a bit, the empty ones the same
        // runs as a grid counted cell by cell.
        const Expected fine = count(r, 0.5);
        const audit::PointSurvey f = survey_of(r, plan_for(0.5), {1, 4097, 9000});
        ASSERT_GT(f.grid.shift, 0u);
        EXPECT_LE(f.grid.first.size(), audit::kCountedCells);
        Cells blocks;
        for (const auto& [at, n] : fine.cells) blocks[{block_of(at.first, 1 << f.grid.shift), block_of(at.second, 1 << f.grid.shift)}] += n;
        EXPECT_EQ(cells_of(f.grid), blocks);
        EXPECT_EQ(audit::covered_cells(f.grid), fine.cells.size());
        const audit::GridShape laid = audit::laid_shape(f.grid);
        audit::SurveyGrid each{0.5, laid.col0, laid.row0, laid.cols, laid.rows, std::vector<std::uint32_t>(std::size_t{laid.cols} * laid.rows)};
        for (const auto& [at, n] : fine.cells)
            each.first[static_cast<std::size_t>(at.second - laid.row0) * laid.cols + static_cast<std::size_t>(at.first - laid.col0)] = 1;
        EXPECT_EQ(runs_of(audit::coverage_of(f.grid, 0)), runs_of(audit::coverage_of(each, 0)));
    }
}

// The fingerprint and every count are the same for the same records in any
// order, in any blocks, and merged from parts; one changed bit changes it.
TEST(Survey, OrderBlocksAndMergesChangeNothing) {
    for (const unsigned ids : {30u, 5000u}) {  // many: only the lowest are kept
        SCOPED_TRACE(ids);
        const Records r = make_records(6, 0, 30000, ids, 7);
        const audit::PointSurvey whole = survey_of(r, plan_for(4));
        EXPECT_EQ(counts(whole), counts(count(r, 4).s));
        EXPECT_EQ(whole.other_swaths > 0, ids > audit::kMostSwaths);
        Records shuffled = r;
        std::vector<std::size_t> order(r.count());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::shuffle(order.begin(), order.end(), std::mt19937(3));
        for (std::size_t i = 0; i < order.size(); ++i)
            std::memcpy(shuffled.bytes.data() + i * r.length, r.at(order[i]), r.length);
        expect_same(survey_of(shuffled, plan_for(4), {17, 17, 12000}), whole);

        audit::PointSurvey a, b;
        audit::start_survey(a, plan_for(4));
        audit::start_survey(b, plan_for(4));
        audit::survey_block(b, r.at(0), 11111, r.length, r.format);
        audit::survey_block(a, r.at(11111), r.count() - 11111, r.length, r.format);
        audit::merge_survey(a, b);
        audit::finish_survey(a);
        expect_same(a, whole);
    }
    Records changed = make_records(1, 0, 1000, 3, 9);
    const std::uint64_t before = survey_of(changed, plan_for(4)).record_hash;
    changed.bytes[500 * 28 + 17] ^= 4;  // the user data of one record
    EXPECT_NE(survey_of(changed, plan_for(4)).record_hash, before);
}

// A thread's surveys reuse the storage the one before it finished with: a
// tile of few ids surveyed after one of thousands (their table and further
// ids' bits in use) holds its own swaths alone, and so does the next tile of
// many.
TEST(Survey, ATileAfterOneOfManyIdsHoldsItsOwnAlone) {
    const Records many = make_records(1, 0, 80000, 5000, 11);  // ~1,500 ids
    const Records few = make_records(1, 0, 20000, 20, 12);
    const audit::PointSurvey first = survey_of(many, plan_for(8));
    ASSERT_EQ(first.swaths.size(), audit::kMostSwaths);
    EXPECT_EQ(counts(first), counts(count(many, 8).s));
    EXPECT_EQ(counts(survey_of(few, plan_for(8))), counts(count(few, 8).s));
    expect_same(survey_of(many, plan_for(8)), first);
}

// Each vector kernel finds what the scalar one finds, to the bit, in
// blocks of every length around its four- or eight-record step and 32-byte
// reads, with swaths in runs, scattered and beyond the most kept, and a
// grid that some first returns miss on either side or none at all,
// counted by cell or in blocks.
TEST(Survey, KernelsAgree) {
    struct Kind {
        unsigned format;
        std::size_t extra;
        unsigned ids;
        double min_x, max_x;  // of the grid's box; NaN: no cell
        double max_y = 1e9;
        // In rows as a scanner writes them, nearly all first returns: one
        // word of the grid's bits and one count hold long runs of them.
        bool scanned = false;
    };
    // Blocks of 1, 2, 3, 5, 9, 14, 27, 4096 + 40, 4096 + 41, the rest and none.
    const std::vector<std::size_t> cuts = {1, 3, 6, 11, 20, 34, 61, 4197, 8334, 20000};
    bool any = false;
    for (const audit::SurveyKernel kernel : {audit::SurveyKernel::avx2, audit::SurveyKernel::avx512}) {
        if (!audit::survey_kernel_available(kernel)) continue;
        any = true;
        SCOPED_TRACE(kernel == audit::SurveyKernel::avx2 ? "AVX2" : "AVX-512");
        for (const Kind k : {Kind{0, 0, 1, 0.5, 1e9}, Kind{1, 0, 40, 250, 500, 300}, Kind{2, 0, 3, 0.5, 1e9},
                             Kind{3, 0, 3000, 0.5, 1e9}, Kind{4, 0, 7, 0.5, 1e9}, Kind{5, 0, 7, 0.5, NAN},
                             Kind{6, 0, 1, 249, 500, 300}, Kind{7, 0, 5000, 0.5, 1e9}, Kind{8, 3, 40, 0.5, 1e9},
                             Kind{9, 0, 2, 0.5, 1e9}, Kind{10, 0, 40, 0.5, NAN}, Kind{1, 0, 3, 0.5, 1000.25, 1e9, true},
                             Kind{7, 0, 3, 0.5, 1000.25, 1e9, true}}) {
            SCOPED_TRACE("format " + std::to_string(k.format) + " ids " + std::to_string(k.ids) +
                         (k.scanned ? " scanned" : ""));
            Records r = make_records(k.format, k.extra, 20000, k.ids, 100 + k.format);
            for (std::size_t i = 0; k.scanned && i < r.count(); ++i) {
                unsigned char* p = r.bytes.data() + i * r.length;
                const std::int32_t xy[2] = {static_cast<std::int32_t>(i % 1000), static_cast<std::int32_t>(i / 1000) - 500};
                std::memcpy(p, xy, 8);
                const unsigned number = r.extended() ? 15 : 7;
                if (i % 8) p[14] = static_cast<unsigned char>((p[14] & ~number) | 1);
            }
            audit::GridPlan plan = plan_for(4), fine = plan_for(0.5);  // fine: counted in blocks
            plan.min_x = fine.min_x = k.min_x;
            plan.max_x = fine.max_x = k.max_x;
            plan.max_y = fine.max_y = std::min(plan.max_y, k.max_y);
            audit::GridPlan bits = fine;  // which cells hold a first return, no counts
            bits.counts = false;
            for (const audit::GridPlan& p : {plan, fine, bits, audit::GridPlan{}}) {
                bool vector_ran = false;
                const audit::PointSurvey scalar = survey_of(r, p, cuts, audit::SurveyKernel::scalar);
                expect_same(survey_of(r, p, cuts, kernel, &vector_ran), scalar);
                EXPECT_TRUE(vector_ran);
                EXPECT_EQ(scalar.points, r.count());
            }
        }
    }
    if (!any) GTEST_SKIP() << "no vector kernel on this processor";
}

// Counts cell by cell only when asked: a grid kept as bits then keeps the
// same coverage, outside count and pulse density, with no counts; a grid of
// counts alone keeps them, its coverage.
TEST(Survey, CountsCellByCellOnlyWhenAsked) {
    const Records r = make_records(1, 0, 20000, 3, 21);
    for (const double cell : {0.5, 8.0}) {
        SCOPED_TRACE(cell);
        audit::GridPlan asked = plan_for(cell), bare = asked;
        asked.max_x = bare.max_x = 500;  // some first returns beyond the box
        bare.counts = false;
        const audit::PointSurvey a = survey_of(r, asked), b = survey_of(r, bare);
        EXPECT_EQ(b.grid.first.empty(), a.grid.shift > 0);
        EXPECT_EQ(b.grid.bits, a.grid.bits);
        EXPECT_EQ(audit::covered_cells(b.grid), audit::covered_cells(a.grid));
        EXPECT_GT(audit::covered_cells(b.grid), 0u);
        EXPECT_EQ(b.grid.outside, a.grid.outside);
        EXPECT_EQ(audit::pulse_density(b), audit::pulse_density(a));
        audit::SurveyGrid judged = b.grid;
        audit::coarsen_grid(judged, audit::kCountedCells);
        EXPECT_EQ(audit::covered_cells(judged), audit::covered_cells(a.grid));
    }
}

// The fastest kernel the processor has runs, as the operating system sees
// the processor: a detection that never finds AVX-512 would lose its speed
// silently.
TEST(Survey, RunsTheFastestKernelTheProcessorHas) {
#if defined(__linux__) && defined(__x86_64__)
    std::ifstream info("/proc/cpuinfo");
    std::set<std::string> flags;
    for (std::string line; flags.empty() && std::getline(info, line);) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;) flags.insert(w);
    }
    bool avx512 = true;
    for (const char* f : {"avx512f", "avx512vl", "avx512bw", "avx512dq", "avx512vbmi", "avx512_vbmi2", "popcnt"})
        avx512 &= flags.count(f) > 0;
    const bool avx2 = flags.count("avx2") > 0;
    EXPECT_EQ(audit::survey_kernel_available(audit::SurveyKernel::avx512), avx512);
    EXPECT_EQ(audit::survey_kernel_available(audit::SurveyKernel::avx2), avx2);
    EXPECT_EQ(audit::chosen_survey_kernel(), avx512 ? audit::SurveyKernel::avx512
                                             : avx2 ? audit::SurveyKernel::avx2
                                                    : audit::SurveyKernel::scalar);
#else
    GTEST_SKIP() << "the processor's flags are read from /proc/cpuinfo";
#endif
}

// In a long run of one swath the times are folded in lanes: the
// extremes and the count of finite times come out as the records hold
// them, however the NaN, infinities and -0 fall among the lanes.
TEST(Survey, TimesOfOneSwathInLanes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> cases = {
        {5, 4, 3, 2, 1, 0, -1, -2},
        {nan, nan, nan, nan, nan, nan, nan, nan},
        {INFINITY, -INFINITY, nan, 7, nan, nan, nan, nan},
        {-0.0, 0.0, -0.0, -0.0, 0.0, nan, -0.0, 1},
        {3, 3, 3, 3, -INFINITY, 3, 3, 3, 2.5, 3, 3, 3, 3, 3, 3, 3, 4},
    };
    for (const std::vector<double>& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c));
        // four untimed records on either side: the case's fill whole steps
        std::vector<double> times(4, nan);
        times.insert(times.end(), c.begin(), c.end());
        times.insert(times.end(), 4, nan);
        Records r = make_records(6, 0, times.size(), 1, 5);
        for (std::size_t i = 0; i < r.count(); ++i) std::memcpy(r.bytes.data() + i * r.length + 22, &times[i], 8);
        EXPECT_EQ(counts(survey_of(r, audit::GridPlan{})), counts(count(r, 1).s));
    }
}

TEST(Survey, GridFitsItsCellsAndCountsWhatFallsOutside) {
    const Records r = make_records(1, 0, 5000, 3, 11);
    const std::uint64_t first = count(r, 1).s.first_returns;
    audit::GridPlan plan = plan_for(1);
    plan.max_cells = 1000;  // 1000 x 750 cells of 1 do not fit: cells of 32 do
    audit::PointSurvey s = survey_of(r, plan);
    EXPECT_EQ(s.grid.cell, 32);
    EXPECT_LE(std::uint64_t{s.grid.cols} * s.grid.rows, 1000u);
    EXPECT_EQ(std::accumulate(s.grid.first.begin(), s.grid.first.end(), std::uint64_t{0}), first);

    plan = plan_for(8);
    plan.max_x = 500;  // half the points lie beyond the box
    s = survey_of(r, plan);
    std::uint64_t beyond = 0;
    for (std::size_t i = 0; i < r.count(); ++i)
        beyond += (r.at(i)[14] & 7) == 1 && get<std::int32_t>(r.at(i), 0) * 0.25 + 0.5 >= 504;
    EXPECT_GT(beyond, 0u);
    EXPECT_EQ(s.grid.outside, beyond);
    // Pulse density counts the first returns in the grid alone; -1 where
    // no cell holds one.
    EXPECT_DOUBLE_EQ(audit::pulse_density(s), static_cast<double>(first - beyond) / (64.0 * cells_of(s.grid).size()));

    plan.min_x = 2000, plan.max_x = 3000;  // beside every point: cells, none covered
    s = survey_of(r, plan);
    EXPECT_GT(s.grid.cols, 0u);
    EXPECT_EQ(s.grid.outside, first);
    EXPECT_EQ(audit::pulse_density(s), -1);

    plan.min_x = NAN;  // no cell in such a box
    s = survey_of(r, plan);
    EXPECT_TRUE(s.grid.first.empty());
    EXPECT_EQ(s.grid.outside, first);
    EXPECT_EQ(audit::pulse_density(s), -1);
    s = survey_of(r, audit::GridPlan{});  // no grid asked for
    EXPECT_EQ(s.grid.outside, 0u);
    EXPECT_EQ(audit::pulse_density(s), -1);
}

audit::PointSurvey scan_survey(const std::string& path, std::atomic<int>* spare) {
    audit::PointSurvey s;
    audit::TileTarget t = audit::named_tile(path.c_str());
    t.survey = &s;
    t.grid.cell = 2;
    t.spare = spare;
    t.share_from = 0;
    t.share_segment = 64 << 10;
    audit::TileScan scan;
    std::string why;
    EXPECT_EQ(audit::scan_tile(t, scan, why), lidar::kDone) << why;
    audit::finish_survey(s);
    return s;
}

TEST(Survey, SharedScanFindsWhatOneThreadFinds) {
    TempDir d;
    LasRecipe recipe;
    recipe.points = spread_points(140000);
    for (int k = 0; k < 4; ++k) recipe.stated_extents[k] = k % 2 ? -1e4 : 1e4;
    write_file(d.file("big.las"), build_las(recipe));
    std::atomic<int> spare{3};
    const audit::PointSurvey one = scan_survey(d.file("big.las"), nullptr);
    EXPECT_EQ(one.points, 140000u);
    EXPECT_GT(audit::covered_cells(one.grid), 0u);
    EXPECT_FALSE(one.grid.bits.empty());  // counted in blocks: the threads' bits merge too
    expect_same(scan_survey(d.file("big.las"), &spare), one);
    EXPECT_EQ(spare.load(), 3);
    // The report gives the grid as laid, not the counts' coarser one.
    const nlohmann::json c = audit_json({"--cell", "2", d.file("big.las")})["survey"]["coverage"];
    const audit::GridShape laid = audit::laid_shape(one.grid);
    EXPECT_EQ(std::tuple(c["cell"].get<double>(), c["cols"].get<std::uint32_t>(), c["rows"].get<std::uint32_t>(),
                         c["covered_cells"].get<std::uint64_t>()),
              std::tuple(one.grid.cell, laid.cols, laid.rows, audit::covered_cells(one.grid)));
}

// Decoded by chunks on several threads, a LAZ file surveys as its twin,
// decompressed elsewhere, does read as LAS.
TEST(Survey, LazFileSurveysAsItsTwin) {
    std::atomic<int> spare{2};
    int twins = 0;
    for (const auto& f : std::filesystem::directory_iterator(LASDATA_V14_DIR)) {
        const std::string laz = f.path().string();
        const std::string twin = laz.substr(0, laz.size() - 4) + ".twin.las";
        if (!laz.ends_with(".laz") || !std::filesystem::exists(twin)) continue;
        SCOPED_TRACE(laz);
        const audit::PointSurvey a = scan_survey(laz, &spare);
        expect_same(a, scan_survey(twin, nullptr));
        twins += a.points > 0;
    }
    EXPECT_GE(twins, 5);
}

// A tile of 60 x 60 m with a point every 0.5 m, every other one a first
// return, and a hole of 20 x 20 m: density and pulse density as counted on
// the test's own grid of the audit's default cells (1.42 m, QL2's).
TEST(Survey, DensityOfATileOfKnownSpacing) {
    TempDir d;
    LasRecipe recipe;
    recipe.offset[0] = 500000, recipe.offset[1] = 4000000;
    Cells cells;
    std::uint64_t first = 0;
    for (int i = 0; i < 120; ++i)
        for (int j = 0; j < 120; ++j) {
            const double x = 0.25 + 0.5 * i, y = 0.25 + 0.5 * j;
            if (x > 20 && x < 40 && y > 20 && y < 40) continue;
            const bool is_first = (i + j) % 2;
            recipe.points.push_back({static_cast<std::int32_t>(std::lround(x * 100)),
                                     static_cast<std::int32_t>(std::lround(y * 100)), 0,
                                     static_cast<std::uint8_t>(is_first ? 1 | 2 << 3 : 2 | 2 << 3)});
            first += is_first;
            if (is_first) cells[{cell_at(500000 + x, 1.42), cell_at(4000000 + y, 1.42)}];
        }
    recipe.stated_count = static_cast<std::uint32_t>(recipe.points.size());
    const double ext[6] = {500000 + 59.75, 500000 + 0.25, 4000000 + 59.75, 4000000 + 0.25, 0, 0};
    std::copy(ext, ext + 6, recipe.stated_extents);
    write_file(d.file("tile.las"), build_las(recipe));
    const nlohmann::json c = audit_json({d.file("tile.las")})["survey"]["coverage"];
    const double area = cells.size() * 1.42 * 1.42, points = recipe.points.size() / area, pulses = first / area;
    EXPECT_EQ(c["cell"], 1.42);
    EXPECT_NEAR(c["point_density"].get<double>(), points, points / 100);
    EXPECT_NEAR(c["pulse_density"].get<double>(), pulses, pulses / 100);
    // Four points a square metre, two of them first returns, where there
    // are points at all.
    EXPECT_NEAR(c["point_density"].get<double>(), 4, 0.5);
    EXPECT_NEAR(c["pulse_density"].get<double>(), 2, 0.25);
    // --cell sets the cell in the file's units.
    EXPECT_EQ(audit_json({"--cell", "5", d.file("tile.las")})["survey"]["coverage"]["cell"], 5);
    // The statistics alone survey nothing.
    EXPECT_TRUE(audit_json({"--profile", "stats", d.file("tile.las")})["survey"].is_null());
}

// A grid summed for keeping: every first return lands in the cell of the
// coarser grid that holds its own cell, whichever side of 0 it lies, and
// the covered count is the fine grid's.
TEST(Survey, CoarsenedGridKeepsEveryReturnInItsCell) {
    std::mt19937 rng(7);
    for (const std::int64_t col0 : {-13, 0, 6}) {
        SCOPED_TRACE(col0);
        audit::SurveyGrid g;
        g.cell = 1, g.col0 = col0, g.row0 = -col0 - 1, g.cols = 37, g.rows = 29;
        g.first.resize(std::size_t{g.cols} * g.rows);
        for (std::uint32_t& n : g.first) n = rng() % 3 == 0 ? 0 : rng() % 50;
        const Cells want = cells_of(g, 8);
        const std::uint64_t covered = audit::covered_cells(g);
        audit::coarsen_grid(g, 40);
        ASSERT_EQ(g.shift, 3u);
        EXPECT_EQ(audit::covered_cells(g), covered);
        EXPECT_EQ(cells_of(g), want);
    }
}

}  // namespace
