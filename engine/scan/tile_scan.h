// Opening, checking and scanning one tile of any LAS version, and fixing
// its statistics: the module's update, for every file the engine reads.
#pragma once

#include "tile.h"

#include <string>

namespace audit {

// Opens t (for update, or read-only) into f, validates what was opened and
// scans its point area: LAS 1.0-1.4, every point format, extra bytes, LAZ.
// kDone with f still open, or kRefused / kFailed with the reason in why.
// Never prints, never writes.
int open_and_scan_tile(const TileTarget& t, bool for_update, lidar::File& f, TileScan& out, std::string& why);

// The same read-only.
int scan_tile(const TileTarget& t, TileScan& out, std::string& why);

// Scans t and writes its statistics as the module's update does. scanned,
// if given, receives what the scan found.
int update_tile(const TileTarget& t, std::string& why, TileScan* scanned = nullptr);

}  // namespace audit
