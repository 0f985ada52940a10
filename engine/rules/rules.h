// What a delivery is judged by: every rule with a stable id, how severe,
// what it checks and where it comes from, and the checks that find each one
// in a file's header, VLRs and points. Internal to the audit: the family's
// shared library carries none of it.
#pragma once

#include "las_header.h"
#include "scan.h"  // PointStats, PointDetail
#include "vlrs.h"

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

// The USGS Lidar Base quality levels a delivery's density is judged by.
enum class QualityLevel { none, ql0, ql1, ql2, ql3 };
struct QualityLimits {
    double anps = 0;  // aggregate nominal pulse spacing, at most, in metres
    double anpd = 0;  // aggregate nominal pulse density, at least, per square metre
};
// QL0 and QL1: 0.35 m, 8/m2; QL2: 0.71 m, 2/m2; QL3: 1.41 m, 0.5/m2; none: zeros.
QualityLimits quality_limits(QualityLevel q);

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
