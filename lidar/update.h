// The header update as a routine that reports instead of ending the process,
// for tests, benchmarks and fuzzers; update_header wraps it.
#pragma once

#include <cstddef>
#include <cstdint>

struct LAS12Header;

namespace lidar {

struct PointStats;

// Point record size for a LAS type code 1..8; 0 for any other code.
std::size_t record_length_for(int LASType);

// Writes the statistics of s into the header: count, counts for return
// numbers 1..5 and the six extents in real-world units. An empty scan keeps
// the historical start values for the extents.
void store_stats(LAS12Header& h, const PointStats& s);

// Validates and updates filename in place. Returns 0 once the new header is
// written, synced and the file closed; otherwise prints why, naming the
// file, and returns -1 with the file's bytes as they were (unless the
// header write itself failed, which is reported as such).
int update_header_core(const char* filename);

}  // namespace lidar
