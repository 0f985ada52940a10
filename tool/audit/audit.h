// Vexholt-audit: judges LAS files with the module's own validation and scan
// and reports which headers are stale, without writing unless asked to.
#pragma once

#include "LiDAR.h"
#include "file_io.h"
#include "las_header.h"
#include "las_validate.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace audit {

// A directory the walk holds open: the files found in it are opened
// relative to it, so a directory renamed or swapped for a link after the
// walk cannot redirect a read or a write. (Windows: the path, no descriptor.)
struct Dir {
    int fd = lidar::kWorkingDir;
    std::string path;  // Windows only
    Dir() = default;
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    ~Dir();
};

// A file to judge, in report order; what the walk could not examine is
// reported in its place.
struct Entry {
    std::string path;                 // as reported
    std::shared_ptr<const Dir> dir;   // null: leaf is the path as named
    std::string leaf;                 // the name within dir
    bool named = false;               // given on the command line: links are the user's choice
    bool link = false;                // a symbolic link met by the walk
    bool identified = false;          // found holds the file the walk found
    lidar::FileState found;
    std::string walk_error;  // non-empty: no file, report this error
    std::string duplicate;   // non-empty: reached before, report this
    lidar::Where where(bool follow) const {
        return lidar::Where{dir ? dir->fd : lidar::kWorkingDir, leaf.c_str(), follow};
    }
};

// Expands the command line's PATHs, calling emit for each in report order:
// files as named, directories walked recursively for regular files whose
// names pass the module's extension check, by name, without entering links
// to directories found on the way. Each file and directory is walked or
// judged once: later occurrences come as duplicates. emit returns false to
// stop the walk.
void walk(const std::vector<std::string>& paths, const std::function<bool(Entry&&)>& emit);

// Everything at once, for tests and small runs.
std::vector<Entry> collect(const std::vector<std::string>& paths);

enum class Status { current, stale, fixed, refused, error, repeated };
constexpr int kStatuses = 6;
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
    bool scanned = false;      // recomputed holds what an update writes, points what the scan found
    lidar::LasHeader stored, recomputed;
    std::uint64_t points = 0;
    std::vector<Difference> differences;
    // refused, error, repeated: why; a stale file not fixed: why not; a file
    // Vexholt would refuse although the audit judges it: what Vexholt says.
    std::string reason;
    std::uint64_t bytes_read = 0;
};

struct Judging {
    bool fix = false;    // update stale files as Vexholt does
    bool exact = false;  // extents must match bit for bit
    // Set once fixing must stop (the report can no longer be written): a
    // file found stale after that stays stale.
    const std::atomic<bool>* no_more_fixes = nullptr;
    // If given, bytes are added to it as they are read.
    std::atomic<std::uint64_t>* bytes_read = nullptr;
    // For tests: called by the thread about to judge the entry.
    std::function<void(const Entry&)> before_judging;
};

Result judge(const Entry& e, const Judging& how);

// 0 all current, fixed or duplicate, 1 something left stale, 2 refused or failed.
int exit_status_of(Status s);

enum class Format { text, tsv, jsonl };

// The report's first line for the format ("" if it has none).
std::string report_head(Format f);
// One line, newline included; text pads the path to path_width columns.
std::string report_line(const Result& r, Format f, std::size_t path_width);
// Columns a path takes on a terminal, for aligning the text report.
std::size_t display_width(const std::string& s);
// Columns a path takes in the text report, escapes included.
std::size_t path_columns(const std::string& path);
bool is_valid_utf8(const std::string& s);

struct Options {
    unsigned jobs = 1;
    Judging how;
    Format format = Format::text;
    bool quiet = false;
    bool allow_empty = false;  // finding no file is not an error
    std::vector<std::string> paths;
};

// The whole run: walks, judges on o.jobs threads, writes the report to
// standard output and the summary to standard error. Returns the exit
// status: 0, 1 or 2 as exit_status_of, 128 + the signal that stopped it.
int run(const Options& o);

}  // namespace audit
