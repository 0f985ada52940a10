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

// What the outputs keep of a file: its path and a few dozen bytes, not the
// whole result, so a delivery of 100,000 tiles stays cheap.
struct Tile {
    std::string path;
    Status status = Status::error;
    bool has_extent = false;
    double extent[4] = {};     // MinX MinY MaxX MaxY: as recomputed where scanned, else as stored
    std::string rules;         // the ids of the rules it fails, each once, comma-separated
    std::uint64_t points = 0;  // found by the scan, else what the header claims
    int system = -1;           // the coordinate system's class (lidar::Crs::system), -1: none
};

struct Collected {
    std::vector<Tile> tiles;           // in report order
    std::map<int, lidar::Crs> systems; // the first file's Crs of each class met
    Delivery delivery;
    std::vector<DeliveryFinding> consistency;  // set by finish
};

// Called with each result in report order.
void collect(Collected& c, const Result& r);
// After the last result: the delivery's consistency rules, also on the
// tiles that fail them.
void finish(Collected& c);

// A system's name as the outputs show it ("none" for -1).
std::string system_label(const Collected& c, int system);

// The page: self-contained, no network needed to open it.
std::string html_report(const Collected& c);

// Takes the next piece of a file's text; false when it cannot be written.
using Sink = std::function<bool(const std::string&)>;

// A FeatureCollection in longitude and latitude, handed to write in pieces
// (false from write stops it, and is returned). A file without an extent
// has a null geometry; one whose system PROJ cannot transform is left out,
// its path and why added to left_out.
bool tile_index(const Collected& c, std::vector<std::string>& left_out, const Sink& write);

}  // namespace audit
