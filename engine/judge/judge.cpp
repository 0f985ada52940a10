#include "audit.h"


#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

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

// Floating-point noise at a coordinate's magnitude: a few ulps, what two
// writers' arithmetic may differ by (170.76 against 170.76000000000002).
double noise(double a, double b) {
    const double m = std::max(std::fabs(a), std::fabs(b));
    return 4 * (std::nextafter(m, INFINITY) - m);
}

bool within_noise(double a, double b) { return same_bits(a, b) || std::fabs(a - b) <= noise(a, b); }

// Whether two extents name the same point of the file's grid: a writer that
// rounds the last bit differently has not left the header stale.
bool same_on_grid(double stored, double recomputed, double scale, double offset) {
    if (same_bits(stored, recomputed)) return true;
    double a = std::round((stored - offset) / scale);
    double b = std::round((recomputed - offset) / scale);
    return std::isfinite(a) && std::isfinite(b) && a == b;
}

// How far the points reach past a stored extent (e = 0 MaxX, 1 MinX, ...),
// beyond noise; 0 where they stay inside or either is not a number.
double beyond(const lidar::LasHeader& stored, const lidar::LasHeader& recomputed, std::size_t e) {
    const double a = stored.extent[e], b = recomputed.extent[e];
    if (!std::isfinite(a) || !std::isfinite(b) || within_noise(a, b)) return 0;
    const double d = e % 2 == 0 ? b - a : a - b;
    return d > noise(a, b) ? d : 0;
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
            // A box that leaves points out is stale however close it is.
            const bool same = exact ? same_bits(a, b)
                                    : same_on_grid(a, b, s.scale[axis], s.offset[axis]) && (r.points == 0 || beyond(s, c, e) == 0);
            if (!same) r.differences.push_back({f[k].name, number(a), number(b), within_noise(a, b)});
            continue;
        }
        if (k < 6 && legacy_optional) continue;
        const std::uint64_t a = lidar::stat_value(s, k), b = lidar::stat_value(c, k);
        if (a != b) r.differences.push_back({f[k].name, std::to_string(a), std::to_string(b)});
    }
}


// An uncompressed file whose point area holds fewer whole records than its
// header claims, from its size alone.
bool short_by_size(const lidar::LasHeader& h, std::uint64_t size) {
    return !h.compressed && h.record_length > 0 && h.offset_to_data <= size &&
           lidar::claimed_count(h) > lidar::whole_records(h, size);
}

Status from_core(int result) { return result == lidar::kRefused ? Status::refused : Status::error; }

// What the core said, with the system's reason where the system failed. A
// file that exists but cannot be opened now (no permission, no descriptors
// left, a lease) is a failure to report, not a file Vexholt would refuse for
// what it holds.
void take_failure(Result& r, int result, const std::string& why, const lidar::FileScan& scan) {
    r.status = from_core(result);
    r.reason = trimmed(why);
    if (scan.open_error > 0) {
        if (scan.open_error != ENOENT && scan.open_error != ENOTDIR) r.status = Status::error;
        r.reason = "Cannot open " + r.path + ": " + std::generic_category().message(scan.open_error);
    } else if (scan.io_error > 0) {
        r.reason = r.reason.substr(0, r.reason.find('\n')) + ": " + std::generic_category().message(scan.io_error);
    }
}

// The header and statistics of a scan, and how they differ.
void take_scan(Result& r, const TileScan& scan, bool exact) {
    r.stored = scan.model;
    r.recomputed = lidar::with_stats(scan.model, scan.stats);
    r.points = scan.stats.count;
    r.differences.clear();
    compare(r, exact);
    // So nobody is surprised when Vexholt refuses a file the audit judged.
    r.reason = scan.vexholt_refusal.empty() ? "" : "Vexholt would refuse it: " + trimmed(scan.vexholt_refusal);
}

// The stale fields as findings: which rule each breaks, and what a correct
// header holds against what this one does.
void stale_findings(Result& r) {
    for (const Difference& d : r.differences) {
        // --exact asks for Vexholt's bits, and --fix writes them; a writer's
        // last-bit rounding is still no fault.
        if (d.noise) continue;
        const char* id = d.field.find("ByReturn") != std::string::npos ? "stats.by-return"
                         : d.field.find("Number") == 0 || d.field.find("Extended") == 0 ? "stats.point-count"
                                                                                         : "stats.extent";
        r.findings.push_back(lidar::finding(id, &r.stored, d.field + " " + d.recomputed, d.field + " " + d.stored));
    }
}


// The rules that need no point record, on whatever header was read, even
// of a file the scan refused: a delivery check must say all it can.
void judge_header(Result& r, const TileScan& scan, lidar::File& f, const Judging& how) {
    if (scan.raw_size == 0) return;
    const lidar::LasHeader h = lidar::parse_header(scan.raw, scan.raw_size);
    const std::uint64_t size = static_cast<std::uint64_t>(scan.opened.size);
    lidar::VlrSet vlrs;
    const bool readable =
        h.signature && h.major == 1 && h.minor <= 4 && scan.raw_size >= lidar::header_size_of(h.minor);
    // The VLRs from the bytes the first read took where they lie within them.
    const bool head = scan.head && scan.head_size >= scan.raw_size;
    if (readable && f.is_open())
        vlrs = lidar::read_vlrs(h, head ? scan.head : scan.raw, head ? scan.head_size : scan.raw_size, size,
                                // By position: no seek, and the scan's reads are not disturbed.
                                [&f](std::uint64_t at, void* out, std::size_t n) { return f.pread_full(at, out, n); });
    lidar::header_rules(h, scan.raw, scan.raw_size, size, vlrs, how.profile, r.findings);
    if (!readable) return;
    r.crs = lidar::identify_crs(vlrs.geokeys, vlrs.geo_doubles, vlrs.geo_ascii, vlrs.wkt);
    const bool keys_invalid = std::any_of(r.findings.begin(), r.findings.end(),
                                          [](const lidar::Finding& x) { return x.rule->id == std::string("crs.invalid"); });
    if (!r.crs.problem.empty() && !keys_invalid)
        r.findings.push_back(lidar::finding("crs.invalid", &h, "a coordinate system PROJ reads", r.crs.problem));
    else if (r.crs.present && !r.crs.identified && r.crs.problem.empty())
        r.findings.push_back(lidar::finding("crs.unidentified", &h, "an EPSG code or a named system",
                                            "a stated system nothing identifies"));
    lidar::crs_rules(h, r.crs, how.profile, r.findings);
    r.extra_bytes = std::move(vlrs.extra_bytes);
}

// The coverage grid's cell in the file's horizontal units: as asked, else
// twice the quality level's pulse spacing (QL2's without one), in metres
// turned into the units of its coordinate system where that is known.
double survey_cell(const Judging& how, const lidar::Crs& crs) {
    if (how.cell > 0) return how.cell;
    const lidar::QualityLevel q =
        how.quality_level == lidar::QualityLevel::none ? lidar::QualityLevel::ql2 : how.quality_level;
    const double metres = 2 * lidar::quality_limits(q).anps;
    return crs.metres_per_unit > 0 ? metres / crs.metres_per_unit : metres;
}

// Findings in the order of the rule list, so reports of the same file
// compare line for line.
void order_findings(Result& r) {
    // Rules are one array, in list order: a finding's place is its rule's
    // address. Stable, and without the buffer std::stable_sort allocates
    // for the few findings a file has.
    std::vector<lidar::Finding>& f = r.findings;
    for (std::size_t i = 1; i < f.size(); ++i)
        for (std::size_t k = i; k > 0 && f[k].rule < f[k - 1].rule; --k) std::swap(f[k], f[k - 1]);
}

// Points beyond the stored box, past noise: how far past each side and,
// from a second pass over the points made only for such a file, how many.
void containment(Result& r, const TileTarget& first, const TileScan& scan) {
    static const char* const kSide[] = {"MaxX", "MinX", "MaxY", "MinY", "MaxZ", "MinZ"};
    if (r.points == 0) return;
    std::string sides;
    for (std::size_t e = 0; e < 6; ++e)
        if (const double d = beyond(r.stored, r.recomputed, e); d > 0)
            sides += "; " + number(d) + (e % 2 ? " below " : " above ") + kSide[e] + " " + number(r.stored.extent[e]);
    if (sides.empty()) return;
    lidar::OutsideBox box;
    for (std::size_t a = 0; a < 3; ++a) {
        const double hi = r.stored.extent[2 * a], lo = r.stored.extent[2 * a + 1];
        box.scale[a] = r.stored.scale[a];
        box.offset[a] = r.stored.offset[a];
        box.hi[a] = hi + noise(hi, r.recomputed.extent[2 * a]);
        box.lo[a] = lo - noise(lo, r.recomputed.extent[2 * a + 1]);
    }
    lidar::PointDetail counted;
    counted.box = &box;
    TileTarget again = first;
    again.expect = &scan.opened;
    again.detail = &counted;
    again.spare = nullptr;
    again.bytes_read = nullptr;
    again.survey = nullptr;
    again.plan_grid = nullptr;
    TileScan second;
    std::string why;
    const bool known = scan_tile(again, second, why) == lidar::kDone && second.stats.count == r.points;
    r.findings.push_back(lidar::finding("points.outside-box", &r.stored, "every point inside the stored extents",
                                        (known ? std::to_string(counted.outside) : std::string("some")) +
                                            (counted.outside == 1 && known ? " point" : " points") + " outside" + sides));
}

// A compressed file named .las, or an uncompressed one .laz, misleads every
// tool that goes by the name.
void name_and_content(Result& r, const std::string& path) {
    const bool laz = r.stored.compressed;
    if (!lidar::has_las_name(path.c_str()) || ((path.back() | 0x20) == 'z') == laz) return;
    r.findings.push_back(lidar::finding("file.name-content", &r.stored,
                                        laz ? "a compressed file named .laz" : "an uncompressed file named .las",
                                        laz ? "compressed content named .las" : "uncompressed content named .laz"));
}

// A short file: what a fix would make of it is fewer points than claimed.
std::string short_reason(const Result& r, std::uint64_t size) {
    const lidar::LasHeader& h = r.stored;
    std::string holds = "fewer";
    if (r.scanned) holds = std::to_string(r.points);
    else if (!h.compressed) holds = std::to_string(lidar::whole_records(h, size));
    return "the header claims " + std::to_string(lidar::claimed_count(h)) + " points; the file holds " + holds;
}

}  // namespace

double gps_now() {
    // GPS time runs ahead of UTC by the leap seconds since 1980: 18 since 2017.
    return static_cast<double>(std::time(nullptr)) - 315964800.0 + 18.0;
}

int exit_status_of(const Result& r) {
    if (!judged(r.status)) return 2;
    return r.verdict == Verdict::fail ? 1 : 0;
}

const char* status_name(Status s) {
    switch (s) {
        case Status::current: return "current";
        case Status::stale: return "stale";
        case Status::fixed: return "fixed";
        case Status::refused: return "refused";
        case Status::error: return "error";
        case Status::repeated: return "repeated";
        case Status::unchecked: return "unchecked";
        case Status::short_: return "short";
    }
    return "error";
}

const char* verdict_name(Verdict v) {
    switch (v) {
        case Verdict::pass: return "pass";
        case Verdict::fail: return "fail";
        case Verdict::none: return "";
    }
    return "";
}

bool judged(Status s) { return s != Status::refused && s != Status::error; }


namespace {

Result judge_entry(const Entry& e, const Judging& how, bool first);

}  // namespace

// Whether the file is acceptable, from what judging found; the stats
// profile keeps only what says the header is stale.
void settle(Result& r, const Judging& how) {
    if (how.profile == lidar::Profile::stats)
        std::erase_if(r.findings, [](const lidar::Finding& f) { return !std::string_view(f.rule->id).starts_with("stats."); });
    // Rules a profile file turned off are checked all the same (the checks
    // are shared), and their findings dropped here.
    std::erase_if(r.findings, [](const lidar::Finding& f) { return f.rule->severity == lidar::Severity::off; });
    if (r.status == Status::repeated) {
        r.verdict = Verdict::none;
        return;
    }
    bool fails = !judged(r.status) || r.status == Status::short_;
    for (const lidar::Finding& f : r.findings) fails |= how.strict || f.rule->severity == lidar::Severity::error;
    r.verdict = fails ? Verdict::fail : Verdict::pass;
}

Result judge(const Entry& e, const Judging& how) {
    Result r = judge_entry(e, how, true);
    settle(r, how);
    return r;
}

Result repeated(std::string path, std::string why) {
    Result r;
    r.path = std::move(path);
    r.status = Status::repeated;
    r.reason = std::move(why);
    return r;
}

namespace {

// first: not a second look at a name whose open found it changed.
Result judge_entry(const Entry& e, const Judging& how, bool first) {
    Result r;
    r.path = e.path;
    if (!e.walk_error.empty()) {
        r.reason = e.walk_error;
        return r;
    }
    if (!e.duplicate.empty()) return repeated(e.path, e.duplicate);
    if (how.before_judging && first) how.before_judging(e);
    TileScan scan;
    std::string why;
    // Links met by the walk are judged by what they lead to.
    TileTarget judged;
    judged.where = e.where(true);
    judged.shown = e.path.c_str();
    judged.expect = e.identified ? &e.found : nullptr;
    judged.bytes_read = how.bytes_read;
    // A regular file the walk found, not through a link: one open.
    judged.where.plain = (e.identified || e.listed) && e.dir && !e.link && !e.named;
    judged.headers_only = how.headers_only;
    judged.detail = &r.detail;
    judged.spare = how.spare;
    lidar::ScanBuffer own;
    judged.buffer = how.buffer ? how.buffer : &own;
    // The header is judged before the points are read where it can be: its
    // coordinate system sets the units of the survey's grid.
    bool header_judged = false;
    // The statistics alone ask nothing of the points beyond the statistics:
    // no survey, at the speed of the statistics' own scan.
    const bool survey = !how.headers_only && how.profile != lidar::Profile::stats;
    if (survey) {
        judged.survey = &r.survey;
        judged.plan_grid = [&](GridPlan& plan, const TileScan& so_far, lidar::File& f) {
            judge_header(r, so_far, f, how);
            header_judged = true;
            plan.cell = survey_cell(how, r.crs);
            plan.counts = how.cell_counts;
        };
    }
    int result;
    {
        lidar::File f;
        result = open_and_scan_tile(judged, false, f, scan, why);
        if (!header_judged) judge_header(r, scan, f, how);
    }
    r.surveyed = result == lidar::kDone && survey;
    if (r.surveyed) finish_survey(r.survey);
    else r.survey = PointSurvey{};
    // Not opened: what the walk would have said, had it looked first.
    if (e.listed && !scan.opened.regular) {
        if (std::optional<Entry> again = examine(e)) return judge_entry(*again, how, false);
        Result gone;
        gone.path = e.path;
        gone.gone = true;
        return gone;
    }
    r.identity = e.identified ? e.found : scan.opened;
    r.id = scan.id;
    r.header_read = scan.header_read;
    r.stored = scan.model;
    r.bytes_read = scan.raw_size + scan.point_bytes;
    // Also of a file whose chunks could not all be decoded: the table's
    // disagreements are often why.
    for (const LazProblem& p : scan.laz_problems)
        r.findings.push_back(lidar::finding(p.rule, &scan.model, p.expected, p.actual));
    if (r.header_read) name_and_content(r, e.path);
    const std::uint64_t size = static_cast<std::uint64_t>(scan.opened.size);
    if (result != lidar::kDone) {
        take_failure(r, result, why, scan);
        // Refused for being cut short: the points it has lost are the
        // finding. A read that failed, or a file that changed, stays an error.
        if (result == lidar::kRefused && r.header_read && (scan.short_points || short_by_size(r.stored, size))) {
            r.status = Status::short_;
            r.reason = short_reason(r, size) + (r.reason.empty() ? "" : "; " + r.reason);
        }
        order_findings(r);
        return r;
    }
    if (how.headers_only) {
        r.status = Status::unchecked;
        if (scan.short_points || short_by_size(r.stored, size)) {
            r.status = Status::short_;
            r.reason = short_reason(r, size);
        }
        order_findings(r);
        return r;
    }
    r.scanned = true;
    take_scan(r, scan, how.exact);
    lidar::point_rules(scan.model, scan.stats, r.detail, r.survey, r.crs,
                       {how.profile, how.quality_level, how.classes.get(), how.now_gps}, r.findings);
    containment(r, judged, scan);
    // The delivery keeps a grid's empty runs alone, and a result waiting in
    // the ring of reports its counts alone, of kCountedCells at most.
    r.coverage = coverage_of(r.survey.grid, 0);
    coarsen_grid(r.survey.grid, kCountedCells);
    const bool is_short = scan.short_points || lidar::claimed_count(r.stored) > r.points;
    r.status = is_short ? Status::short_ : r.differences.empty() ? Status::current : Status::stale;
    if (is_short) r.reason = short_reason(r, size) + (r.reason.empty() ? "" : "; " + r.reason);
    // Lowering a count to what is left makes a cut file look whole: only
    // when the lost points are accepted by name.
    const bool fixable = r.status == Status::stale || (is_short && how.accept_lost_points);
    if (is_short && how.fix && !how.accept_lost_points)
        r.reason = "not fixed: " + r.reason + "; --accept-lost-points lowers the count";
    if (!fixable || !how.fix || (how.no_more_fixes && how.no_more_fixes->load())) {
        stale_findings(r);
        order_findings(r);
        return r;
    }
    // A link met by the walk may lead anywhere, out of the delivery too:
    // only a name the user gave is written through.
    if (e.link && !e.named) {
        r.reason = "not fixed: a symbolic link found by the walk is not written through; name it to fix it" +
                   (r.reason.empty() ? "" : "; " + r.reason);
        stale_findings(r);
        order_findings(r);
        return r;
    }

    // Chunks that disagree with their table or header were decoded on a
    // guess at where their points end: only a count the table gives for
    // each chunk is sound enough to write.
    const bool laz_sound = std::all_of(scan.laz_problems.begin(), scan.laz_problems.end(), [&](const auto& p) {
        return scan.laz_counts_chunks && p.rule == std::string_view("laz.point-count");
    });
    if (!laz_sound) {
        r.reason = "not fixed: its compressed chunks disagree with its header or chunk table" +
                   (r.reason.empty() ? "" : "; " + r.reason);
        stale_findings(r);
        order_findings(r);
        return r;
    }

    // Written only when its line can follow the report's lines before it.
    if (how.may_fix && !how.may_fix()) {
        stale_findings(r);
        order_findings(r);
        return r;
    }
    // The very update Vexholt runs, judging the file afresh as it opens it;
    // it must be the file just judged, reached the same way, and below a
    // directory of the walk no link is followed.
    TileScan again;
    TileTarget fixed;
    fixed.where = e.where(e.named);
    fixed.shown = e.path.c_str();
    fixed.expect = &scan.opened;
    fixed.bytes_read = how.bytes_read;
    fixed.spare = how.spare;
    fixed.buffer = judged.buffer;
    result = update_tile(fixed, why, &again);
    if (result != lidar::kDone) {
        take_failure(r, result, why, again);
        stale_findings(r);
        order_findings(r);
        return r;
    }
    // What was written: the statistics of the second scan, in place of the
    // header read just before.
    const std::uint64_t lowered_from = is_short ? lidar::claimed_count(r.stored) : 0;
    take_scan(r, again, how.exact);
    if (is_short)
        r.reason = "the point count lowered from " + std::to_string(lowered_from) + " to " + std::to_string(r.points) +
                   ": the lost points accepted" + (r.reason.empty() ? "" : "; " + r.reason);
    r.id = again.id;
    r.bytes_read += again.raw_size + again.point_bytes;
    r.status = Status::fixed;
    // What the header said of the points no longer holds: it now says
    // what they are.
    std::erase_if(r.findings, [](const lidar::Finding& f) {
        return f.rule->id == std::string_view("header.point-count") ||
               f.rule->id == std::string_view("header.by-return-sum") ||
               f.rule->id == std::string_view("laz.point-count") ||
               f.rule->id == std::string_view("points.outside-box");
    });
    order_findings(r);
    return r;
}

}  // namespace

}  // namespace audit
