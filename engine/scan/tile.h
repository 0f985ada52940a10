// A tile as the engine reads it: any LAS version, LAZ too, the header alone
// if asked, with the detail the rules judge, and idle threads to borrow.
#pragma once

#include "file_scan.h"
#include "survey.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace audit {

struct TileScan;

struct TileTarget : lidar::Target {
    // The header alone, no point record read (stats stay empty).
    bool headers_only = false;
    // If given, the detail of every record scanned.
    lidar::PointDetail* detail = nullptr;
    // The audit's idle threads, which a large scan may borrow: each one
    // taken (by decrementing) is given back when the scan ends.
    std::atomic<int>* spare = nullptr;
    // Point areas from this size on are shared, in segments of about
    // share_segment bytes (tests set both lower).
    std::uint64_t share_from = std::uint64_t{64} << 20;
    std::uint64_t share_segment = std::uint64_t{16} << 20;
    // If given, the survey of every record scanned, its grid laid by grid
    // over the header's box (the box, scale and offset are the header's).
    PointSurvey* survey = nullptr;
    GridPlan grid;
    // If given, called once the header is read and before any point is,
    // with the scan so far and the open file: it may change the plan (the
    // cell, in the file's units, once its coordinate system is known).
    std::function<void(GridPlan&, const TileScan&, lidar::File&)> plan_grid;
};

inline TileTarget named_tile(const char* filename) {
    TileTarget t;
    static_cast<lidar::Target&>(t) = lidar::named(filename);
    return t;
}

// A disagreement between a LAZ file's header, chunk table and chunks that
// still let its points be decoded: which rule it breaks, and the values.
struct LazProblem {
    const char* rule;
    std::string expected, actual;
};

struct TileScan : lidar::FileScan {
    // The file's first bytes as read, raw's among them; a small file's
    // whole, so its VLRs and points need no read of their own. In the
    // target's buffer while it lasts, else raw.
    const unsigned char* head = nullptr;
    std::size_t head_size = 0;
    bool head_ends = false;       // the file ended within them
    std::string vexholt_refusal;  // what Vexholt would say of it ("" if it would update it)
    bool laz = false;             // the point area was decoded from LAZ chunks
    bool laz_counts_chunks = false;  // the chunk table gives each chunk's point count (variable chunks)
    std::vector<LazProblem> laz_problems;
    // The file ends before the points its header claims (a LAZ chunk or
    // chunk table cut short), found where the point area alone cannot say.
    bool short_points = false;
    GridPlan grid;  // how the survey's grid was laid, if surveyed
};

}  // namespace audit
