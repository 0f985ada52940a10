// What the audit writes besides its report, once every file is judged: an
// HTML page with a map of the tiles, and a GeoJSON tile index for GIS.
#pragma once

#include "audit.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace audit {

// What a tile's system is when it has no class of its own.
constexpr int kNoSystem = -1;      // the file states none (or its header was not read)
constexpr int kUnidentified = -2;  // stated, but nothing to compare it by

// What the outputs keep of a file: its path and a few dozen bytes, not the
// whole result, so a delivery of 100,000 tiles stays cheap.
struct Tile {
    std::string path;
    Status status = Status::error;
    Verdict verdict = Verdict::fail;
    // Why it has no extent to draw ("no extent: no points"); null: it has one.
    const char* no_extent = "no extent: the header was not read";
    double extent[4] = {};     // MinX MinY MaxX MaxY: as recomputed where scanned, else as stored
    // The rules it fails, each once: those of severity error first, then
    // the warnings, each group in the rule list's order.
    std::vector<const lidar::Rule*> rules;
    std::uint64_t points = 0;  // found by the scan, else what the header claims
    int system = kNoSystem;    // the coordinate system's class (lidar::Crs::system)
    double density = -1;       // first returns per square unit covered; below 0: not surveyed
};

struct Collected {
    std::vector<Tile> tiles;           // in report order
    std::map<int, lidar::Crs> systems; // the first file's Crs of each class met
    Delivery delivery;  // gathered and finished by the run
    std::vector<DeliveryFinding> consistency;  // set by finish
};

// Called with each result in report order.
void collect(Collected& c, const Result& r);
// After the last result: the delivery's consistency rules, also on the
// tiles that fail them.
void finish(Collected& c);

// A system's name as the outputs show it: "none" where the file states
// none, "unidentified" where it states one no one could name.
std::string system_label(const Collected& c, int system);

// The page: self-contained, no network needed to open it.
std::string html_report(const Collected& c);

// Takes the next piece of a file's text; false when it cannot be written.
using Sink = std::function<bool(const std::string&)>;

// A FeatureCollection in longitude and latitude, handed to write in pieces
// (false from write stops it, and is returned): a feature for every file,
// with a null geometry and a "reason" where it has no place (no extent, no
// system, or PROJ cannot place it), counted in unplaced.
bool tile_index(const Collected& c, std::size_t& unplaced, const Sink& write);

}  // namespace audit
