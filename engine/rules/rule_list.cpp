#include "rules.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace lidar {

namespace {

using enum Severity;
using enum Origin;

// The one list: the manual page's and doc/rules.md's tables are printed from
// it (Vexholt-audit --list-rules), and a test keeps them equal. Not const:
// a profile file may change severities once, before judging starts.
Rule kRules[] = {
    {"header.signature", error, las, "the file starts with LASF", "Public Header Block: File Signature"},
    {"header.version", error, las, "the version is 1.0 to 1.4", "Public Header Block: Version Major, Version Minor"},
    {"header.size", error, las, "Header Size is at least the version's: 227, 235 for 1.3, 375 for 1.4",
     "Public Header Block: Header Size"},
    {"header.size-extended", warning, las, "Header Size larger than the version's: user data after the header",
     "Public Header Block: Header Size"},
    {"header.offset-to-data", error, las, "Offset to Point Data lies after the header and its VLRs and inside the file",
     "Public Header Block: Offset to Point Data"},
    {"vlr.count", error, las, "as many VLR headers as Number of Variable Length Records fit before the point data",
     "Public Header Block: Number of Variable Length Records"},
    {"vlr.length", error, las, "each VLR's payload ends before the point data", "Variable Length Records: Record Length After Header"},
    {"evlr.bounds", error, las, "the extended VLRs (1.4) start after the point data and each lies inside the file",
     "Public Header Block: Start of First Extended Variable Length Record"},
    {"header.point-format", error, las, "the point format is one the version defines", "Public Header Block: Point Data Record Format"},
    {"header.record-length", error, las, "Point Data Record Length is at least the point format's",
     "Public Header Block: Point Data Record Length"},
    {"header.extra-bytes", warning, las, "records longer than the format's (extra bytes) before LAS 1.4, which no earlier version defines",
     "Public Header Block: Point Data Record Length"},
    {"header.extra-bytes-undescribed", error, las,
     "LAS 1.4 records longer than their format's have their extra bytes described by an Extra Bytes VLR",
     "Variable Length Records: Extra Bytes"},
    {"points.trailing-bytes", warning, las, "the point data is a whole number of records", "Point Data Records"},
    {"header.point-count", error, las, "the point count times the record length is what the point data holds (uncompressed files)",
     "Public Header Block: Number of Point Records"},
    {"header.by-return-sum", error, las, "the counts by return add up to no more than the point count",
     "Public Header Block: Number of Points by Return"},
    {"header.scale", error, las, "the scale factors are finite and positive", "Public Header Block: X, Y, Z Scale Factor"},
    {"header.scale-unusual", warning, las, "each scale factor is a power of ten times 1, 2.5 or 5",
     "Public Header Block: X, Y, Z Scale Factor"},
    {"header.offset", error, las, "the offsets are finite", "Public Header Block: X, Y, Z Offset"},
    {"encoding.reserved", warning, las, "the global encoding bits the version does not define are zero",
     "Public Header Block: Global Encoding"},
    {"encoding.waveform-bits", error, las, "waveform data internal (bit 1) and external (bit 2) are not both set",
     "Public Header Block: Global Encoding"},
    {"encoding.wkt-bit", error, las, "point formats 6-10 set the WKT bit (bit 4)", "Public Header Block: Global Encoding"},
    {"header.creation-date", warning, las, "the creation day of year is 1-366 and the year plausible (1990 to next year)",
     "Public Header Block: File Creation Day of Year, File Creation Year"},
    {"header.creation-date-missing", warning, las, "the creation day and year are set (not both 0)",
     "Public Header Block: File Creation Day of Year, File Creation Year"},
    {"header.text-padding", warning, las, "System Identifier and Generating Software are padded with NULs",
     "Public Header Block: System Identifier, Generating Software"},
    {"crs.missing", error, las, "a coordinate system is given: a GeoKeyDirectoryTag or an OGC WKT VLR",
     "Variable Length Records: Georeferencing Information"},
    {"crs.wkt-required", error, las, "point formats 6-10 give the coordinate system as OGC WKT",
     "Variable Length Records: Georeferencing Information"},
    {"crs.invalid", error, las, "the GeoKeyDirectoryTag is well formed and the WKT parses",
     "Variable Length Records: Georeferencing Information"},
    {"crs.unidentified", warning, las, "PROJ identifies the coordinate system", "Variable Length Records: Georeferencing Information"},
    {"points.none", warning, las, "the file holds at least one point", "Point Data Records"},
    {"points.return-number", warning, las, "every return number is 1 to the point's number of returns",
     "Point Data Records: Return Number"},
    {"points.number-of-returns", warning, las, "no point has 0 returns", "Point Data Records: Number of Returns"},
    {"points.gps-time-invalid", warning, las, "GPS times are finite numbers", "Point Data Records: GPS Time"},
    {"points.gps-week-time", error, las, "with global encoding bit 0 unset, GPS times are seconds of a week (0 to 604800)",
     "Public Header Block: Global Encoding, GPS Time Type"},
    {"points.gps-standard-time", error, las,
     "with global encoding bit 0 set, adjusted standard GPS times fall between 1980 and the audit",
     "Public Header Block: Global Encoding, GPS Time Type"},
    {"points.class-reserved", warning, las,
     "no point has a class code its version reserves (1.1 to 1.4, formats 0-5: 10, 11, 13-31; formats 6-10: 8, 23-63)",
     "Point Data Records: Classification"},
    {"points.class-overlap", warning, las, "formats 6-10 mark overlap points with the overlap flag, not class 12",
     "Point Data Records: Classification, Classification Flags"},
    {"laz.chunk-table", error, laszip, "the chunk table of a compressed file agrees with its chunks and the file",
     "chunk table"},
    {"laz.point-count", error, laszip, "the point count of a compressed file is what its chunks hold",
     "chunk table, Number of Point Records"},
    {"file.name-content", warning, laszip, "a compressed file is named .laz and an uncompressed one .las",
     "file name extension"},
    {"points.outside-box", error, las, "every point lies inside the stored extents, up to floating-point noise",
     "Public Header Block: Max and Min X, Y, Z"},
    {"stats.point-count", error, las, "the stored point count is the records' count", "Public Header Block: Number of Point Records"},
    {"stats.by-return", error, las, "the stored counts by return are the records'", "Public Header Block: Number of Points by Return"},
    {"stats.extent", error, las, "the stored extents are the records' (on the file's grid; bit for bit with --exact)",
     "Public Header Block: Max and Min X, Y, Z"},
    {"usgs.version", error, usgs, "LAS 1.4", "LAS version"},
    {"usgs.point-format", error, usgs, "point format 6 to 10", "point data record format"},
    {"usgs.crs-wkt", error, usgs, "the coordinate system as OGC WKT", "coordinate reference system"},
    {"usgs.gps-standard-time", error, usgs, "adjusted standard GPS time (global encoding bit 0)",
     "GPS time"},
    {"usgs.crs-vertical", error, usgs, "the coordinate system names a vertical system", "coordinate reference system"},
    {"usgs.units", error, usgs, "the horizontal and vertical units are the same", "units of reference"},
    {"usgs.class-never-classified", error, usgs, "no point is left in class 0 (created, never classified)",
     "point classification"},
    {"usgs.class-ground", warning, usgs, "the tile has ground points (class 2)", "point classification"},
    {"usgs.class-table", error, usgs,
     "every class code is in the profile's class table (the LBS scheme, or a profile file's)", "point classification"},
    {"usgs.point-source-id", error, usgs, "no point has Point Source ID 0: each names its swath",
     "file and point source identification"},
    {"usgs.intensity-range", error, usgs, "intensities are scaled to 16 bits: the largest is at least 1024",
     "intensity"},
    {"usgs.density", error, usgs,
     "first returns per covered square metre reach the quality level's pulse density (QL2 unless set)",
     "aggregate nominal pulse density"},
    {"delivery.version", warning, delivery, "every file has the delivery's LAS version", "delivery consistency"},
    {"delivery.point-format", warning, delivery, "every file has the delivery's point format", "delivery consistency"},
    {"delivery.record-length", warning, delivery, "every file has the delivery's record length", "delivery consistency"},
    {"delivery.scale", warning, delivery, "every file has the delivery's scale factors", "delivery consistency"},
    {"delivery.crs", error, delivery, "every file is in the delivery's coordinate system (equivalent by PROJ)",
     "delivery consistency"},
    {"delivery.extra-bytes", warning, delivery, "every file describes its extra bytes alike", "delivery consistency"},
    {"delivery.tile-size", warning, delivery,
     "every tile is of the delivery's usual size (found from the tiles' points), but those the project's edge may cut",
     "tile scheme"},
    {"delivery.off-grid", warning, delivery, "every tile lies on the delivery's grid, up to a coverage cell", "tile scheme"},
    {"delivery.tile-overlap", warning, delivery, "no two tiles overlap by more than a coverage cell", "tile scheme"},
    {"delivery.duplicate", error, delivery,
     "no two files hold the same points (count, extents and records alike), whatever their names or formats",
     "tile scheme"},
    {"delivery.hole", error, delivery, "no position of the grid lacks a tile where tiles surround it on all four sides",
     "tile scheme"},
    {"usgs.void", warning, usgs,
     "no void of (4 x ANPS)^2 or more: connected cells without a first return inside the delivery, across tiles "
     "(water bodies are allowed: look at each)",
     "data voids"},
};

}  // namespace

QualityLimits quality_limits(QualityLevel q) {
    switch (q) {
        case QualityLevel::ql0:
        case QualityLevel::ql1: return {0.35, 8};
        case QualityLevel::ql2: return {0.71, 2};
        case QualityLevel::ql3: return {1.41, 0.5};
        case QualityLevel::none: break;
    }
    return {};
}

const char* quality_level_name(QualityLevel q) {
    switch (q) {
        case QualityLevel::ql0: return "QL0";
        case QualityLevel::ql1: return "QL1";
        case QualityLevel::ql2: return "QL2";
        case QualityLevel::ql3: return "QL3";
        case QualityLevel::none: break;
    }
    return "";
}

const ClassTable& lbs_classes() {
    static const ClassTable table = [] {
        // The minimum scheme (1, 2, 7, 9, 17, 18, 20-22) and the standard
        // classes of formats 6-10 a project may add; 0 is the rule
        // usgs.class-never-classified's, 8 and 12 are reserved there.
        ClassTable t;
        t.names = {{1, "Processed, but unclassified"}, {2, "Ground"},
                   {3, "Low vegetation"},              {4, "Medium vegetation"},
                   {5, "High vegetation"},             {6, "Building"},
                   {7, "Low noise"},                   {9, "Water"},
                   {10, "Rail"},                       {11, "Road surface"},
                   {13, "Wire, guard (shield)"},       {14, "Wire, conductor (phase)"},
                   {15, "Transmission tower"},         {16, "Wire-structure connector (insulator)"},
                   {17, "Bridge deck"},                {18, "High noise"},
                   {19, "Overhead structure"},         {20, "Ignored ground (near a breakline)"},
                   {21, "Snow"},                       {22, "Temporal exclusion"}};
        for (const auto& [code, name] : t.names) t.allowed.set(code);
        return t;
    }();
    return table;
}

const char* severity_name(Severity s) {
    return s == Severity::error ? "error" : s == Severity::warning ? "warning" : "off";
}

std::span<const Rule> all_rules() { return kRules; }

const Rule* find_rule(std::string_view id) {
    // The ids measured once: findings are looked up for every file.
    static const auto ids = [] {
        std::array<std::string_view, std::size(kRules)> v;
        for (std::size_t k = 0; k < v.size(); ++k) v[k] = kRules[k].id;
        return v;
    }();
    for (std::size_t k = 0; k < ids.size(); ++k)
        if (ids[k] == id) return &kRules[k];
    return nullptr;
}

const Rule& rule(std::string_view id) {
    if (const Rule* r = find_rule(id)) return *r;
    std::fprintf(stderr, "no rule %.*s\n", static_cast<int>(id.size()), id.data());
    std::abort();
}

namespace {

// The list's own severities, taken before any change.
const std::array<Severity, std::size(kRules)>& listed() {
    static const auto severities = [] {
        std::array<Severity, std::size(kRules)> v;
        for (std::size_t k = 0; k < v.size(); ++k) v[k] = kRules[k].severity;
        return v;
    }();
    return severities;
}

}  // namespace

Severity listed_severity(const Rule& r) { return listed()[static_cast<std::size_t>(&r - kRules)]; }

void set_severities(std::span<const std::pair<const Rule*, Severity>> changes) {
    const auto& own = listed();
    for (std::size_t k = 0; k < own.size(); ++k) kRules[k].severity = own[k];
    for (const auto& [r, severity] : changes) kRules[r - kRules].severity = severity;
}

Finding finding(std::string_view id, const LasHeader* h, std::string expected, std::string actual) {
    // Each rule's source under each of its possible prefixes, written once:
    // a finding points at its text rather than copying it per file.
    static constexpr std::string_view kFrom[] = {"LAS 1.0, ", "LAS 1.1, ", "LAS 1.2, ", "LAS 1.3, ", "LAS 1.4, ",
                                                 "LAS, ",     "USGS LBS, ", "LASzip, ",  ""};
    static const auto sources = [] {
        std::vector<std::array<std::string, std::size(kFrom)>> t(std::size(kRules));
        for (std::size_t k = 0; k < t.size(); ++k)
            for (std::size_t f = 0; f < std::size(kFrom); ++f) t[k][f] = std::string(kFrom[f]) + kRules[k].clause;
        return t;
    }();
    const Rule& r = rule(id);
    std::size_t from = 8;
    switch (r.origin) {
        case Origin::las: from = h && h->major == 1 && h->minor <= 4 ? h->minor : 5; break;
        case Origin::usgs: from = 6; break;
        case Origin::laszip: from = 7; break;
        case Origin::delivery: break;
    }
    return Finding{&r, std::move(expected), std::move(actual), sources[static_cast<std::size_t>(&r - kRules)][from]};
}

}  // namespace lidar
