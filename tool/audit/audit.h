// Vexholt-audit: judges LAS files with the module's own validation and scan
// and reports which headers are stale, without writing unless asked to.
#pragma once

#include "LiDAR.h"
#include "las_validate.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace audit {

// A file to judge, in report order; a directory that could not be read is
// reported in its place.
struct Entry {
    std::string path;
    std::uint64_t size = 0;   // as found by the walk, for the progress line
    std::string walk_error;   // non-empty: no file, report this error
};

// Expands the command line's PATHs: files as named, directories walked
// recursively for regular *.las files, by name, without following links to
// directories found on the way.
std::vector<Entry> collect(const std::vector<std::string>& paths);

enum class Status { current, stale, fixed, refused, error };
const char* status_name(Status s);

struct Difference {
    std::string field;  // header field name, e.g. NumberOfPointsByReturn[1]
    std::string stored, recomputed;
};

struct Result {
    std::string path;
    Status status = Status::error;
    lidar::LasId id;
    bool header_read = false;  // stored is the file's header
    bool scanned = false;      // recomputed holds what an update writes
    LAS12Header stored{}, recomputed{};
    std::vector<Difference> differences;
    std::string reason;  // refused or error: why, without surrounding newlines
    std::uint64_t bytes_read = 0;
};

struct Judging {
    bool fix = false;    // update stale files as Vexholt does
    bool exact = false;  // extents must match bit for bit
};

Result judge(const Entry& e, const Judging& how);

// 0 all current or fixed, 1 something left stale, 2 refused or failed.
int exit_status_of(Status s);

enum class Format { text, tsv, jsonl };

// The report's first line for the format ("" if it has none).
std::string report_head(Format f);
// One line, newline included; text pads the path to path_width columns.
std::string report_line(const Result& r, Format f, std::size_t path_width);
// Columns a path takes on a terminal, for aligning the text report.
std::size_t display_width(const std::string& s);
bool is_valid_utf8(const std::string& s);

}  // namespace audit
