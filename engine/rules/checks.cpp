#include "rules.h"

#include "las_validate.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace lidar {

namespace {

// As "%.17g" prints it, without printf's big-number arithmetic, which for
// GPS times near 1e308 cost more than the rest of a tile's rules.
std::string num(double v) {
    char buf[32];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 17);
    return std::string(buf, r.ptr);
}

std::string str(std::uint64_t v) { return std::to_string(v); }

// A scale of 0.01, 0.025 or 0.05 (times any power of ten) is a grid people
// choose; anything else is usually a unit conversion gone astray.
bool usual_scale(double s) {
    const double e = std::floor(std::log10(s));
    const double m = s / std::pow(10.0, e);
    for (double want : {1.0, 2.5, 5.0, 10.0})
        if (std::fabs(m - want) <= 1e-9 * want) return true;
    return false;
}

// Bytes after the text's first NUL must be NULs too: otherwise readers that
// stop at the NUL and those that show all 32 bytes disagree. Spaces before
// it (or filling the field) are padding of another kind, and compare wrong.
bool nul_padded(const unsigned char* field, std::size_t n) {
    const void* nul = std::memchr(field, 0, n);
    const auto* end = nul ? static_cast<const unsigned char*>(nul) : field + n;
    if (end > field && end[-1] == ' ') return false;
    for (auto* p = end; p < field + n; ++p)
        if (*p != 0) return false;
    return true;
}

// Bytes an Extra Bytes VLR describes: 192 bytes a field, its data type at
// byte 2 (1-10 the scalars, 11-30 the old arrays of two and three), and for
// type 0 (undocumented bytes) the count in its options byte.
std::uint64_t described_extra_bytes(const std::string& vlr) {
    static constexpr unsigned kSize[10] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    std::uint64_t total = 0;
    for (std::size_t at = 0; at + 192 <= vlr.size(); at += 192) {
        const unsigned type = static_cast<unsigned char>(vlr[at + 2]);
        if (type == 0) total += static_cast<unsigned char>(vlr[at + 3]);
        else if (type <= 30) total += kSize[(type - 1) % 10] * (1 + (type - 1) / 10);
    }
    return total;
}

std::uint16_t defined_encoding_bits(unsigned minor) {
    switch (minor) {
        case 0: case 1: return 0;
        case 2: return 0x1;
        case 3: return 0x7;
        default: return 0x1f;
    }
}

// The GeoTIFF key directory, as far as its own counts say it is whole.
bool keys_well_formed(const std::string& k) {
    if (k.size() < 8) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(k.data());
    return read_le(b, 2) == 1 && 8 + 8 * read_le(b + 6, 2) <= k.size();
}

// A short number for people: "2", "0.71", "1.3e+06".
std::string short_num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3g", v);
    return b;
}

std::string points_text(std::uint64_t n) { return str(n) + (n == 1 ? " point" : " points"); }

// "class 13 (5 points), class 40 (1 point)", the first ten codes.
std::string classes_text(const std::vector<std::pair<unsigned, std::uint64_t>>& codes) {
    std::string t;
    for (std::size_t k = 0; k < codes.size() && k < 10; ++k)
        t += (k ? ", class " : "class ") + str(codes[k].first) + " (" + points_text(codes[k].second) + ")";
    if (codes.size() > 10) t += " and " + str(codes.size() - 10) + " more codes";
    return t;
}

// The codes the version reserves for h's point format. LAS 1.0 reserves
// none: its codes are the producer's. In formats 6-10, class 12 is the
// rule points.class-overlap's; 19-22 came with revision 15 of 1.4, which a
// file cannot tell from the earlier ones.
bool reserved_class(const LasHeader& h, unsigned c) {
    if (h.major != 1 || h.minor == 0) return false;
    if (h.point_format >= 6) return c == 8 || (c >= 23 && c <= 63);
    return c == 10 || c == 11 || (c >= 13 && c <= 31);
}

std::string unit_text(double metres) {
    if (metres == 1) return "metre";
    if (metres == 0.3048) return "foot (0.3048 m)";
    if (std::fabs(metres - 1200.0 / 3937) < 1e-12) return "US survey foot (0.3048006096 m)";
    return short_num(metres) + " m";
}

void gps_rules(const LasHeader& h, const PointDetail& d, double now_gps, std::vector<Finding>& out) {
    auto add = [&](std::string_view id, std::string expected, std::string actual) {
        out.push_back(finding(id, &h, std::move(expected), std::move(actual)));
    };
    if (gps_time_offset(h.point_format) == 0) return;
    if (d.gps_invalid) add("points.gps-time-invalid", "finite GPS times", str(d.gps_invalid) + " NaN or infinite");
    if (d.gps_count == 0) return;
    // Formatted only for a finding: two exact doubles cost more than the
    // rest of a small file's rules.
    auto range = [&] { return num(d.gps_min) + " to " + num(d.gps_max); };
    if (!(h.global_encoding & 1)) {
        if (d.gps_min < 0 || d.gps_max > 604800)
            add("points.gps-week-time", "GPS week seconds, 0 to 604800 (or global encoding bit 0 set)", range());
    } else if (d.gps_min < -1e9 || d.gps_max > now_gps - 1e9) {
        add("points.gps-standard-time", "adjusted standard GPS time from -1e9 (1980) to " + num(now_gps - 1e9) + " (now)",
            range());
    }
}

bool has_crs_record(const VlrSet& v, std::uint16_t id) {
    for (const Vlr& r : v.vlrs)
        if (r.user_id == "LASF_Projection" && r.record_id == id) return true;
    return false;
}

unsigned next_year() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
#ifdef _WIN32
    gmtime_s(&t, &now);
#else
    gmtime_r(&now, &t);
#endif
    return static_cast<unsigned>(t.tm_year) + 1900 + 1;
}

}  // namespace

void header_rules(const LasHeader& h, const unsigned char* raw, std::size_t raw_size, std::uint64_t file_size,
                  const VlrSet& vlrs, Profile profile, std::vector<Finding>& out) {
    auto add = [&](std::string_view id, std::string expected, std::string actual) {
        out.push_back(finding(id, &h, std::move(expected), std::move(actual)));
    };
    // The header's own faults, as the general rule meets them.
    bool judged = true;
    for (const HeaderReason& r : header_reasons(raw, raw_size, file_size)) {
        static constexpr const char* kIds[] = {"header.signature",     "header.version",      "header.size",
                                               "header.size",          "header.size-extended", "header.point-format",
                                               "header.record-length", "header.offset-to-data"};
        add(kIds[static_cast<int>(r.fault)], r.expected, r.found);
        // Nothing past a header that is not there can be judged.
        judged &= r.fault != HeaderFault::signature && r.fault != HeaderFault::version && r.fault != HeaderFault::truncated;
    }
    if (!judged) return;
    for (const VlrProblem& p : vlrs.problems) {
        const char* id = p.fault == VlrFault::count ? "vlr.count" : p.fault == VlrFault::length ? "vlr.length" : "evlr.bounds";
        out.push_back(finding(id, &h, p.expected, p.actual));
    }

    const bool format_known = h.point_format <= 10;
    const std::size_t least = format_known ? min_record_length(h.point_format) : 0;
    if (format_known && h.minor < 4 && h.record_length > least)
        add("header.extra-bytes", str(least) + " bytes", str(h.record_length) + " bytes");
    if (format_known && h.minor >= 4 && h.record_length > least) {
        const std::uint64_t extra = h.record_length - least, described = described_extra_bytes(vlrs.extra_bytes);
        if (described != extra)
            add("header.extra-bytes-undescribed", str(extra) + " extra bytes described by an Extra Bytes VLR",
                vlrs.extra_bytes.empty() ? "no Extra Bytes VLR" : str(described) + " bytes described");
    }

    // Only an uncompressed point area says by its size what it holds.
    if (!h.compressed && h.record_length > 0 && h.offset_to_data <= file_size && h.offset_to_data >= h.header_size) {
        const std::uint64_t area = point_area_end(h, file_size) - h.offset_to_data;
        if (area % h.record_length != 0)
            add("points.trailing-bytes", "a multiple of " + str(h.record_length) + " bytes", str(area) + " bytes");
        if (claimed_count(h) != area / h.record_length)
            add("header.point-count", str(area / h.record_length) + " records in " + str(area) + " bytes",
                str(claimed_count(h)));
    }
    std::uint64_t sum = 0;
    for (std::uint32_t c : h.legacy_by_return) sum += c;
    if (sum > h.legacy_count) add("header.by-return-sum", "at most " + str(h.legacy_count), str(sum));
    if (h.minor >= 4) {
        std::uint64_t big = 0;
        bool wrapped = false;
        for (std::uint64_t c : h.by_return) wrapped |= __builtin_add_overflow(big, c, &big);
        if (wrapped || big > h.count)
            add("header.by-return-sum", "at most " + str(h.count), wrapped ? "more than 2^64" : str(big));
    }

    static const char* const kAxis[] = {"X", "Y", "Z"};
    for (int a = 0; a < 3; ++a) {
        const double s = h.scale[a];
        if (!std::isfinite(s) || s <= 0) add("header.scale", std::string(kAxis[a]) + " finite and positive", num(s));
        else if (!usual_scale(s)) add("header.scale-unusual", std::string(kAxis[a]) + " 1, 2.5 or 5 times a power of ten", num(s));
        if (!std::isfinite(h.offset[a])) add("header.offset", std::string(kAxis[a]) + " finite", num(h.offset[a]));
    }

    const std::uint16_t undefined = static_cast<std::uint16_t>(h.global_encoding & ~defined_encoding_bits(h.minor));
    if (undefined) add("encoding.reserved", "0", "bits 0x" + [&] {
        char b[8];
        std::snprintf(b, sizeof b, "%04x", undefined);
        return std::string(b);
    }());
    if (h.minor >= 3 && (h.global_encoding & 6) == 6) add("encoding.waveform-bits", "bit 1 or bit 2", "both");
    const bool wkt_formats = h.minor >= 4 && h.point_format >= 6 && format_known;
    if (wkt_formats && !(h.global_encoding & 0x10)) add("encoding.wkt-bit", "set for point format " + str(h.point_format), "unset");

    const unsigned day = h.creation_day, year = h.creation_year;
    if (day == 0 && year == 0) {
        add("header.creation-date-missing", "a day and year", "0, 0");
    } else {
        // The format is from 2003; a year before 1990 or after the next is a
        // field someone else's meaning was written into.
        const unsigned last = next_year();
        if (day < 1 || day > 366 || year < 1990 || year > last)
            add("header.creation-date", "day 1-366 of a year 1990-" + str(last), "day " + str(day) + " of " + str(year));
    }
    for (std::size_t at : {kSystemIdentifierAt, kGeneratingSoftwareAt})
        if (!nul_padded(raw + at, kHeaderTextSize))
            add("header.text-padding", "NULs after the text",
                std::string(at == kSystemIdentifierAt ? "System Identifier" : "Generating Software") +
                    " is padded with other bytes (spaces, or bytes after its first NUL)");

    const bool keys = has_crs_record(vlrs, 34735), wkt = has_crs_record(vlrs, 2112);
    if (!keys && !wkt) add("crs.missing", "a GeoKeyDirectoryTag or OGC WKT VLR", "none");
    if (wkt_formats && !wkt) add("crs.wkt-required", "an OGC WKT VLR", keys ? "GeoTIFF keys only" : "none");
    if (keys && !keys_well_formed(vlrs.geokeys))
        add("crs.invalid", "a GeoKeyDirectoryTag of version 1 that holds its keys",
            str(vlrs.geokeys.size()) + " bytes that do not");

    if (profile != Profile::usgs_lbs) return;
    if (h.minor != 4) add("usgs.version", "1.4", "1." + str(h.minor));
    if (h.point_format < 6 || !format_known) add("usgs.point-format", "6 to 10", str(h.point_format));
    if (!wkt) add("usgs.crs-wkt", "an OGC WKT VLR", keys ? "GeoTIFF keys only" : "none");
    if (!(h.global_encoding & 1)) add("usgs.gps-standard-time", "global encoding bit 0 set", "unset");
}

void crs_rules(const LasHeader& h, const Crs& crs, Profile profile, std::vector<Finding>& out) {
    // A system missing or unreadable is another rule's finding.
    if (profile != Profile::usgs_lbs || !crs.present || !crs.problem.empty()) return;
    auto add = [&](std::string_view id, std::string expected, std::string actual) {
        out.push_back(finding(id, &h, std::move(expected), std::move(actual)));
    };
    if (crs.vertical.empty())
        add("usgs.crs-vertical", "a vertical system beside the horizontal one",
            crs.horizontal.empty() ? "none" : "only " + crs.horizontal);
    const double a = crs.metres_per_unit, b = crs.vertical_metres_per_unit;
    // A US survey foot and a foot differ by two parts in a million.
    if (a > 0 && b > 0 && std::fabs(a - b) > 1e-9 * std::max(a, b))
        add("usgs.units", "the same unit horizontally and vertically",
            "horizontal " + unit_text(a) + ", vertical " + unit_text(b));
}

void point_rules(const LasHeader& h, const PointStats& s, const PointDetail& d, const audit::PointSurvey& survey,
                 const Crs& crs, const PointJudging& how, std::vector<Finding>& out) {
    auto add = [&](std::string_view id, std::string expected, std::string actual) {
        out.push_back(finding(id, &h, std::move(expected), std::move(actual)));
    };
    if (s.count == 0) {
        add("points.none", "at least one point", "0");
        return;
    }
    if (d.bad_return_number)
        add("points.return-number", "1 to the number of returns", str(d.bad_return_number) + " points outside");
    if (d.zero_returns) add("points.number-of-returns", "1 or more", str(d.zero_returns) + " points with 0");
    gps_rules(h, d, how.now_gps, out);

    const bool extended = h.point_format >= 6 && h.point_format <= 10;
    std::vector<std::pair<unsigned, std::uint64_t>> reserved;
    for (unsigned c = 0; c < 256; ++c)
        if (d.classes[c] && reserved_class(h, c)) reserved.emplace_back(c, d.classes[c]);
    if (!reserved.empty()) add("points.class-reserved", "class codes the version defines", classes_text(reserved));
    if (extended && d.classes[12])
        add("points.class-overlap", "the overlap flag, not class 12", points_text(d.classes[12]) + " in class 12");

    if (how.profile != Profile::usgs_lbs) return;
    if (d.classes[0]) add("usgs.class-never-classified", "no point in class 0", points_text(d.classes[0]) + " in class 0");
    if (!d.classes[2]) add("usgs.class-ground", "ground points (class 2)", "none");
    const ClassTable& table = how.classes ? *how.classes : lbs_classes();
    // Codes other rules name already are not named twice.
    std::vector<std::pair<unsigned, std::uint64_t>> outside;
    for (unsigned c = 1; c < 256; ++c)
        if (d.classes[c] && !table.allowed[c] && !reserved_class(h, c) && !(extended && c == 12))
            outside.emplace_back(c, d.classes[c]);
    if (!outside.empty()) add("usgs.class-table", "class codes of the profile's table", classes_text(outside));

    // What follows needs the survey, which a scan may not have gathered.
    if (survey.points == 0) return;
    std::uint64_t unnamed = 0;
    for (const audit::Swath& w : survey.swaths) unnamed += w.id == 0 ? w.points : 0;
    if (unnamed) add("usgs.point-source-id", "a Point Source ID other than 0", points_text(unnamed) + " with 0");
    // Values of an 8- or 10-bit sensor not scaled up: the format asks for
    // the full 16 bits.
    if (survey.intensity_max < 1024)
        add("usgs.intensity-range", "intensities scaled to 16 bits (the largest at least 1024)",
            str(survey.intensity_min) + " to " + str(survey.intensity_max));

    const audit::SurveyGrid& g = survey.grid;
    const std::uint64_t cells = audit::covered_cells(g);
    if (g.cell <= 0 || cells == 0 || crs.metres_per_unit <= 0) return;
    const QualityLevel q = how.quality_level == QualityLevel::none ? QualityLevel::ql2 : how.quality_level;
    const double side = g.cell * crs.metres_per_unit;
    const double area = static_cast<double>(cells) * side * side;
    const double density = audit::pulse_density(survey) / (crs.metres_per_unit * crs.metres_per_unit);
    if (density < quality_limits(q).anpd)
        add("usgs.density",
            "at least " + short_num(quality_limits(q).anpd) + " first returns per square metre (" +
                quality_level_name(q) + ")",
            short_num(density) + " per square metre: " + str(survey.first_returns - g.outside) + " first returns over " +
                short_num(area) + " square metres covered");
}

}  // namespace lidar
