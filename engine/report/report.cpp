#include "audit.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace audit {

namespace {

std::string version_of(const lidar::LasId& id) {
    if (id.version_major < 0 || id.version_minor < 0) return "";
    return std::to_string(id.version_major) + "." + std::to_string(id.version_minor);
}

std::string differences_text(const Result& r) {
    std::string t;
    for (const Difference& d : r.differences) {
        if (!t.empty()) t += "; ";
        t += d.field + " " + d.stored + " \u2192 " + d.recomputed;
    }
    return t;
}

// The code point of the UTF-8 sequence at p (of at most n bytes) and its
// length, or length 0 where the bytes are not UTF-8.
struct Decoded {
    unsigned cp = 0;
    std::size_t len = 0;
};
Decoded decode(const unsigned char* p, std::size_t n) {
    unsigned c = p[0];
    std::size_t more;
    unsigned min;
    if (c < 0x80) return {c, 1};
    if (c >= 0xc2 && c <= 0xdf) { more = 1; min = 0x80; }
    else if (c >= 0xe0 && c <= 0xef) { more = 2; min = 0x800; }
    else if (c >= 0xf0 && c <= 0xf4) { more = 3; min = 0x10000; }
    else return {};
    if (n <= more) return {};
    unsigned v = c & (0x3fu >> more);
    for (std::size_t k = 1; k <= more; ++k) {
        if ((p[k] & 0xc0) != 0x80) return {};
        v = v << 6 | (p[k] & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (v < min || (v >= 0xd800 && v <= 0xdfff) || v > 0x10ffff) return {};
    return {v, more + 1};
}

// Everything that could end a line or pass for other text shown as an
// escape: C0 and C1 controls, DEL, the Unicode line and paragraph
// separators, bytes that are not UTF-8 (two such names would otherwise look
// alike), and the backslash that starts an escape. So no name or reason can
// forge a line or pass for another file.
void append_escaped(std::string& t, std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    char buf[16];
    for (std::size_t i = 0; i < n;) {
        // Printable ASCII, the whole of nearly every name, goes over as a run.
        std::size_t run = i;
        while (run < n && p[run] >= 0x20 && p[run] < 0x7f && p[run] != '\\') ++run;
        if (run > i) {
            t.append(s.substr(i, run - i));
            i = run;
            continue;
        }
        const unsigned char c = p[i];
        switch (c) {
            case '\t': t += "\\t"; ++i; continue;
            case '\n': t += "\\n"; ++i; continue;
            case '\r': t += "\\r"; ++i; continue;
            case '\\': t += "\\\\"; ++i; continue;
            default: break;
        }
        const Decoded d = decode(p + i, n - i);
        if (d.len == 0 || d.cp < 0x20 || d.cp == 0x7f) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            t += buf;
            ++i;
        } else if ((d.cp >= 0x80 && d.cp <= 0x9f) || d.cp == 0x2028 || d.cp == 0x2029) {
            std::snprintf(buf, sizeof buf, "\\u%04x", d.cp);
            t += buf;
            i += d.len;
        } else {
            t.append(s.substr(i, d.len));
            i += d.len;
        }
    }
}

std::string escaped(std::string_view s) {
    std::string t;
    t.reserve(s.size());
    append_escaped(t, s);
    return t;
}

// A reason of several lines on one line, for people: its line breaks become
// spaces, but the file's name inside it is escaped whole, so a line break
// in a name does not turn into a space that names another file.
std::string text_reason(const std::string& reason, const std::string& path) {
    std::string t;
    bool space = false;  // the last thing written was a space from a line break
    for (std::size_t i = 0; i < reason.size();) {
        if (!path.empty() && reason.compare(i, path.size(), path) == 0) {
            append_escaped(t, path);
            i += path.size();
            space = false;
            continue;
        }
        const char c = reason[i];
        if (c == '\n' || c == '\r') {
            ++i;
            if (!t.empty() && !space && t.back() != ' ') {
                t += ' ';
                space = true;
            }
            continue;
        }
        // ASCII up to the next line break or the name is escaped as one
        // piece; any other byte alone, as it always was.
        std::size_t end = i + 1;
        while (static_cast<unsigned char>(c) < 0x80 && end < reason.size() &&
               static_cast<unsigned char>(reason[end]) < 0x80 && reason[end] != '\n' && reason[end] != '\r' &&
               (path.empty() || reason[end] != path[0] || reason.compare(end, path.size(), path) != 0))
            ++end;
        append_escaped(t, std::string_view(reason).substr(i, end - i));
        i = end;
        space = false;
    }
    return t;
}

std::string hex(const std::string& s) {
    static const char kDigits[] = "0123456789abcdef";
    std::string t;
    for (unsigned char c : s) {
        t += kDigits[c >> 4];
        t += kDigits[c & 15];
    }
    return t;
}

nlohmann::ordered_json values(const lidar::LasHeader& h) {
    nlohmann::ordered_json v;
    v["count"] = h.legacy_count;
    v["by_return"] = nlohmann::json::array();
    for (std::uint32_t n : h.legacy_by_return) v["by_return"].push_back(n);
    // JSON has no NaN or infinity, and null means "does not apply": such
    // extents are written as the strings "NaN", "Infinity", "-Infinity".
    auto extent = [](double d) {
        if (std::isfinite(d)) return nlohmann::ordered_json(d);
        return nlohmann::ordered_json(std::isnan(d) ? "NaN" : d > 0 ? "Infinity" : "-Infinity");
    };
    // The extents under the header's field names, from the one list of them.
    std::size_t n;
    const lidar::StatField* f = lidar::stat_fields(n);
    for (std::size_t k = 0; k < n; ++k)
        if (lidar::stat_is_extent(k)) v[f[k].name] = extent(h.extent[k - 6]);
    // LAS 1.4's 64-bit counts; earlier versions have none.
    if (h.minor >= 4) {
        v["extended_count"] = h.count;
        v["extended_by_return"] = nlohmann::json::array();
        for (std::uint64_t n : h.by_return) v["extended_by_return"].push_back(n);
    } else {
        v["extended_count"] = nullptr;
        v["extended_by_return"] = nullptr;
    }
    return v;
}


// What the survey of the points found; null where they were not read.
nlohmann::ordered_json survey_json(const Result& r) {
    if (!r.scanned || !r.surveyed) return nullptr;
    const PointSurvey& s = r.survey;
    using J = nlohmann::ordered_json;
    J v;
    v["withheld"] = s.withheld;
    v["synthetic"] = s.synthetic;
    v["key_point"] = s.key_point;
    v["overlap"] = s.overlap;
    v["first_returns"] = s.first_returns;
    v["last_returns"] = s.last_returns;
    // Values of a 16-bit field that are all multiples of 256 came from 8 bits.
    v["intensity"] = s.points == 0 ? J() : J{{"min", s.intensity_min}, {"max", s.intensity_max},
                                             {"scaled_from_8_bits", s.intensity_max > 255 && s.intensity_low_or == 0}};
    v["scan_angle"] = s.points == 0 ? J() : J{{"min", s.scan_angle_min}, {"max", s.scan_angle_max}};
    v["swaths"] = J::array();
    for (const Swath& w : s.swaths)
        v["swaths"].push_back({{"id", w.id},
                               {"points", w.points},
                               {"gps_min", w.timed ? J(w.gps_min) : J()},
                               {"gps_max", w.timed ? J(w.gps_max) : J()}});
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(s.record_hash));
    v["record_hash"] = hash;
    const SurveyGrid& g = s.grid;
    if (g.cell > 0) {
        const double area = covered_area(g);
        auto density = [&](std::uint64_t n) { return area > 0 ? J(static_cast<double>(n) / area) : J(); };
        const GridShape laid = laid_shape(g);
        v["coverage"] = {{"cell", g.cell},
                         {"cols", laid.cols},
                         {"rows", laid.rows},
                         {"covered_cells", covered_cells(g)},
                         {"covered_area", area},
                         {"outside", g.outside},
                         {"point_density", density(s.points)},
                         {"pulse_density", area > 0 ? J(pulse_density(s)) : J()}};
    } else {
        v["coverage"] = nullptr;
    }
    return v;
}

std::string json_line(const Result& r) {
    nlohmann::ordered_json j;
    j["path"] = r.path;
    // Invalid bytes come out as U+FFFD below; the raw name rides along.
    if (!is_valid_utf8(r.path)) j["path_bytes"] = hex(r.path);
    j["status"] = status_name(r.status);
    j["verdict"] = r.verdict == Verdict::none ? nlohmann::ordered_json() : nlohmann::ordered_json(verdict_name(r.verdict));
    std::string version = version_of(r.id);
    j["version"] = version.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(version);
    j["point_format"] = r.id.point_format < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(r.id.point_format);
    j["points"] = r.scanned ? nlohmann::ordered_json(r.points) : nlohmann::ordered_json();
    j["stored"] = r.header_read ? values(r.stored) : nlohmann::ordered_json();
    j["recomputed"] = r.scanned ? values(r.recomputed) : nlohmann::ordered_json();
    // Compared only what was scanned: otherwise there is nothing to list.
    j["differences"] = r.scanned ? nlohmann::ordered_json::array() : nlohmann::ordered_json();
    for (const Difference& d : r.differences) j["differences"].push_back(d.field);
    j["reason"] = r.reason.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.reason);
    j["findings"] = nlohmann::ordered_json::array();
    for (const lidar::Finding& f : r.findings)
        j["findings"].push_back({{"rule", f.rule->id},
                                 {"severity", lidar::severity_name(f.rule->severity)},
                                 {"source", f.source},
                                 {"expected", f.expected},
                                 {"actual", f.actual}});
    // What the points hold beyond the statistics: only where they were read.
    const bool timed = r.scanned && r.detail.gps_count > 0;
    j["gps_time"] = timed ? nlohmann::ordered_json{{"min", r.detail.gps_min}, {"max", r.detail.gps_max}}
                          : nlohmann::ordered_json();
    j["classes"] = r.scanned ? nlohmann::ordered_json::object() : nlohmann::ordered_json();
    for (int c = 0; r.scanned && c < 256; ++c)
        if (r.detail.classes[c]) j["classes"][std::to_string(c)] = r.detail.classes[c];
    j["crs"] = r.crs.present ? nlohmann::ordered_json{{"horizontal", r.crs.horizontal}, {"vertical", r.crs.vertical}}
                             : nlohmann::ordered_json();
    j["survey"] = survey_json(r);
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string tsv_line(const Result& r) {
    std::string ids;
    for (const lidar::Finding& x : r.findings) {
        if (!ids.empty()) ids += ',';
        ids += x.rule->id;
    }
    std::string f[10] = {escaped(r.path), status_name(r.status), verdict_name(r.verdict), version_of(r.id),
                        r.id.point_format < 0 ? "" : std::to_string(r.id.point_format),
                        r.header_read ? std::to_string(lidar::claimed_count(r.stored)) : "",
                        r.scanned ? std::to_string(r.points) : "",
                        escaped(differences_text(r)), escaped(r.reason), ids};
    std::string line = f[0];
    for (int k = 1; k < 10; ++k) line += "\t" + f[k];
    return line + "\n";
}

std::string text_line(const Result& r, std::size_t path_width) {
    // The verdict first, what a person accepting a delivery reads for.
    std::string line = verdict_name(r.verdict);
    line.append(6 - line.size(), ' ');
    line += status_name(r.status);
    line.append(line.size() < 15 ? 15 - line.size() : 1, ' ');  // "unchecked" is the one longer name
    std::string path = escaped(r.path);
    line += path;
    std::string detail;
    switch (r.status) {
        case Status::current: {
            detail = std::to_string(r.points) + (r.points == 1 ? " point" : " points");
            if (!r.reason.empty()) detail += " (" + text_reason(r.reason, r.path) + ")";
            break;
        }
        case Status::unchecked: detail = "statistics not checked (headers only)"; break;
        case Status::stale: case Status::fixed: case Status::short_:
            detail = differences_text(r);
            if (detail.empty()) detail = text_reason(r.reason, r.path);
            else if (!r.reason.empty()) detail += " (" + text_reason(r.reason, r.path) + ")";
            break;
        default: detail = text_reason(r.reason, r.path);
    }
    std::size_t w = display_width(path);
    line.append((w < path_width ? path_width - w : 0) + 2, ' ');
    line += detail + "\n";
    // The stale fields are on the line already.
    for (const lidar::Finding& f : r.findings) {
        if (std::string_view(f.rule->id).starts_with("stats.")) continue;
        line.append(15, ' ').append(f.rule->severity == lidar::Severity::error ? "error    " : "warning  ");
        line.append(f.rule->id).append(": expected ");
        append_escaped(line, f.expected);
        line.append(", found ");
        append_escaped(line, f.actual);
        line += '\n';
    }
    return line;
}

}  // namespace

bool is_valid_utf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decode(p + i, s.size() - i);
        if (d.len == 0) return false;
        i += d.len;
    }
    return true;
}

std::size_t display_width(const std::string& s) {
    // Columns as a terminal draws them: East Asian wide and fullwidth
    // characters take two, combining marks and zero-width ones none. A
    // table of our own, so the width does not hang on the locale.
    static const struct {
        unsigned from, to;
        unsigned char cols;
    } kRanges[] = {
        {0x0300, 0x036f, 0}, {0x0483, 0x0489, 0}, {0x0591, 0x05bd, 0}, {0x0610, 0x061a, 0},
        {0x064b, 0x065f, 0}, {0x0e31, 0x0e31, 0}, {0x0e34, 0x0e3a, 0}, {0x1100, 0x115f, 2},
        {0x1ab0, 0x1aff, 0}, {0x1dc0, 0x1dff, 0}, {0x200b, 0x200f, 0}, {0x20d0, 0x20ff, 0},
        {0x231a, 0x231b, 2}, {0x2e80, 0x303e, 2}, {0x3041, 0x33ff, 2}, {0x3400, 0x4dbf, 2},
        {0x4e00, 0x9fff, 2}, {0xa000, 0xa4cf, 2}, {0xa960, 0xa97f, 2}, {0xac00, 0xd7a3, 2},
        {0xf900, 0xfaff, 2}, {0xfe00, 0xfe0f, 0}, {0xfe10, 0xfe19, 2}, {0xfe20, 0xfe2f, 0},
        {0xfe30, 0xfe6f, 2}, {0xfeff, 0xfeff, 0}, {0xff00, 0xff60, 2}, {0xffe0, 0xffe6, 2},
        {0x1f300, 0x1f64f, 2}, {0x1f900, 0x1f9ff, 2}, {0x20000, 0x2fffd, 2}, {0x30000, 0x3fffd, 2},
        {0xe0100, 0xe01ef, 0},
    };
    std::size_t n = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        if (p[i] < 0x80) {
            ++n;
            ++i;
            continue;
        }
        const Decoded d = decode(p + i, s.size() - i);
        if (d.len == 0) {  // shown as one replacement character
            ++n;
            ++i;
            continue;
        }
        i += d.len;
        unsigned cols = 1;
        for (const auto& r : kRanges)
            if (d.cp >= r.from && d.cp <= r.to) {
                cols = r.cols;
                break;
            }
        n += cols;
    }
    return n;
}

std::size_t path_columns(const std::string& path) {
    // Printable ASCII is its own escape, a column a byte.
    if (std::all_of(path.begin(), path.end(), [](char c) { return c >= 0x20 && c < 0x7f && c != '\\'; }))
        return path.size();
    return display_width(escaped(path));
}

std::string escape_text(const std::string& s) { return escaped(s); }

std::string report_head(Format f) {
    if (f == Format::tsv)
        return "path\tstatus\tverdict\tversion\tpoint_format\tstored_points\tpoints\tdifferences\treason\tfindings\n";
    return "";
}

std::string report_line(const Result& r, Format f, std::size_t path_width) {
    switch (f) {
        case Format::tsv: return tsv_line(r);
        case Format::jsonl: return json_line(r);
        default: return text_line(r, path_width);
    }
}

}  // namespace audit
