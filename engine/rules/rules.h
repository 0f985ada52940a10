// What a delivery is judged by: every rule with a stable id, how severe,
// what it checks and where it comes from, and the checks that find each one
// in a file's header, VLRs and points. Internal to the audit: the family's
// shared library carries none of it.
#pragma once

#include "las_header.h"
#include "scan.h"  // PointStats, PointDetail

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lidar {

enum class Severity { error, warning };
const char* severity_name(Severity s);

// Where a rule comes from: a clause of the file's own LAS version, the
// USGS Lidar Base (LBS) delivery requirements for headers, or the delivery as a
// whole, or the LASzip format of compressed files.
enum class Origin { las, usgs, delivery, laszip };

struct Rule {
    const char* id;     // stable: scripts and reports key on it
    Severity severity;
    Origin origin;
    const char* checks;  // one line, for the rules table
    const char* clause;  // e.g. "Public Header Block: Point Data Format ID"
};

// Every rule, in the order reports list them.
std::span<const Rule> all_rules();
// The rule with this id; an unknown id is a programming error (aborts).
const Rule& rule(std::string_view id);

struct Finding {
    const Rule* rule = nullptr;
    std::string expected, actual;
    std::string_view source;  // e.g. "LAS 1.4, Public Header Block: Point Data Format ID"; lives as long as the process
};

// stats: the statistics rules alone (is the header stale?).
enum class Profile { las, usgs_lbs, stats };

// One Variable Length Record, or Extended VLR, as its header describes it.
struct Vlr {
    std::string user_id;  // up to the first NUL
    std::uint16_t record_id = 0;
    std::uint64_t length = 0;           // of the payload
    std::uint64_t payload_offset = 0;   // in the file
    bool extended = false;
};

// What the VLR walk found: the records that fit, the payloads rules and the
// coordinate system need, and what did not fit (one finding each).
struct VlrSet {
    std::vector<Vlr> vlrs;
    std::vector<Finding> problems;
    std::string geokeys, geo_doubles, geo_ascii;  // GeoTIFF: records 34735, 34736, 34737 of LASF_Projection
    std::string wkt;                              // OGC WKT: record 2112 of LASF_Projection
    std::string extra_bytes;                      // record 4 of LASF_Spec
    bool laszip = false;                          // record 22204 of laszip encoded
};

// Reads n bytes at offset of the file into out; returns how many it got
// (fewer at the end of the file), or -1 on a read error.
using ReadAt = std::int64_t (*)(void* context, std::uint64_t offset, unsigned char* out, std::size_t n);

// Walks the VLRs after the header and, for LAS 1.4, the extended VLRs, from
// the bytes given (the file's first bytes, as read) and read_at for what
// lies beyond them. Never reads outside [0, file_size), nor more than a few
// MiB of payloads whatever the counts and lengths say.
VlrSet read_vlrs(const LasHeader& h, const unsigned char* head, std::size_t head_size, std::uint64_t file_size,
                 ReadAt read_at, void* context);

// The checks of the header and VLRs: nothing in them needs a point record.
// raw holds the header's bytes (raw_size of them, at least the version's
// header size).
void header_rules(const LasHeader& h, const unsigned char* raw, std::size_t raw_size, std::uint64_t file_size,
                  const VlrSet& vlrs, Profile profile, std::vector<Finding>& out);

// The checks that need the point records: from the statistics and detail
// of one scan. now_gps is the time of the audit in GPS seconds, the latest
// plausible adjusted standard GPS time + 1e9.
void point_rules(const LasHeader& h, const PointStats& s, const PointDetail& d, double now_gps,
                 std::vector<Finding>& out);

// A finding of the rule with this id, its source written for header h's
// version (or the profile, or the delivery).
Finding finding(std::string_view id, const LasHeader* h, std::string expected, std::string actual);

}  // namespace lidar
