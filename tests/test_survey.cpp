// The survey of a tile's points against figures counted here record by
// record: whatever blocks the records come in and however they are merged,
// shared between threads or decoded from LAZ, and the density of a tile
// of known spacing.
#include "audit_json.h"
#include "las_file.h"
#include "survey.h"
#include "tile_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace lastest;

namespace {

struct Records {
    unsigned format;
    std::size_t length;
    std::vector<unsigned char> bytes;
    std::size_t count() const { return bytes.size() / length; }
    const unsigned char* at(std::size_t i) const { return bytes.data() + i * length; }
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
    static const std::size_t kLength[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    Records r{format, kLength[format] + extra, {}};
    r.bytes.resize(n * r.length);
    std::mt19937_64 g(seed);
    for (unsigned char& b : r.bytes) b = static_cast<unsigned char>(g());
    const std::size_t source = format >= 6 ? 20 : 18, gps = format >= 6 ? 22 : 20;
    const bool timed = format >= 6 || (format != 0 && format != 2);
    std::uint16_t id = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char* p = r.bytes.data() + i * r.length;
        const std::int32_t x = static_cast<std::int32_t>(g() % 4000), y = static_cast<std::int32_t>(g() % 3000) - 500;
        std::memcpy(p, &x, 4);
        std::memcpy(p + 4, &y, 4);
        if (g() % 50 == 0) id = static_cast<std::uint16_t>(g() % ids);
        std::memcpy(p + source, &id, 2);
        if (timed) {
            double t = static_cast<double>(g() % 1000000) / 8;
            if (g() % 97 == 0) t = g() % 2 ? std::numeric_limits<double>::quiet_NaN() : -INFINITY;
            std::memcpy(p + gps, &t, 8);
        }
    }
    return r;
}

// Exact binary scale, offset and cell: each point's cell is beyond doubt.
audit::GridPlan plan_for(double cell) {
    audit::GridPlan p;
    p.cell = cell;
    p.scale[0] = p.scale[1] = 0.25;
    p.offset[0] = 0.5;
    p.offset[1] = -3;
    p.min_x = 0.5;
    p.max_x = 0.5 + 3999 * 0.25;
    p.min_y = -3 - 500 * 0.25;
    p.max_y = -3 + 2499 * 0.25;
    return p;
}

// What the survey must find, counted here one record at a time.
struct Expected {
    std::uint64_t flags[4] = {}, first = 0, last = 0, points = 0;
    unsigned imin = 65535, imax = 0, ior = 0;
    double amin = INFINITY, amax = -INFINITY;
    std::map<std::uint16_t, audit::Swath> swaths;
    std::map<std::pair<std::int64_t, std::int64_t>, std::uint32_t> cells;
};

Expected count(const Records& r, double cell) {
    Expected e;
    const bool ext = r.format >= 6;
    const bool timed = ext || (r.format != 0 && r.format != 2);
    for (std::size_t i = 0; i < r.count(); ++i) {
        const unsigned char* p = r.at(i);
        const unsigned number = ext ? p[14] & 15 : p[14] & 7, returns = ext ? p[14] >> 4 : (p[14] >> 3) & 7;
        for (int f = 0; f < (ext ? 4 : 3); ++f) e.flags[f] += p[15] >> (ext ? f : 5 + f) & 1;
        e.first += number == 1;
        e.last += number != 0 && number == returns;
        const unsigned in = get<std::uint16_t>(p, 12);
        e.imin = std::min(e.imin, in);
        e.imax = std::max(e.imax, in);
        e.ior |= in & 255;
        const double angle = ext ? get<std::int16_t>(p, 18) * 0.006 : static_cast<std::int8_t>(p[16]);
        e.amin = std::min(e.amin, angle);
        e.amax = std::max(e.amax, angle);
        const std::uint16_t id = get<std::uint16_t>(p, ext ? 20 : 18);
        audit::Swath& w = e.swaths[id];
        w.id = id;
        ++w.points;
        const double t = timed ? get<double>(p, ext ? 22 : 20) : NAN;
        if (std::isfinite(t)) {
            w.gps_min = w.timed ? std::min(w.gps_min, t) : t;
            w.gps_max = w.timed ? std::max(w.gps_max, t) : t;
            ++w.timed;
        }
        if (number == 1) {
            const double x = get<std::int32_t>(p, 0) * 0.25 + 0.5, y = get<std::int32_t>(p, 4) * 0.25 - 3;
            ++e.cells[{static_cast<std::int64_t>(std::floor(x / cell)), static_cast<std::int64_t>(std::floor(y / cell))}];
        }
        ++e.points;
    }
    return e;
}

audit::PointSurvey survey_of(const Records& r, const audit::GridPlan& plan, std::vector<std::size_t> cuts = {}) {
    audit::PointSurvey s;
    audit::start_survey(s, plan);
    cuts.push_back(r.count());
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        audit::survey_block(s, r.at(from), to - from, r.length, r.format);
        from = to;
    }
    audit::finish_survey(s);
    return s;
}

void expect_same(const audit::PointSurvey& a, const audit::PointSurvey& b) {
    EXPECT_EQ(a.points, b.points);
    EXPECT_EQ(a.withheld, b.withheld);
    EXPECT_EQ(a.synthetic, b.synthetic);
    EXPECT_EQ(a.key_point, b.key_point);
    EXPECT_EQ(a.overlap, b.overlap);
    EXPECT_EQ(a.first_returns, b.first_returns);
    EXPECT_EQ(a.last_returns, b.last_returns);
    EXPECT_EQ(a.intensity_min, b.intensity_min);
    EXPECT_EQ(a.intensity_max, b.intensity_max);
    EXPECT_EQ(a.intensity_low_or, b.intensity_low_or);
    EXPECT_EQ(a.scan_angle_min, b.scan_angle_min);
    EXPECT_EQ(a.scan_angle_max, b.scan_angle_max);
    EXPECT_EQ(a.record_hash, b.record_hash);
    EXPECT_EQ(a.other_swath_points, b.other_swath_points);
    EXPECT_EQ(a.other_swaths, b.other_swaths);
    ASSERT_EQ(a.swaths.size(), b.swaths.size());
    for (std::size_t k = 0; k < a.swaths.size(); ++k) {
        EXPECT_EQ(a.swaths[k].id, b.swaths[k].id);
        EXPECT_EQ(a.swaths[k].points, b.swaths[k].points);
        EXPECT_EQ(a.swaths[k].timed, b.swaths[k].timed);
        EXPECT_EQ(a.swaths[k].gps_min, b.swaths[k].gps_min);
        EXPECT_EQ(a.swaths[k].gps_max, b.swaths[k].gps_max);
    }
    EXPECT_EQ(a.grid.cell, b.grid.cell);
    EXPECT_EQ(a.grid.col0, b.grid.col0);
    EXPECT_EQ(a.grid.row0, b.grid.row0);
    EXPECT_EQ(a.grid.outside, b.grid.outside);
    EXPECT_TRUE(a.grid.first == b.grid.first);
}

struct Case {
    unsigned format;
    std::size_t extra;
};

TEST(Survey, EveryFigureIsWhatTheRecordsHoldCountedOneByOne) {
    for (const Case c : {Case{0, 0}, Case{1, 0}, Case{2, 3}, Case{3, 0}, Case{5, 0}, Case{6, 0}, Case{7, 2}, Case{8, 0},
                         Case{10, 0}}) {
        SCOPED_TRACE("format " + std::to_string(c.format) + " extra " + std::to_string(c.extra));
        const Records r = make_records(c.format, c.extra, 20000, 40, c.format + 1);
        const Expected e = count(r, 8);
        const audit::PointSurvey s = survey_of(r, plan_for(8), {1, 4097, 9000});
        EXPECT_EQ(s.points, e.points);
        EXPECT_EQ(s.synthetic, e.flags[0]);
        EXPECT_EQ(s.key_point, e.flags[1]);
        EXPECT_EQ(s.withheld, e.flags[2]);
        EXPECT_EQ(s.overlap, e.flags[3]);
        EXPECT_EQ(s.first_returns, e.first);
        EXPECT_EQ(s.last_returns, e.last);
        EXPECT_EQ(s.intensity_min, e.imin);
        EXPECT_EQ(s.intensity_max, e.imax);
        EXPECT_EQ(s.intensity_low_or, e.ior);
        EXPECT_EQ(s.scan_angle_min, e.amin);
        EXPECT_EQ(s.scan_angle_max, e.amax);
        ASSERT_EQ(s.swaths.size(), e.swaths.size());
        for (const audit::Swath& w : s.swaths) {
            const audit::Swath& x = e.swaths.at(w.id);
            EXPECT_EQ(w.points, x.points);
            EXPECT_EQ(w.timed, x.timed);
            if (x.timed) {
                EXPECT_EQ(w.gps_min, x.gps_min);
                EXPECT_EQ(w.gps_max, x.gps_max);
            }
        }
        // Every first return inside the box, on a grid of 8 x 8 units whose
        // cells are numbered from the origin.
        const audit::SurveyGrid& g = s.grid;
        EXPECT_EQ(g.outside, 0u);
        EXPECT_EQ(g.col0, 0);
        EXPECT_EQ(g.row0, -16);
        std::uint64_t cells = 0;
        for (std::uint32_t row = 0; row < g.rows; ++row)
            for (std::uint32_t col = 0; col < g.cols; ++col) {
                const std::uint32_t n = g.first[std::size_t{row} * g.cols + col];
                const auto it = e.cells.find({g.col0 + col, g.row0 + row});
                EXPECT_EQ(n, it == e.cells.end() ? 0 : it->second) << col << " " << row;
                cells += n != 0;
            }
        EXPECT_EQ(cells, e.cells.size());
        EXPECT_EQ(audit::covered_cells(g), e.cells.size());
        EXPECT_EQ(audit::covered_area(g), 64.0 * e.cells.size());
    }
}

// The fingerprint and every count are the same for the same records in any
// order, in any blocks, and merged from parts; one changed bit changes it.
TEST(Survey, OrderBlocksAndMergesChangeNothing) {
    for (const unsigned ids : {30u, 5000u}) {  // many: only the lowest are kept
        SCOPED_TRACE(ids);
        const Records r = make_records(6, 0, 30000, ids, 7);
        const audit::PointSurvey whole = survey_of(r, plan_for(4));
        Records shuffled = r;
        std::vector<std::size_t> order(r.count());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
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
        if (ids > audit::kMostSwaths) {
            ASSERT_EQ(whole.swaths.size(), audit::kMostSwaths);
            const Expected e = count(r, 4);
            EXPECT_EQ(whole.swaths.back().id, std::next(e.swaths.begin(), audit::kMostSwaths - 1)->first);
            EXPECT_EQ(whole.other_swaths, e.swaths.size() - audit::kMostSwaths);
            std::uint64_t kept = 0;
            for (const audit::Swath& w : whole.swaths) kept += w.points;
            EXPECT_EQ(kept + whole.other_swath_points, r.count());
        }
    }
    Records changed = make_records(1, 0, 1000, 3, 9);
    const std::uint64_t before = survey_of(changed, plan_for(4)).record_hash;
    changed.bytes[500 * 28 + 17] ^= 4;  // the user data of one record
    EXPECT_NE(survey_of(changed, plan_for(4)).record_hash, before);
}

// The AVX2 kernel finds what the scalar one finds, to the bit, in blocks
// of every length around its four-record step and 32-byte reads, with
// swaths in runs, scattered and beyond the most kept, and a grid that
// some first returns miss or none at all.
// A thread's surveys reuse the storage the one before it finished with: a
// tile of few ids surveyed after one of thousands (their table and further
// ids' bits in use) holds its own swaths alone, and so does the next tile of
// many.
TEST(Survey, ATileAfterOneOfManyIdsHoldsItsOwnAlone) {
    const Records many = make_records(1, 0, 80000, 5000, 11);  // ~1,500 ids
    const Records few = make_records(1, 0, 20000, 20, 12);
    const audit::PointSurvey first = survey_of(many, plan_for(8));
    ASSERT_EQ(first.swaths.size(), audit::kMostSwaths);
    const audit::PointSurvey small = survey_of(few, plan_for(8));
    const Expected e = count(few, 8);
    EXPECT_EQ(small.other_swaths, 0u);
    EXPECT_EQ(small.other_swath_points, 0u);
    ASSERT_EQ(small.swaths.size(), e.swaths.size());
    auto it = e.swaths.begin();
    for (const audit::Swath& w : small.swaths) {
        EXPECT_EQ(w.id, it->first);
        EXPECT_EQ(w.points, it->second.points);
        ++it;
    }
    expect_same(survey_of(many, plan_for(8)), first);
    EXPECT_EQ(first.other_swaths, count(many, 8).swaths.size() - audit::kMostSwaths);
}

TEST(Survey, KernelsAgree) {
    if (!lidar::scan_kernel_available(lidar::ScanKernel::avx2)) GTEST_SKIP() << "no AVX2";
    struct Kind {
        unsigned format;
        std::size_t extra;
        unsigned ids;
        double max_x;  // of the grid's box; NaN: no cell
    };
    const std::vector<std::size_t> cuts = {1, 2, 3, 5, 9, 14, 27, 4096 + 40, 4096 + 41, 13001};
    for (const Kind k : {Kind{0, 0, 1, 1e9}, Kind{1, 0, 40, 500}, Kind{2, 1, 3, 1e9}, Kind{3, 0, 3000, 1e9},
                         Kind{4, 0, 7, 1e9}, Kind{5, 0, 7, NAN}, Kind{6, 0, 1, 500}, Kind{7, 0, 5000, 1e9},
                         Kind{8, 3, 40, 1e9}, Kind{9, 0, 2, 1e9}, Kind{10, 0, 40, NAN}}) {
        SCOPED_TRACE("format " + std::to_string(k.format) + " ids " + std::to_string(k.ids));
        const Records r = make_records(k.format, k.extra, 20000, k.ids, 100 + k.format);
        audit::GridPlan plan = plan_for(4);
        plan.max_x = k.max_x;
        for (const bool grid : {true, false}) {
            audit::PointSurvey s[2];
            const lidar::ScanKernel kernel[2] = {lidar::ScanKernel::scalar, lidar::ScanKernel::avx2};
            bool vector_ran = false;
            for (int i = 0; i < 2; ++i) {
                audit::start_survey(s[i], grid ? plan : audit::GridPlan{});
                std::size_t from = 0;
                for (std::size_t to : cuts) {
                    to = std::min(to + from, r.count());
                    vector_ran |= audit::survey_block_with(kernel[i], s[i], r.at(from), to - from, r.length, r.format) ==
                                  lidar::ScanKernel::avx2;
                    from = to;
                }
                audit::survey_block_with(kernel[i], s[i], r.at(from), r.count() - from, r.length, r.format);
                audit::finish_survey(s[i]);
            }
            EXPECT_TRUE(vector_ran);
            EXPECT_EQ(s[0].points, r.count());
            expect_same(s[1], s[0]);
        }
    }
}

// In a long run of one swath the times are folded four at a time: the
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
    for (std::size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        // four untimed records on either side: the case's fill whole steps
        std::vector<double> times(4, nan);
        times.insert(times.end(), cases[c].begin(), cases[c].end());
        times.insert(times.end(), 4, nan);
        Records r = make_records(6, 0, times.size(), 1, 5);
        std::uint64_t timed = 0;
        double lo = INFINITY, hi = -INFINITY;
        for (std::size_t i = 0; i < r.count(); ++i) {
            std::memcpy(r.bytes.data() + i * r.length + 22, &times[i], 8);
            if (!std::isfinite(times[i])) continue;
            ++timed;
            lo = std::min(lo, times[i] + 0.0);
            hi = std::max(hi, times[i] + 0.0);
        }
        const audit::PointSurvey s = survey_of(r, audit::GridPlan{});
        ASSERT_EQ(s.swaths.size(), 1u);
        EXPECT_EQ(s.swaths[0].points, r.count());
        EXPECT_EQ(s.swaths[0].timed, timed);
        if (timed) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(s.swaths[0].gps_min), std::bit_cast<std::uint64_t>(lo));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(s.swaths[0].gps_max), std::bit_cast<std::uint64_t>(hi));
        }
    }
}

TEST(Survey, GridFitsItsCellsAndCountsWhatFallsOutside) {
    const Records r = make_records(1, 0, 5000, 3, 11);
    const Expected e = count(r, 1);
    audit::GridPlan plan = plan_for(1);
    plan.max_cells = 1000;  // 1000 x 750 cells of 1 do not fit: cells of 32 do
    audit::PointSurvey s = survey_of(r, plan);
    EXPECT_EQ(s.grid.cell, 32);
    EXPECT_LE(std::uint64_t{s.grid.cols} * s.grid.rows, 1000u);
    std::uint64_t in = 0;
    for (std::uint32_t n : s.grid.first) in += n;
    EXPECT_EQ(in, e.first);

    plan = plan_for(8);
    plan.max_x = 500;  // half the points lie beyond the box
    s = survey_of(r, plan);
    std::uint64_t beyond = 0;
    for (std::size_t i = 0; i < r.count(); ++i)
        beyond += (r.at(i)[14] & 7) == 1 && get<std::int32_t>(r.at(i), 0) * 0.25 + 0.5 >= 504;
    EXPECT_GT(beyond, 0u);
    EXPECT_EQ(s.grid.outside, beyond);

    plan.min_x = NAN;  // no cell in such a box
    s = survey_of(r, plan);
    EXPECT_TRUE(s.grid.first.empty());
    EXPECT_EQ(s.grid.outside, e.first);
    EXPECT_EQ(survey_of(r, audit::GridPlan{}).grid.outside, 0u);  // no grid asked for
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
    recipe.points = spread_points(70000);
    recipe.stated_extents[0] = 1e4;
    recipe.stated_extents[1] = -1e4;
    recipe.stated_extents[2] = 1e4;
    recipe.stated_extents[3] = -1e4;
    write_file(d.file("big.las"), build_las(recipe));
    std::atomic<int> spare{3};
    const audit::PointSurvey one = scan_survey(d.file("big.las"), nullptr);
    EXPECT_EQ(one.points, 70000u);
    EXPECT_GT(audit::covered_cells(one.grid), 0u);
    expect_same(scan_survey(d.file("big.las"), &spare), one);
    EXPECT_EQ(spare.load(), 3);
}

// Decoded by chunks on several threads, a LAZ file surveys as its twin,
// decompressed elsewhere, does read as LAS.
TEST(Survey, LazFileSurveysAsItsTwin) {
    std::atomic<int> spare{2};
    int twins = 0;
    for (const auto& f : std::filesystem::directory_iterator(LASDATA_V14_DIR)) {
        const std::string laz = f.path().string();
        if (!laz.ends_with(".laz")) continue;
        const std::string twin = laz.substr(0, laz.size() - 4) + ".twin.las";
        if (!std::filesystem::exists(twin)) continue;
        SCOPED_TRACE(laz);
        const audit::PointSurvey a = scan_survey(laz, &spare), b = scan_survey(twin, nullptr);
        expect_same(a, b);
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
    recipe.scale[0] = recipe.scale[1] = recipe.scale[2] = 0.01;
    recipe.offset[0] = 500000;
    recipe.offset[1] = 4000000;
    std::map<std::pair<long, long>, int> cells;
    std::uint64_t first = 0;
    for (int i = 0; i < 120; ++i)
        for (int j = 0; j < 120; ++j) {
            const double x = 0.25 + 0.5 * i, y = 0.25 + 0.5 * j;
            if (x > 20 && x < 40 && y > 20 && y < 40) continue;
            Point p;
            p.x = static_cast<std::int32_t>(std::lround(x * 100));
            p.y = static_cast<std::int32_t>(std::lround(y * 100));
            p.bits = (i + j) % 2 ? 1 | 2 << 3 : 2 | 2 << 3;
            first += (i + j) % 2;
            if ((i + j) % 2) cells[{std::lround(std::floor((500000 + x) / 1.42)), std::lround(std::floor((4000000 + y) / 1.42))}];
            recipe.points.push_back(p);
        }
    recipe.stated_count = static_cast<std::uint32_t>(recipe.points.size());
    const double ext[6] = {500000 + 59.75, 500000 + 0.25, 4000000 + 59.75, 4000000 + 0.25, 0, 0};
    std::copy(ext, ext + 6, recipe.stated_extents);
    write_file(d.file("tile.las"), build_las(recipe));
    const nlohmann::json c = audit_json({d.file("tile.las")})["survey"]["coverage"];
    const double area = cells.size() * 1.42 * 1.42;
    EXPECT_EQ(c["cell"], 1.42);
    EXPECT_NEAR(c["point_density"].get<double>(), recipe.points.size() / area, recipe.points.size() / area / 100);
    EXPECT_NEAR(c["pulse_density"].get<double>(), first / area, first / area / 100);
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
        audit::SurveyGrid g;
        g.cell = 1, g.col0 = col0, g.row0 = -col0 - 1, g.cols = 37, g.rows = 29;
        g.first.resize(std::size_t{g.cols} * g.rows);
        for (std::uint32_t& n : g.first) n = rng() % 3 == 0 ? 0 : rng() % 50;
        std::map<std::pair<std::int64_t, std::int64_t>, std::uint64_t> want;
        for (std::uint32_t r = 0; r < g.rows; ++r)
            for (std::uint32_t c = 0; c < g.cols; ++c)
                if (const std::uint32_t n = g.first[std::size_t{r} * g.cols + c])
                    want[{static_cast<std::int64_t>(std::floor((g.col0 + c) / 8.0)),
                          static_cast<std::int64_t>(std::floor((g.row0 + r) / 8.0))}] += n;
        const std::uint64_t covered = audit::covered_cells(g);
        audit::coarsen_grid(g, 40);
        ASSERT_EQ(g.shift, 3u);
        EXPECT_EQ(audit::covered_cells(g), covered);
        std::map<std::pair<std::int64_t, std::int64_t>, std::uint64_t> got;
        for (std::uint32_t r = 0; r < g.rows; ++r)
            for (std::uint32_t c = 0; c < g.cols; ++c)
                if (const std::uint32_t n = g.first[std::size_t{r} * g.cols + c]) got[{g.col0 + c, g.row0 + r}] = n;
        EXPECT_EQ(got, want) << col0;
    }
}

}  // namespace
