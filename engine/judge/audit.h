// Vexholt-audit: judges LAS files with the module's own validation and scan
// and reports which headers are stale, without writing unless asked to.
#pragma once

#include "LiDAR.h"
#include "file_io.h"
#include "las_header.h"
#include "las_validate.h"
#include "rules.h"
#include "crs.h"
#include "scheme.h"
#include "survey.h"
#include "tile_scan.h"
#include "voids.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
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
    // A regular file by its directory's word alone, not examined: its one
    // open tells which file it is (see walk's examine_each).
    bool listed = false;
    lidar::FileState found;
    std::string walk_error;  // non-empty: no file, report this error
    std::string duplicate;   // non-empty: reached before, report this
    lidar::Where where(bool follow) const {
        return lidar::Where{dir ? dir->fd : lidar::kWorkingDir, leaf.c_str(), follow && !listed};
    }
};

// A file by device and inode, to know one met twice.
struct FileKey {
    std::uint64_t dev, ino;
    bool operator==(const FileKey& o) const { return dev == o.dev && ino == o.ino; }
};
struct FileKeyHash {
    std::size_t operator()(const FileKey& k) const noexcept {
        return std::hash<std::uint64_t>()(k.ino * 0x9e3779b97f4a7c15ull ^ k.dev);
    }
};

// Why a file met again under another name is not judged again.
extern const char* const kSameFile;

// Expands the command line's PATHs, calling emit for each in report order:
// files as named, directories walked recursively for regular files whose
// names pass the module's extension check, by name, without entering links
// to directories found on the way. Each file and directory is walked or
// judged once: later occurrences come as duplicates. emit returns false to
// stop the walk.
//
// Without examine_each, a name its directory lists as a regular file is not
// examined (a lookup by name costs a small tile a fifth of its judging): it
// comes listed, and no file comes as a duplicate. The caller then tells
// files met twice apart by what their opens found (Result::identity), and
// so judges each such file more than once: only where nothing is written.
void walk(const std::vector<std::string>& paths, const std::function<bool(Entry&&)>& emit,
          bool examine_each = true);

// What the walk, examining each file, would have made of a listed entry:
// nothing where it would have judged nothing there (the name is gone, or is
// no regular file now).
std::optional<Entry> examine(const Entry& listed);

// Everything at once, for tests and small runs.
std::vector<Entry> collect(const std::vector<std::string>& paths);

// unchecked: the header judged, the statistics not (--headers-only).
// short_: the header claims more records than the file holds ("short").
enum class Status { current, stale, fixed, refused, error, repeated, unchecked, short_ };
constexpr int kStatuses = 8;
const char* status_name(Status s);

// Whether a file is acceptable under the profile, beside what state its
// header is in: fail on a finding of severity error (any, with --strict),
// a short file, or a file that could not be judged. none: a repeated name,
// judged under the first.
enum class Verdict { pass, fail, none };
constexpr int kVerdicts = 3;
const char* verdict_name(Verdict v);  // "pass", "fail", "" for none
// Judged at all: not refused, not an error.
bool judged(Status s);

struct Difference {
    std::string field;  // header field name, e.g. NumberOfPointsByReturn[1]
    std::string stored, recomputed;
    bool noise = false;  // an extent apart by floating-point noise alone (--exact)
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
    // Every rule the file fails, in the order of the rule list.
    std::vector<lidar::Finding> findings;
    lidar::PointDetail detail;  // when scanned
    PointSurvey survey;         // when surveyed
    bool surveyed = false;      // scanned under a profile that surveys the points
    TileCoverage coverage;      // the empty runs of survey.grid as laid
    lidar::Crs crs;
    Verdict verdict = Verdict::fail;
    std::string extra_bytes;    // the Extra Bytes VLR's payload, as read
    // The file judged, as the walk examined it or else as its open found
    // it; regular is false where neither knows.
    lidar::FileState identity;
    // Nothing to report: a listed name gone, or no regular file, by the
    // time it was opened, as the walk skips what it finds so.
    bool gone = false;
};

struct Judging {
    bool fix = false;    // update stale files as Vexholt does
    bool exact = false;  // extents must match up to floating-point noise
    bool strict = false; // warnings fail as errors do
    // --fix may lower a point count to the records present (the points
    // lost are accepted); otherwise a short file is never written.
    bool accept_lost_points = false;
    // Set once fixing must stop (the report can no longer be written): a
    // file found stale after that stays stale.
    const std::atomic<bool>* no_more_fixes = nullptr;
    // If given, asked just before a stale file is written: it may wait for
    // the report to catch up; false leaves the file stale.
    std::function<bool()> may_fix;
    // If given, the block buffer of the calling thread.
    lidar::ScanBuffer* buffer = nullptr;
    // If given, idle threads a large file's scan may borrow.
    std::atomic<int>* spare = nullptr;
    // If given, bytes are added to it as they are read.
    std::atomic<std::uint64_t>* bytes_read = nullptr;
    lidar::Profile profile = lidar::Profile::las;
    bool headers_only = false;  // read no point record
    // The density limits the points are judged by (none: QL2 under usgs-lbs).
    lidar::QualityLevel quality_level = lidar::QualityLevel::none;
    // The class codes usgs-lbs lets the points use: a profile file's table;
    // null: LBS's (lidar::lbs_classes).
    std::shared_ptr<const lidar::ClassTable> classes;
    // The side of the coverage grid's cells in the files' horizontal units;
    // 0: twice the quality level's pulse spacing (QL2's without one).
    double cell = 0;
    // Whether first returns are counted cell by cell, as a density raster
    // needs; without, a fine grid keeps only which cells hold one.
    bool cell_counts = true;
    // The time of the audit in GPS seconds: the latest plausible GPS time.
    double now_gps = 0;
    // For tests: called by the thread about to judge the entry.
    std::function<void(const Entry&)> before_judging;
};

Result judge(const Entry& e, const Judging& how);
// A file met before under another name: reported, not judged again.
Result repeated(std::string path, std::string why);

// 0 the file passes (or is a name met before), 1 it fails, 2 it could not
// be judged (refused or failed).
int exit_status_of(const Result& r);
// The time now in GPS seconds (since 1980-01-06, leap seconds counted).
double gps_now();

enum class Format { text, tsv, jsonl };

// The report's first line for the format ("" if it has none).
std::string report_head(Format f);
// One line, newline included; text pads the path to path_width columns.
std::string report_line(const Result& r, Format f, std::size_t path_width);
// s with everything that could forge a line or pass for other text escaped.
std::string escape_text(const std::string& s);
// Columns a path takes on a terminal, for aligning the text report.
std::size_t display_width(const std::string& s);
// Columns a path takes in the text report, escapes included.
std::size_t path_columns(const std::string& path);
bool is_valid_utf8(const std::string& s);

// The delivery as a whole: what every judged file adds up to, and what each
// contributes to the consistency rules.
struct Delivery {
    std::size_t by_status[kStatuses] = {};
    std::size_t by_verdict[kVerdicts] = {};
    std::map<const lidar::Rule*, std::size_t> by_rule;  // files that fail each rule
    // Consistency rules of any severity fail the delivery (--strict), not
    // only those of severity error.
    bool strict = false;
    std::uint64_t points = 0;
    // MaxX MinX MaxY MinY MaxZ MinZ of the files in each coordinate system,
    // by its name as the summary shows it: extents in different systems
    // do not add up to one.
    struct Extent {
        bool any = false;
        double e[6] = {};
    };
    std::map<std::string, Extent> extents;
    std::map<std::string, std::size_t> versions, formats, systems;
    // GPS times by the time type each file's global encoding bit 0 states:
    // [0] GPS week time, [1] adjusted standard GPS time.
    struct Range {
        bool any = false;
        double min = 0, max = 0;
    } gps[2];
    std::uint64_t classes[256] = {};
    // Per file whose header was read: the values the files must share
    // (version, point format, record length, scale, system class, extra
    // bytes), each an index into the distinct values met, so a delivery of
    // many files keeps little more than their paths.
    struct Key {
        std::string path;
        std::uint32_t value[6];
    };
    std::vector<Key> keys;
    std::vector<std::string> values[6];
    std::map<std::string, std::uint32_t> value_ids[6];
    std::map<std::string, std::string> system_names;  // system class -> its name
    // The last file's values, as what they are made from (version, point
    // format, record length, system class, scales as bits so a NaN matches
    // itself and 0 and -0 stay apart, system, extra bytes), and what they
    // came to: the files of a delivery mostly share them, and formatting
    // them anew took longer than judging a small file.
    struct Last {
        bool valid = false;
        std::tuple<unsigned, unsigned, unsigned, unsigned, int, std::array<std::uint64_t, 3>, std::string, std::string>
            from;
        std::size_t *version_count = nullptr, *format_count = nullptr, *system_count = nullptr;
        Extent* extent = nullptr;
        std::uint32_t value[6] = {};
    } last;
    // What the delivery is judged under: the tile scheme's rules are no
    // part of stats, the voids' a part of usgs-lbs alone.
    lidar::Profile profile = lidar::Profile::las;
    lidar::QualityLevel quality_level = lidar::QualityLevel::none;
    // Per scanned file with points, in report order (file: its index in
    // keys): its points' box, and the runs its coverage grid left empty
    // (cell 0 where no grid was laid). Not the grids: they are big.
    std::vector<TileBox> tiles;
    std::vector<TileCoverage> coverage;
    std::map<int, double> metres_per_unit;  // by system class, where known
    // Over the files with a grid: their first returns, and the area of the
    // cells holding one, in square metres (files' units taken for metres
    // where their system does not say).
    std::uint64_t first_returns = 0;
    double covered_m2 = 0;
    // Found from the above by finish_delivery.
    Scheme scheme;
    std::vector<Void> voids;
    double void_area = 0;  // the least area a void is reported at, in the files' units
};
void add_to(Delivery& d, const Result& r);
// Finds the tile scheme and the voids once every file is added, before
// consistency.
void finish_delivery(Delivery& d);

// A consistency rule the delivery fails: the majority's value, and every
// file that differs from it.
struct DeliveryFinding {
    lidar::Finding finding;
    std::vector<std::string> files;
};
std::vector<DeliveryFinding> consistency(const Delivery& d);

// The summary for people (several lines) and as the report's last JSON
// Lines object, "type": "summary".
std::string summary_text(const Delivery& d, const std::vector<DeliveryFinding>& c);
std::string summary_json(const Delivery& d, const std::vector<DeliveryFinding>& c);

// Every rule as a table: Markdown for doc/rules.md, or roff for the manual.
std::string rules_table(bool roff);

struct Options {
    unsigned jobs = 1;
    Judging how;
    Format format = Format::text;
    bool quiet = false;
    bool allow_empty = false;  // finding no file is not an error
    bool summary_only = false;  // the delivery's summary on standard output, no line per file
    std::vector<std::string> paths;
    // If given, called with each result in report order, as it is reported.
    std::function<void(const Result&)> observe;
    // If given, the delivery is gathered there and left finished, for the
    // caller's outputs.
    Delivery* delivery = nullptr;
};

// The whole run: walks, judges on o.jobs threads, writes the report to
// standard output and the summary to standard error. Returns the exit
// status: 0, 1 or 2 as exit_status_of, 128 + the signal that stopped it.
int run(const Options& o);

}  // namespace audit
