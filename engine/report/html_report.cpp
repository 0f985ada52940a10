// The HTML report: a map of the tiles coloured by verdict and patterned by
// status, the delivery's summary and a table of every file, in one file
// that opens without a network. The page draws on a canvas and shows only
// the table rows in view, so 100,000 tiles stay quick.
#include "density_raster.h"
#include "outputs.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

namespace audit {

namespace {

// A JSON string for the page's data block: a "</script>" inside a name
// must not end the block, so '<' is escaped, which means the same to JSON.
std::string json_text(const std::string& s) {
    const std::string j = nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string t;
    for (char ch : j) {
        if (ch == '<') t += "\\u003c";
        else t += ch;
    }
    return t;
}

std::string html_text(const std::string& s) {
    std::string t;
    for (char ch : s) {
        switch (ch) {
            case '&': t += "&amp;"; break;
            case '<': t += "&lt;"; break;
            case '>': t += "&gt;"; break;
            case '"': t += "&quot;"; break;
            default: t += ch;
        }
    }
    return t;
}

std::string number(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.11g", v);
    return b;
}

// Okabe and Ito's palette, which readers with any common colour vision
// deficiency tell apart, by what the map shows of a verdict: pass (sky
// blue), fail (vermillion), not judged (black), a repeated name (grey).
// Drawn in this order, so where tiles overlap the worse shows on top.
const char* const kClassNames[4] = {"pass", "fail", "not judged", "repeated"};
const char* const kClassColours[4] = {"#56b4e9", "#d55e00", "#000000", "#999999"};
const int kClassOrder[4] = {3, 0, 1, 2};

// The status over the colour, as a pattern of lines or dots; current and
// refused are plain (a refused tile is told apart by its colour).
const char* const kPatterns[kStatuses] = {"", "slash", "backslash", "", "cross", "vbar", "dots", "hbar"};
static_assert(static_cast<int>(Status::short_) == kStatuses - 1, "a pattern for every status");
// The table sorts statuses from the best to the worst.
const int kStatusOrder[kStatuses] = {0, 5, 6, 2, 1, 7, 4, 3};

// The square unit densities are per, by the system's linear unit.
const char* square_unit(const lidar::Crs* crs) {
    const double m = crs ? crs->metres_per_unit : 0;
    if (m == 1) return "m\xc2\xb2";
    if (m == 0.3048) return "ft\xc2\xb2";
    if (std::fabs(m - 1200.0 / 3937) < 1e-12) return "US ft\xc2\xb2";
    return "square unit";
}

// Adds item to a comma-separated list.
void add(std::string& to, const std::string& item) {
    if (!to.empty()) to += ',';
    to += item;
}

std::string list(const char* const* items, int n) {
    std::string t;
    for (int k = 0; k < n; ++k) add(t, json_text(items[k]));
    return t;
}

// The data the page's script reads, added to page: tiles as arrays, paths
// split into a list of directories and the name, which halves what paths
// weigh. Every text in it is escaped as the text report escapes it.
void page_data(const Collected& c, std::string& page) {
    std::map<int, int> system_index = {{kNoSystem, kNoSystem}, {kUnidentified, kUnidentified}};
    std::string systems;
    std::map<int, std::size_t> drawn;  // tiles with an extent, by class
    // The delivery's system, as its consistency rule takes it: the most
    // common declared one.
    for (const Tile& t : c.tiles)
        if (!t.no_extent) ++drawn[t.system];
    int majority = kNoSystem;
    std::size_t most = 0;
    for (const auto& [system, n] : drawn)
        if (system >= 0 && n > most) most = n, majority = system;
    int next = 0;
    for (const auto& [system, crs] : c.systems) {
        system_index.emplace(system, next++);
        add(systems, json_text(escape_text(system_label(c, system))));
    }
    std::unordered_map<const lidar::Rule*, int> rule_index;
    std::string rules, errors;
    for (const lidar::Rule& r : lidar::all_rules()) {
        rule_index.emplace(&r, static_cast<int>(rule_index.size()));
        add(rules, json_text(r.id));
        add(errors, r.severity == lidar::Severity::error ? "1" : "0");
    }
    std::unordered_map<std::string, int> dir_index;
    std::string dirs, tiles = "[", density;
    for (const Tile& t : c.tiles) {
        const std::string shown = escape_text(t.path);
        const std::size_t slash = shown.find_last_of("/\\");
        const std::string dir = slash == std::string::npos ? "" : shown.substr(0, slash + 1);
        auto [d, added] = dir_index.emplace(dir, static_cast<int>(dir_index.size()));
        if (added) add(dirs, json_text(dir));
        std::string ids;
        for (const lidar::Rule* r : t.rules)
            if (const auto k = rule_index.find(r); k != rule_index.end()) add(ids, std::to_string(k->second));
        add(density, t.density >= 0 ? number(t.density) : "null");
        tiles += tiles.size() == 1 ? "[" : ",\n[";
        tiles += std::to_string(d->second) + "," + json_text(shown.substr(dir.size())) + "," +
                 std::to_string(static_cast<int>(t.status)) + "," + std::to_string(static_cast<int>(t.verdict)) +
                 ",\"" + ids + "\"," + std::to_string(t.points) + "," + std::to_string(system_index.at(t.system));
        if (!t.no_extent)
            for (double v : t.extent) {
                tiles += ',';
                tiles += number(v);
            }
        tiles += "]";
    }
    std::string statuses, judged_by_status, status_order, verdicts, order;
    for (int k = 0; k < kStatuses; ++k) {
        add(statuses, json_text(status_name(static_cast<Status>(k))));
        add(judged_by_status, judged(static_cast<Status>(k)) ? "1" : "0");
        add(status_order, std::to_string(kStatusOrder[k]));
    }
    for (int k = 0; k < kVerdicts; ++k) add(verdicts, json_text(verdict_name(static_cast<Verdict>(k))));
    for (int k : kClassOrder) add(order, std::to_string(k));
    // Tiles the tile scheme names, each with what it is marked for.
    std::unordered_map<std::string, std::size_t> by_path;
    for (std::size_t k = 0; k < c.tiles.size(); ++k) by_path.emplace(c.tiles[k].path, k);
    std::string marks;
    for (const DeliveryFinding& f : c.consistency) {
        const std::string id = f.finding.rule ? f.finding.rule->id : "";
        const int kind = id == "delivery.duplicate" ? 0 : id == "delivery.off-grid" ? 1 : -1;
        if (kind < 0) continue;
        for (const std::string& p : f.files)
            if (const auto it = by_path.find(p); it != by_path.end())
                add(marks, std::string(1, '[') += std::to_string(it->second) + "," + std::to_string(kind) + "]");
    }
    // Voids, each by its box, area and the first tile it lies in (its panel).
    std::string voids;
    for (const Void& v : c.delivery.voids) {
        const long tile = !v.files.empty() && v.files[0] < c.tiles.size() ? static_cast<long>(v.files[0]) : -1;
        std::string box(1, '[');
        for (double e : {v.min_x, v.min_y, v.max_x, v.max_y, v.area}) box += number(e) + ",";
        add(voids, box + std::to_string(tile) + "]");
    }
    const auto majority_crs = c.systems.find(majority);
    page += "{\"statuses\":[" + statuses + "],\"statusOrder\":[" + status_order + "],\"judged\":[" + judged_by_status +
            "],\"patterns\":[" + list(kPatterns, kStatuses) + "],\"verdicts\":[" + verdicts + "],\"classes\":[" +
            list(kClassNames, 4) + "],\"colours\":[" + list(kClassColours, 4) + "],\"order\":[" + order +
            "],\"rules\":[" + rules + "],\"errors\":[" + errors + "],\"systems\":[" + systems + "],\"majority\":" +
            std::to_string(system_index.at(majority)) + ",\"unit\":" +
            json_text(square_unit(majority_crs == c.systems.end() ? nullptr : &majority_crs->second)) + ",\"marks\":[" +
            marks + "],\"voids\":[" + voids + "],\"density\":[" + density + "],\"dirs\":[" + dirs + "],\"tiles\":";
    page += tiles;
    page += "]}";
}

}  // namespace

// The page's style and script: report.css and report.js beside this file,
// made into text by the build.
extern const char kReportStyle[];
extern const char kReportScript[];

namespace {

// Each rule once, the errors before the warnings: findings and the
// delivery's rules come in the rule list's order, which each group keeps.
void add_rule(Tile& t, const lidar::Rule* rule) {
    if (std::find(t.rules.begin(), t.rules.end(), rule) != t.rules.end()) return;
    auto at = t.rules.end();
    if (rule->severity == lidar::Severity::error)
        at = std::find_if(t.rules.begin(), t.rules.end(),
                          [](const lidar::Rule* r) { return r->severity != lidar::Severity::error; });
    t.rules.insert(at, rule);
}

}  // namespace

void collect(Collected& c, const Result& r) {
    Tile t;
    t.path = r.path;
    t.status = r.status;
    t.verdict = r.verdict;
    for (const lidar::Finding& f : r.findings) add_rule(t, f.rule);
    if (r.status == Status::repeated) t.no_extent = "repeated: judged under the name it was first met by";
    if (r.header_read) {
        const lidar::LasHeader& h = r.scanned ? r.recomputed : r.stored;
        t.points = r.scanned ? r.points : lidar::claimed_count(h);
        const double e[4] = {h.extent[1], h.extent[3], h.extent[0], h.extent[2]};
        t.no_extent = t.points == 0                                                          ? "no extent: no points"
                      : !std::all_of(e, e + 4, [](double v) { return std::isfinite(v); }) ? "no extent: not finite"
                      : e[0] > e[2] || e[1] > e[3] ? "no extent: its minimum above its maximum"
                                                   : nullptr;
        if (!t.no_extent) std::copy(e, e + 4, t.extent);
        t.system = r.crs.system >= 0 ? r.crs.system : r.crs.present ? kUnidentified : kNoSystem;
        if (r.scanned) t.density = pulse_density(r.survey);
        if (r.crs.system >= 0) c.systems.emplace(r.crs.system, r.crs);
    }
    c.tiles.push_back(std::move(t));
}

void finish(Collected& c) {
    c.consistency = consistency(c.delivery);
    std::unordered_map<std::string, std::size_t> by_path;
    for (std::size_t k = 0; k < c.tiles.size(); ++k) by_path.emplace(c.tiles[k].path, k);
    for (const DeliveryFinding& f : c.consistency)
        for (const std::string& p : f.files)
            if (auto it = by_path.find(p); it != by_path.end()) add_rule(c.tiles[it->second], f.finding.rule);
}

std::string system_label(const Collected& c, int system) {
    if (system == kUnidentified) return "unidentified";
    const auto it = c.systems.find(system);
    if (it == c.systems.end()) return "none";
    const lidar::Crs& crs = it->second;
    if (crs.horizontal.empty()) return crs.vertical.empty() ? "unidentified" : crs.vertical;
    return crs.horizontal + (crs.vertical.empty() ? "" : " + " + crs.vertical);
}

std::string html_report(const Collected& c) {
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>Vexholt-audit: delivery report</title>\n<style>\n";
    page += kReportStyle;
    page += "</style>\n</head>\n<body>\n<h1>Delivery report</h1>\n<p class=\"note\">" + std::to_string(c.tiles.size()) +
            (c.tiles.size() == 1 ? " file" : " files") +
            " judged by Vexholt-audit. Hover over a tile for its path, verdict, status and findings; click it for its "
            "row.</p>\n"
            "<section id=\"map\">\n<h2>Map</h2>\n<div id=\"views\"></div>\n<div id=\"legend\"></div>\n<p class=\"note\" id=\"mapnote\"></p>\n"
            "<div id=\"maps\"></div>\n<p class=\"note\" id=\"apart\"></p>\n</section>\n<div id=\"tip\"></div>\n"
            "<section id=\"summary\">\n<h2>Summary</h2>\n<pre>" +
            html_text(summary_text(c.delivery, c.consistency)) +
            "</pre>\n</section>\n<section id=\"files\">\n<h2>Files</h2>\n<div id=\"filters\"><span id=\"verdicts\"></span><span id=\"statuses\"></span>"
            "<label>Rule <select id=\"rule\"></select></label><label>Path <input id=\"q\" type=\"search\"></label>"
            "<span id=\"count\"></span></div>\n<div id=\"scroller\"><table>\n<thead><tr id=\"head\"></tr></thead>\n"
            "<tbody id=\"body\"></tbody>\n</table></div>\n</section>\n<script id=\"data\" type=\"application/json\">";
    page_data(c, page);
    page += "</script>\n<script>\n";
    page += kReportScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

}  // namespace audit
