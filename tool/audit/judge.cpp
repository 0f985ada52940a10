#include "audit.h"

#include "file_scan.h"
#include "update.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <system_error>

namespace audit {

namespace {

std::string trimmed(const std::string& why) {
    std::size_t from = why.find_first_not_of("\r\n");
    if (from == std::string::npos) return "";
    return why.substr(from, why.find_last_not_of("\r\n") - from + 1);
}

// Shortest text that reads back as the same double.
std::string number(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : "?";
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Whether two extents name the same point of the file's grid: a writer that
// rounds the last bit differently has not left the header stale.
bool same_on_grid(double stored, double recomputed, double scale, double offset) {
    if (same_bits(stored, recomputed)) return true;
    double a = std::round((stored - offset) / scale);
    double b = std::round((recomputed - offset) / scale);
    return std::isfinite(a) && std::isfinite(b) && a == b;
}

void compare(Result& r, bool exact) {
    const lidar::LasHeader& s = r.stored;
    const lidar::LasHeader& c = r.recomputed;
    // A LAS 1.4 writer that keeps no legacy counts has not left the header
    // stale for that alone.
    const bool legacy_optional = lidar::legacy_counts_zero_allowed(s);
    std::size_t n;
    const lidar::StatField* f = lidar::stat_fields(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (s.minor < f[k].since_minor) continue;
        if (lidar::stat_is_extent(k)) {
            // Without a point the extents hold start values, not data: only
            // an exact audit asks for Vexholt's.
            if (r.points == 0 && !exact) continue;
            const std::size_t e = k - 6, axis = e / 2;
            const double a = s.extent[e], b = c.extent[e];
            const bool same = exact ? same_bits(a, b) : same_on_grid(a, b, s.scale[axis], s.offset[axis]);
            if (!same) r.differences.push_back({f[k].name, number(a), number(b)});
            continue;
        }
        if (k < 6 && legacy_optional) continue;
        const std::uint64_t a = lidar::stat_value(s, k), b = lidar::stat_value(c, k);
        if (a != b) r.differences.push_back({f[k].name, std::to_string(a), std::to_string(b)});
    }
}

Status from_core(int result) { return result == lidar::kRefused ? Status::refused : Status::error; }

// What the core said, unless the system refused to open the file: a file
// that exists but cannot be opened now (no permission, no descriptors left,
// a lease) is a failure to report, not a file Vexholt would refuse for what
// it holds.
void take_failure(Result& r, int result, const std::string& why, int open_error) {
    r.status = from_core(result);
    r.reason = trimmed(why);
    if (open_error != 0 && open_error != ENOENT && open_error != ENOTDIR) {
        r.status = Status::error;
        r.reason = "Cannot open " + r.path + ": " + std::generic_category().message(open_error);
    }
}

// The header and statistics of a scan, and how they differ.
void take_scan(Result& r, const lidar::FileScan& scan, bool exact) {
    r.stored = scan.model;
    r.recomputed = lidar::with_stats(scan.model, scan.stats);
    r.points = scan.stats.count;
    r.differences.clear();
    compare(r, exact);
    // So nobody is surprised when Vexholt refuses a file the audit judged.
    r.reason = scan.vexholt_refusal.empty() ? "" : "Vexholt would refuse it: " + trimmed(scan.vexholt_refusal);
}

}  // namespace

const char* status_name(Status s) {
    switch (s) {
        case Status::current: return "current";
        case Status::stale: return "stale";
        case Status::fixed: return "fixed";
        case Status::refused: return "refused";
        case Status::error: return "error";
        case Status::repeated: return "repeated";
    }
    return "error";
}

int exit_status_of(Status s) {
    switch (s) {
        case Status::current: case Status::fixed: case Status::repeated: return 0;
        case Status::stale: return 1;
        default: return 2;
    }
}

Result judge(const Entry& e, const Judging& how) {
    Result r;
    r.path = e.path;
    if (!e.walk_error.empty()) {
        r.reason = e.walk_error;
        return r;
    }
    if (!e.duplicate.empty()) {
        r.status = Status::repeated;
        r.reason = e.duplicate;
        return r;
    }
    if (how.before_judging) how.before_judging(e);
    lidar::FileScan scan;
    std::string why;
    // Links met by the walk are judged by what they lead to.
    const lidar::Target judged{e.where(true), e.path.c_str(), e.identified ? &e.found : nullptr, how.bytes_read,
                               true};
    int result = lidar::scan_file(judged, scan, why);
    r.id = scan.id;
    r.header_read = scan.header_read;
    r.stored = scan.model;
    r.bytes_read = scan.raw_size + scan.point_bytes;
    if (result != lidar::kDone) {
        take_failure(r, result, why, scan.open_error);
        return r;
    }
    r.scanned = true;
    take_scan(r, scan, how.exact);
    r.status = r.differences.empty() ? Status::current : Status::stale;
    if (r.status != Status::stale || !how.fix) return r;
    if (how.no_more_fixes && how.no_more_fixes->load()) return r;
    // A link met by the walk may lead anywhere, out of the delivery too:
    // only a name the user gave is written through.
    if (e.link && !e.named) {
        r.reason = "not fixed: a symbolic link found by the walk is not written through; name it to fix it" +
                   (r.reason.empty() ? "" : "; " + r.reason);
        return r;
    }

    // The very update Vexholt runs, judging the file afresh as it opens it;
    // it must be the file just judged, reached the same way, and below a
    // directory of the walk no link is followed.
    lidar::FileScan again;
    const lidar::Target fixed{e.where(e.named), e.path.c_str(), &scan.opened, how.bytes_read, true};
    result = lidar::update_file(fixed, why, &again);
    if (result != lidar::kDone) {
        take_failure(r, result, why, again.open_error);
        return r;
    }
    // What was written: the statistics of the second scan, in place of the
    // header read just before.
    take_scan(r, again, how.exact);
    r.id = again.id;
    r.bytes_read += again.raw_size + again.point_bytes;
    r.status = Status::fixed;
    return r;
}

}  // namespace audit
