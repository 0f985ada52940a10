#include "audit.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <functional>
#include <optional>
#include <utility>

namespace audit {

namespace {

const char* const kConsistencyRules[6] = {"delivery.version",       "delivery.point-format", "delivery.record-length",
                                          "delivery.scale",         "delivery.crs",          "delivery.extra-bytes"};

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.10g", v);
    return b;
}

// Names come from the files (a system's name from its WKT): escaped as a
// file's line escapes them, so none can forge a line of the summary.
std::string counted(const std::map<std::string, std::size_t>& m) {
    std::string t;
    for (const auto& [k, n] : m) t += (t.empty() ? "" : ", ") + escape_text(k) + " (" + std::to_string(n) + ")";
    return t.empty() ? "none" : t;
}

std::string system_of(const Result& r) {
    if (!r.crs.present) return "none";
    if (!r.crs.horizontal.empty()) return r.crs.horizontal + (r.crs.vertical.empty() ? "" : " + " + r.crs.vertical);
    return "unidentified";
}

// What a reader of the summary sees for a consistency value.
std::string shown(const Delivery& d, std::size_t rule, const std::string& v) {
    if (rule == 4) {
        auto it = d.system_names.find(v);
        return it == d.system_names.end() ? v : it->second;
    }
    if (rule == 5) return v.empty() ? "no Extra Bytes VLR" : "Extra Bytes VLR " + v;
    return v;
}

// The time types by global encoding bit 0, as the summary names them.
const char* const kTimeTypes[2] = {"week", "adjusted_standard"};
const char* const kTimeTypeText[2] = {"GPS week time", "adjusted standard GPS time"};

// A delivery fails with a file that fails or could not be judged, and with
// a consistency rule of severity error (with --strict, any).
bool passes(const Delivery& d, const std::vector<DeliveryFinding>& c) {
    if (d.by_verdict[static_cast<int>(Verdict::fail)] || d.by_status[static_cast<int>(Status::refused)] ||
        d.by_status[static_cast<int>(Status::error)])
        return false;
    return std::none_of(c.begin(), c.end(), [&](const DeliveryFinding& f) {
        return d.strict || f.finding.rule->severity == lidar::Severity::error;
    });
}

double metres_per_unit(const Delivery& d, int system) {
    const auto it = d.metres_per_unit.find(system);
    return it == d.metres_per_unit.end() ? 1 : it->second;
}

// The least void reported: (4 x ANPS)^2, QL2's spacing without a quality level.
double void_area(const Delivery& d, int system) {
    const lidar::QualityLimits q = lidar::quality_limits(d.quality_level);
    const double anps = (q.anps > 0 ? q.anps : lidar::quality_limits(lidar::QualityLevel::ql2).anps) / metres_per_unit(d, system);
    return 16 * anps * anps;
}

std::string box(double min_x, double min_y, double max_x, double max_y) {
    return "X " + num(min_x) + " to " + num(max_x) + ", Y " + num(min_y) + " to " + num(max_y);
}

// The findings of the tile scheme and the voids, in the rule list's order.
void scheme_findings(const Delivery& d, std::vector<DeliveryFinding>& out) {
    const Scheme& s = d.scheme;
    auto path = [&](std::size_t file) { return d.keys[file].path; };
    auto add = [&](const char* rule, std::string expected, std::string actual, std::vector<std::string> files) {
        DeliveryFinding f;
        f.finding = lidar::finding(rule, nullptr, std::move(expected), std::move(actual));
        f.files = std::move(files);
        out.push_back(std::move(f));
    };
    auto paths = [&](const std::vector<std::size_t>& files) {
        std::vector<std::string> p;
        for (std::size_t f : files) p.push_back(path(f));
        return p;
    };
    if (d.profile == lidar::Profile::stats) return;
    std::vector<std::size_t> at(d.keys.size(), 0);  // file -> its tile
    for (std::size_t k = 0; k < d.tiles.size(); ++k) at[d.tiles[k].file] = k;
    if (s.found) {
        const std::string size = num(s.size_x) + " x " + num(s.size_y);
        if (!s.off_size.empty())
            add("delivery.tile-size", "tiles of " + size + " (the majority)",
                std::to_string(s.off_size.size()) + (s.off_size.size() == 1 ? " tile" : " tiles") + " of another size",
                paths(s.off_size));
        if (!s.off_grid.empty())
            add("delivery.off-grid", "tiles on the grid of " + size + " from " + num(s.origin_x) + ", " + num(s.origin_y),
                std::to_string(s.off_grid.size()) + (s.off_grid.size() == 1 ? " tile" : " tiles") + " off it",
                paths(s.off_grid));
        for (const auto& [p, q] : s.overlaps) {
            const TileBox &a = d.tiles[at[p]], &b = d.tiles[at[q]];
            add("delivery.tile-overlap", "tiles overlapping by no more than a cell",
                "an overlap at " + box(std::max(a.min_x, b.min_x), std::max(a.min_y, b.min_y), std::min(a.max_x, b.max_x),
                                       std::min(a.max_y, b.max_y)),
                {path(p), path(q)});
        }
    }
    for (const std::vector<std::size_t>& g : s.duplicates)
        add("delivery.duplicate", "tiles holding points of their own",
            std::to_string(g.size()) + " files with the same " + std::to_string(d.tiles[at[g[0]]].points) + " points",
            paths(g));
    if (s.found)
        for (const Scheme::Hole& h : s.holes) {
            // Named by the tiles around it: those reaching into the missing
            // tile's neighbours.
            std::vector<std::size_t> around;
            for (const TileBox& t : d.tiles) {
                const double cx = (t.min_x + t.max_x) / 2, cy = (t.min_y + t.max_y) / 2;
                const bool beside_x = cy > h.min_y && cy < h.max_y && cx > h.min_x - s.size_x && cx < h.max_x + s.size_x;
                const bool beside_y = cx > h.min_x && cx < h.max_x && cy > h.min_y - s.size_y && cy < h.max_y + s.size_y;
                if (beside_x || beside_y) around.push_back(t.file);
            }
            add("delivery.hole", "a tile at every position the tiles surround", "no tile at " + box(h.min_x, h.min_y, h.max_x, h.max_y),
                paths(around));
        }
    if (d.profile == lidar::Profile::usgs_lbs)
        for (const Void& v : d.voids)
            add("usgs.void", "no void of " + num(d.void_area) + " or more ((4 x ANPS)^2)",
                "a void of " + num(v.area) + " (" + std::to_string(v.cells) + " cells) at " + box(v.min_x, v.min_y, v.max_x, v.max_y),
                paths(v.files));
}

}  // namespace

void finish_delivery(Delivery& d) {
    d.scheme = {};
    d.voids.clear();
    if (d.tiles.empty()) return;
    // The scheme of the tiles in the most common system: those in another
    // fail delivery.crs, and their coordinates are no measure of this grid.
    std::map<int, std::size_t> by_system;
    int system = d.tiles[0].system;
    for (const TileBox& t : d.tiles)
        if (++by_system[t.system] > by_system[system]) system = t.system;
    std::map<double, std::size_t> cells;
    double cell = 0;
    for (const TileCoverage& c : d.coverage)
        if (c.cell > 0 && ++cells[c.cell] > cells[cell]) cell = c.cell;
    if (cell == 0) cell = std::sqrt(void_area(d, system)) / 2;  // twice the pulse spacing, as the scan lays it
    std::vector<TileBox> same;
    for (const TileBox& t : d.tiles)
        if (t.system == system) same.push_back(t);
    d.scheme = tile_scheme(same, cell);

    // Each tile on the scheme's grid reaches to its place in it, so the
    // cells between its points and its neighbours' are judged too.
    if (d.scheme.found)
        for (std::size_t k = 0; k < d.tiles.size(); ++k) {
            const TileBox& t = d.tiles[k];
            if (t.system != system) continue;
            const double cx = (t.min_x + t.max_x) / 2, cy = (t.min_y + t.max_y) / 2;
            const double x0 = d.scheme.origin_x + std::floor((cx - d.scheme.origin_x) / d.scheme.size_x) * d.scheme.size_x;
            const double y0 = d.scheme.origin_y + std::floor((cy - d.scheme.origin_y) / d.scheme.size_y) * d.scheme.size_y;
            // A tile larger than a place has none; one shifted off the grid
            // still stands for the place its middle lies in, and the strip
            // its shift left bare is judged.
            if (t.max_x - t.min_x <= d.scheme.size_x + cell && t.max_y - t.min_y <= d.scheme.size_y + cell)
                extend_coverage(d.coverage[k], x0, y0, x0 + d.scheme.size_x, y0 + d.scheme.size_y);
        }

    // Voids among tiles of one system and one cell, the coverage lent to
    // each group and given back.
    std::map<std::pair<int, double>, std::vector<std::size_t>> groups;
    for (std::size_t k = 0; k < d.tiles.size(); ++k)
        if (d.coverage[k].cell > 0) groups[{d.tiles[k].system, d.coverage[k].cell}].push_back(k);
    d.void_area = void_area(d, system);
    for (const auto& [key, ks] : groups) {
        std::vector<TileCoverage> tiles;
        for (std::size_t k : ks) tiles.push_back(std::move(d.coverage[k]));
        std::vector<Void> v = find_voids(tiles, void_area(d, key.first));
        for (std::size_t k = 0; k < ks.size(); ++k) d.coverage[ks[k]] = std::move(tiles[k]);
        d.voids.insert(d.voids.end(), std::make_move_iterator(v.begin()), std::make_move_iterator(v.end()));
    }
}

namespace {

// First returns per square metre over the area their cells cover, and
// the spacing that density means; nothing where no tile laid a grid.
std::optional<std::pair<double, double>> pulse_density(const Delivery& d) {
    if (!(d.covered_m2 > 0)) return std::nullopt;
    const double density = static_cast<double>(d.first_returns) / d.covered_m2;
    return std::make_pair(density, density > 0 ? 1 / std::sqrt(density) : 0.0);
}

bool any_grid(const Delivery& d) {
    return std::any_of(d.coverage.begin(), d.coverage.end(), [](const TileCoverage& c) { return c.cell > 0; });
}

}  // namespace

void add_to(Delivery& d, const Result& r) {
    ++d.by_status[static_cast<int>(r.status)];
    if (r.verdict != Verdict::none) ++d.by_verdict[static_cast<int>(r.verdict)];
    // A rule counts a file once however often the file fails it.
    const lidar::Rule* prev = nullptr;
    for (const lidar::Finding& f : r.findings)
        if (f.rule != prev) ++d.by_rule[prev = f.rule];
    if (!r.header_read) return;
    const lidar::LasHeader& h = r.scanned ? r.recomputed : r.stored;
    const std::string system = system_of(r);
    Delivery::Last& last = d.last;
    std::array<std::uint64_t, 3> scale_bits;
    std::memcpy(scale_bits.data(), r.stored.scale, sizeof scale_bits);
    const auto from = std::tie(r.stored.major, r.stored.minor, r.stored.point_format, r.stored.record_length,
                               r.crs.system, scale_bits, system, r.extra_bytes);
    if (!last.valid || !(last.from == from)) {
        const std::string version = std::to_string(r.stored.major) + "." + std::to_string(r.stored.minor);
        last.version_count = &d.versions[version];
        last.format_count = &d.formats[std::to_string(r.stored.point_format)];
        last.system_count = &d.systems[system];
        last.extent = &d.extents[system];
        std::string value[6];
        value[0] = version;
        value[1] = std::to_string(r.stored.point_format);
        value[2] = std::to_string(r.stored.record_length);
        value[3] = num(r.stored.scale[0]) + " " + num(r.stored.scale[1]) + " " + num(r.stored.scale[2]);
        value[4] = r.crs.system >= 0 ? std::to_string(r.crs.system) : system;
        if (r.crs.system >= 0) d.system_names.emplace(value[4], system);
        // The description itself may be long; files describe alike when the
        // bytes hash alike.
        value[5] = r.extra_bytes.empty() ? "" : std::to_string(r.extra_bytes.size() / 192) + " fields, hash " +
                                                    std::to_string(std::hash<std::string>{}(r.extra_bytes) % 1000000);
        for (int k = 0; k < 6; ++k) {
            auto [at, added] = d.value_ids[k].emplace(value[k], static_cast<std::uint32_t>(d.values[k].size()));
            if (added) d.values[k].push_back(value[k]);
            last.value[k] = at->second;
        }
        last.from = from;
        last.valid = true;
    }
    ++*last.version_count;
    ++*last.format_count;
    ++*last.system_count;
    if (r.scanned) d.points += r.points;
    const bool has_points = r.scanned ? r.points > 0 : lidar::claimed_count(h) > 0;
    if (has_points && std::all_of(h.extent, h.extent + 6, [](double v) { return std::isfinite(v); })) {
        Delivery::Extent& e = *last.extent;
        for (int k = 0; k < 6; ++k) {
            const bool max = k % 2 == 0;
            e.e[k] = !e.any ? h.extent[k] : max ? std::max(e.e[k], h.extent[k]) : std::min(e.e[k], h.extent[k]);
        }
        e.any = true;
    }
    if (r.scanned) {
        if (r.detail.gps_count > 0) {
            // Week seconds and seconds since 1980 are no one range.
            Delivery::Range& g = d.gps[r.stored.global_encoding & 1];
            g.min = g.any ? std::min(g.min, r.detail.gps_min) : r.detail.gps_min;
            g.max = g.any ? std::max(g.max, r.detail.gps_max) : r.detail.gps_max;
            g.any = true;
        }
        for (int c = 0; c < 256; ++c) d.classes[c] += r.detail.classes[c];
    }
    if (r.scanned && r.points > 0 && std::all_of(h.extent, h.extent + 4, [](double v) { return std::isfinite(v); })) {
        TileBox b;
        b.file = d.keys.size();
        b.min_x = h.extent[1], b.max_x = h.extent[0], b.min_y = h.extent[3], b.max_y = h.extent[2];
        b.points = r.points;
        b.record_hash = r.survey.record_hash;
        b.system = r.crs.system;
        d.tiles.push_back(b);
        // Judging took the runs before it coarsened the grid; a result
        // made otherwise (tests) has its grid as laid.
        d.coverage.push_back(r.coverage.cell > 0 ? r.coverage : coverage_of(r.survey.grid, b.file));
        d.coverage.back().file = b.file;
        const TileCoverage& c = d.coverage.back();
        if (r.crs.metres_per_unit > 0) d.metres_per_unit.emplace(r.crs.system, r.crs.metres_per_unit);
        if (c.cell > 0) {
            const double m = r.crs.metres_per_unit > 0 ? r.crs.metres_per_unit : 1;
            d.first_returns += r.survey.first_returns - r.survey.grid.outside;
            // The survey's own count: a tile's runs may be kept at a coarser cell.
            d.covered_m2 += covered_area(r.survey.grid) * m * m;
        }
    }
    Delivery::Key key;
    key.path = r.path;
    std::copy(last.value, last.value + 6, key.value);
    d.keys.push_back(std::move(key));
}

std::vector<DeliveryFinding> consistency(const Delivery& d) {
    std::vector<DeliveryFinding> out;
    for (std::size_t rule = 0; rule < 6; ++rule) {
        // The majority: the most common value, the first met on a tie.
        // A file that declares no system fails crs.missing already; it
        // neither sets the delivery's system nor differs from it.
        const std::vector<std::string>& values = d.values[rule];
        auto counts = [&](const Delivery::Key& k) { return rule != 4 || values[k.value[rule]] != "none"; };
        std::vector<std::size_t> n(values.size(), 0);
        std::size_t kinds = 0, most = 0;
        std::uint32_t majority = 0;
        for (const Delivery::Key& k : d.keys) {
            if (!counts(k)) continue;
            const std::size_t seen = ++n[k.value[rule]];
            kinds += seen == 1;
            if (seen > most) most = seen, majority = k.value[rule];
        }
        if (kinds < 2 || lidar::rule(kConsistencyRules[rule]).severity == lidar::Severity::off) continue;
        DeliveryFinding f;
        for (const Delivery::Key& k : d.keys)
            if (counts(k) && k.value[rule] != majority) f.files.push_back(k.path);
        f.finding = lidar::finding(kConsistencyRules[rule], nullptr, shown(d, rule, values[majority]) + " (the majority)",
                                   std::to_string(f.files.size()) + " files differ");
        out.push_back(std::move(f));
    }
    scheme_findings(d, out);
    return out;
}

std::string summary_text(const Delivery& d, const std::vector<DeliveryFinding>& c) {
    std::string t = "Delivery:\n";
    t += std::string("  verdict: ") + (passes(d, c) ? "pass" : "fail") + " (" +
         std::to_string(d.by_verdict[static_cast<int>(Verdict::pass)]) + " pass, " +
         std::to_string(d.by_verdict[static_cast<int>(Verdict::fail)]) + " fail)\n";
    std::size_t files = 0;
    for (std::size_t n : d.by_status) files += n;
    t += "  files: " + std::to_string(files);
    for (int s = 0; s < kStatuses; ++s)
        if (d.by_status[s]) t += ", " + std::to_string(d.by_status[s]) + " " + status_name(static_cast<Status>(s));
    t += "\n  points: " + std::to_string(d.points) + "\n";
    for (const auto& [system, x] : d.extents)
        if (x.any)
            t += "  extent (" + escape_text(system) + "): X " + num(x.e[1]) + " to " + num(x.e[0]) + ", Y " +
                 num(x.e[3]) + " to " + num(x.e[2]) + ", Z " + num(x.e[5]) + " to " + num(x.e[4]) + "\n";
    t += "  versions: " + counted(d.versions) + "\n  point formats: " + counted(d.formats) +
         "\n  coordinate systems: " + counted(d.systems) + "\n";
    if (!d.system_names.empty() && !lidar::crs_uses_proj())
        t += "  (EPSG codes as the files state them: identification needs PROJ)\n";
    for (int k = 0; k < 2; ++k)
        if (d.gps[k].any)
            t += std::string("  ") + kTimeTypeText[k] + ": " + num(d.gps[k].min) + " to " + num(d.gps[k].max) + "\n";
    std::string classes;
    for (int k = 0; k < 256; ++k)
        if (d.classes[k]) classes += (classes.empty() ? "" : ", ") + std::to_string(k) + " (" + std::to_string(d.classes[k]) + ")";
    if (!classes.empty()) t += "  classes: " + classes + "\n";
    if (const auto p = pulse_density(d))
        t += "  pulse density: " + num(p->first) + " per square metre, spacing " + num(p->second) +
             " m (first returns over the area their cells cover)\n";
    if (d.scheme.found)
        t += "  tile scheme: " + num(d.scheme.size_x) + " x " + num(d.scheme.size_y) + " from " + num(d.scheme.origin_x) +
             ", " + num(d.scheme.origin_y) + "\n";
    if (any_grid(d)) t += "  voids: " + std::to_string(d.voids.size()) + "\n";
    for (const lidar::Rule& r : lidar::all_rules()) {
        auto it = d.by_rule.find(&r);
        if (it != d.by_rule.end())
            t += "  " + std::string(lidar::severity_name(r.severity)) + " " + r.id + ": " + std::to_string(it->second) +
                 (it->second == 1 ? " file\n" : " files\n");
    }
    for (const DeliveryFinding& f : c) {
        t += "  " + std::string(lidar::severity_name(f.finding.rule->severity)) + " " + f.finding.rule->id +
             ": expected " + escape_text(f.finding.expected) + ", " + escape_text(f.finding.actual) + ":";
        const std::size_t shown_files = std::min<std::size_t>(f.files.size(), 10);
        for (std::size_t k = 0; k < shown_files; ++k) t += (k ? ", " : " ") + escape_text(f.files[k]);
        if (f.files.size() > shown_files) t += " and " + std::to_string(f.files.size() - shown_files) + " more";
        t += "\n";
    }
    return t;
}

std::string summary_json(const Delivery& d, const std::vector<DeliveryFinding>& c) {
    using J = nlohmann::ordered_json;
    J j;
    j["type"] = "summary";
    j["verdict"] = passes(d, c) ? "pass" : "fail";
    std::size_t files = 0;
    for (std::size_t n : d.by_status) files += n;
    j["files"] = files;
    j["by_verdict"] = {{"pass", d.by_verdict[static_cast<int>(Verdict::pass)]},
                       {"fail", d.by_verdict[static_cast<int>(Verdict::fail)]}};
    j["by_status"] = J::object();
    for (int s = 0; s < kStatuses; ++s) j["by_status"][status_name(static_cast<Status>(s))] = d.by_status[s];
    j["by_rule"] = J::object();
    for (const lidar::Rule& r : lidar::all_rules()) {
        auto it = d.by_rule.find(&r);
        if (it != d.by_rule.end()) j["by_rule"][r.id] = it->second;
    }
    j["points"] = d.points;
    j["extents"] = J::object();
    for (const auto& [system, x] : d.extents)
        if (x.any)
            j["extents"][system] = {{"MaxX", x.e[0]}, {"MinX", x.e[1]}, {"MaxY", x.e[2]},
                                    {"MinY", x.e[3]}, {"MaxZ", x.e[4]}, {"MinZ", x.e[5]}};
    j["versions"] = d.versions;
    j["point_formats"] = d.formats;
    j["coordinate_systems"] = d.systems;
    j["crs_identified_with_proj"] = d.system_names.empty() ? J() : J(lidar::crs_uses_proj());
    j["gps_time"] = J::object();
    for (int k = 0; k < 2; ++k)
        if (d.gps[k].any) j["gps_time"][kTimeTypes[k]] = {{"min", d.gps[k].min}, {"max", d.gps[k].max}};
    j["classes"] = J::object();
    for (int k = 0; k < 256; ++k)
        if (d.classes[k]) j["classes"][std::to_string(k)] = d.classes[k];
    const auto p = pulse_density(d);
    j["pulse_density"] = p ? J(p->first) : J();
    j["pulse_spacing"] = p ? J(p->second) : J();
    j["tile_scheme"] = d.scheme.found ? J{{"size_x", d.scheme.size_x},
                                          {"size_y", d.scheme.size_y},
                                          {"origin_x", d.scheme.origin_x},
                                          {"origin_y", d.scheme.origin_y}}
                                      : J();
    j["voids"] = any_grid(d) ? J(d.voids.size()) : J();
    j["consistency"] = J::array();
    for (const DeliveryFinding& f : c)
        j["consistency"].push_back({{"rule", f.finding.rule->id},
                                    {"severity", lidar::severity_name(f.finding.rule->severity)},
                                    {"source", f.finding.source},
                                    {"expected", f.finding.expected},
                                    {"actual", f.finding.actual},
                                    {"files", f.files}});
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string rules_table(bool roff) {
    static const char* const kOrigin[] = {"LAS", "USGS LBS", "delivery", "LASzip"};
    std::string t = roff ? ".TS\nallbox;\nl l l l.\nRule\tSeverity\tChecks\tFrom\n" : "| Rule | Severity | Checks | From |\n|---|---|---|---|\n";
    for (const lidar::Rule& r : lidar::all_rules()) {
        const std::string from = std::string(kOrigin[static_cast<int>(r.origin)]) +
                                 (r.origin == lidar::Origin::delivery ? "" : std::string(": ") + r.clause);
        if (roff)
            t += std::string(r.id) + "\t" + lidar::severity_name(r.severity) + "\tT{\n" + r.checks + "\nT}\tT{\n" + from + "\nT}\n";
        else
            t += "| `" + std::string(r.id) + "` | " + lidar::severity_name(r.severity) + " | " + r.checks + " | " + from + " |\n";
    }
    return t + (roff ? ".TE\n" : "");
}

}  // namespace audit
