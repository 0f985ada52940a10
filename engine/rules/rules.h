// What a delivery is judged by: every rule with a stable id, how severe,
// what it checks and where it comes from, and the checks that find each one
// in a file's header, VLRs and points. Internal to the audit: the family's
// shared library carries none of it.
#pragma once

#include "crs.h"
#include "las_header.h"
#include "scan.h"  // PointStats, PointDetail
#include "survey.h"
#include "vlrs.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lidar {

// off: the rule finds nothing (a profile file's choice).
enum class Severity { error, warning, off };
const char* severity_name(Severity s);

// Where a rule comes from: a clause of the file's own LAS version, the
// USGS Lidar Base (LBS) delivery requirements for headers, or the delivery as a
// whole, or the LASzip format of compressed files.
enum class Origin { las, usgs, delivery, laszip };

struct Rule {
    const char* id;     // stable: scripts and reports key on it
    Severity severity;  // as the list says, unless set_severities changed it
    Origin origin;
    const char* checks;  // one line, for the rules table
    const char* clause;  // e.g. "Public Header Block: Point Data Format ID"
};

// Every rule, in the order reports list them.
std::span<const Rule> all_rules();
// The rule with this id; an unknown id is a programming error (aborts).
const Rule& rule(std::string_view id);
// The same, or null for an id no rule has (from a user's file).
const Rule* find_rule(std::string_view id);

// Gives rules other severities for the rest of the process, as a profile
// file asks; the rules not named keep their own. Every reader of a rule's
// severity (verdicts, reports, the rules table) sees the change, so call it
// before judging starts, never while files are judged.
void set_severities(std::span<const std::pair<const Rule*, Severity>> changes);
// A rule's severity as the list gives it, whatever set_severities did.
Severity listed_severity(const Rule& r);

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
const char* quality_level_name(QualityLevel q);  // "QL2"; "" for none

// The class codes a delivery's points may use, with their names.
struct ClassTable {
    std::bitset<256> allowed;
    std::vector<std::pair<unsigned, std::string>> names;  // by code, ascending
};
// USGS LBS's: its minimum scheme and the standard classes it lets a
// project add.
const ClassTable& lbs_classes();

// The checks of the header and VLRs: nothing in them needs a point record.
// raw holds the header's bytes (raw_size of them, at least the version's
// header size).
void header_rules(const LasHeader& h, const unsigned char* raw, std::size_t raw_size, std::uint64_t file_size,
                  const VlrSet& vlrs, Profile profile, std::vector<Finding>& out);

// The checks of the coordinate system the VLRs give, once identified.
void crs_rules(const LasHeader& h, const Crs& crs, Profile profile, std::vector<Finding>& out);

// What the point rules judge a file by besides its own contents.
struct PointJudging {
    Profile profile = Profile::las;
    QualityLevel quality_level = QualityLevel::none;  // none: QL2 under usgs-lbs
    const ClassTable* classes = nullptr;              // null: lbs_classes()
    // The time of the audit in GPS seconds, the latest plausible adjusted
    // standard GPS time + 1e9.
    double now_gps = 0;
};

// The checks that need the point records: from the statistics, detail and
// survey of one scan. A survey of no points (not gathered) fires nothing;
// neither does a grid of no cells, nor a system of unknown units, a density
// rule.
void point_rules(const LasHeader& h, const PointStats& s, const PointDetail& d, const audit::PointSurvey& survey,
                 const Crs& crs, const PointJudging& how, std::vector<Finding>& out);

// A finding of the rule with this id, its source written for header h's
// version (or the profile, or the delivery).
Finding finding(std::string_view id, const LasHeader* h, std::string expected, std::string actual);

}  // namespace lidar
