// The tile index: each file's extent as a GeoJSON polygon in longitude and
// latitude, for QGIS, GDAL and web maps; a file with no place in it is
// there too, with a null geometry and why.
#include "outputs.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace audit {

namespace {

struct LonLat {
    double lon = 0, lat = 0;
};

bool place(const lidar::Crs& crs, double x, double y, LonLat& out, std::string& why) {
    const double xy[2] = {x, y};
    double ll[2];
    if (!lidar::to_lonlat(crs, xy, 1, ll, why)) return false;
    out = {ll[0], ll[1]};
    return true;
}

// A projected rectangle's edges bend in longitude and latitude: each is
// halved until its middle lies within a centimetre or so of the straight
// line, so a small tile costs its four corners and a large one keeps its
// shape. Adds the points after a, up to b.
constexpr double kTolerance = 1e-7;  // degrees
constexpr int kDepth = 6;            // at most 64 pieces an edge

bool edge(const lidar::Crs& crs, double ax, double ay, LonLat a, double bx, double by, LonLat b, int depth,
          std::vector<LonLat>& ring, std::string& why) {
    const double mx = (ax + bx) / 2, my = (ay + by) / 2;
    LonLat m;
    if (!place(crs, mx, my, m, why)) return false;
    if (depth < kDepth && std::hypot(m.lon - (a.lon + b.lon) / 2, m.lat - (a.lat + b.lat) / 2) > kTolerance)
        return edge(crs, ax, ay, a, mx, my, m, depth + 1, ring, why) &&
               edge(crs, mx, my, m, bx, by, b, depth + 1, ring, why);
    ring.push_back(b);
    return true;
}

// The closed ring, counterclockwise as GeoJSON wants it: the corners
// (MinX, MinY), (MaxX, MinY), (MaxX, MaxY), (MinX, MaxY).
bool ring_of(const lidar::Crs& crs, const double (&e)[4], std::vector<LonLat>& ring, std::string& why) {
    const double x[4] = {e[0], e[2], e[2], e[0]}, y[4] = {e[1], e[1], e[3], e[3]};
    LonLat corner[4];
    for (int k = 0; k < 4; ++k)
        if (!place(crs, x[k], y[k], corner[k], why)) return false;
    ring.assign(1, corner[0]);
    for (int k = 0; k < 4; ++k) {
        const int n = (k + 1) % 4;
        if (!edge(crs, x[k], y[k], corner[k], x[n], y[n], corner[n], 0, ring, why)) return false;
    }
    return true;
}

std::string polygon(const std::vector<LonLat>& ring) {
    std::string g = R"({"type":"Polygon","coordinates":[[)";
    char b[64];
    for (std::size_t k = 0; k < ring.size(); ++k) {
        std::snprintf(b, sizeof b, "%s[%.8f,%.8f]", k ? "," : "", ring[k].lon, ring[k].lat);
        g += b;
    }
    return g + "]]}";
}

}  // namespace

bool tile_index(const Collected& c, std::size_t& unplaced, const Sink& write) {
    // Handed on in pieces of about a megabyte: the index of 100,000 tiles
    // is some 40 MB, and held whole it tripled what the audit needs.
    std::string out = "{\"type\":\"FeatureCollection\",\"features\":[";
    bool first = true;
    std::vector<LonLat> ring;
    unplaced = 0;
    for (const Tile& t : c.tiles) {
        std::string geometry = "null", reason;
        if (t.no_extent) {
            reason = t.no_extent;
        } else if (t.system == kNoSystem) {
            reason = "no coordinate system";
        } else if (t.system == kUnidentified) {
            reason = "unidentified coordinate system";
        } else {
            const auto crs = c.systems.find(t.system);
            if (crs != c.systems.end() && ring_of(crs->second, t.extent, ring, reason)) geometry = polygon(ring);
            else if (reason.empty()) reason = "no coordinate system";
        }
        unplaced += geometry == "null";
        nlohmann::ordered_json p;
        p["path"] = t.path;
        p["status"] = status_name(t.status);
        p["verdict"] =
            t.verdict == Verdict::none ? nlohmann::ordered_json() : nlohmann::ordered_json(verdict_name(t.verdict));
        p["rules"] = nlohmann::json::array();
        for (const lidar::Rule* r : t.rules) p["rules"].push_back(r->id);
        p["points"] = t.points;
        p["crs"] = system_label(c, t.system);
        // Every feature has the same properties, as a GIS table wants them.
        p["reason"] = reason.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(reason);
        out += first ? "\n" : ",\n";
        first = false;
        out += R"({"type":"Feature","geometry":)" + geometry + R"(,"properties":)" +
               p.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}";
        if (out.size() >= (1u << 20)) {
            if (!write(out)) return false;
            out.clear();
        }
    }
    out += "\n]}\n";
    return write(out);
}

}  // namespace audit
