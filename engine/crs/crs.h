// The coordinate system a LAS file's georeferencing VLRs declare, named and
// sorted into classes of equivalent systems, so that the audit can tell
// which tiles of a delivery disagree. Built with PROJ where it is found;
// without it, the EPSG codes the keys or the WKT state are taken as given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lidar {

// What a file's georeferencing VLRs say, identified.
struct Crs {
    bool present = false;      // keys or WKT given
    std::string horizontal;    // "EPSG:26910" where identified, else PROJ's name for it, else ""
    std::string vertical;      // likewise ("" when none)
    std::string problem;       // non-empty: the keys are malformed or the WKT does not parse; says why
    bool identified = false;   // a horizontal system could be named (EPSG code or name)
    // Metres in one unit of the horizontal and the vertical axes, where
    // known (0 where not).
    double metres_per_unit = 0, vertical_metres_per_unit = 0;
    int system = -1;           // class of equivalent systems in this process: two Crs with the same
                               // non-negative system are equivalent (by PROJ's equivalence test where
                               // PROJ is built in, else by equal EPSG codes/WKT text); -1 when nothing
                               // to compare
};

// The payloads of the GeoKeyDirectoryTag (LASF_Projection 34735),
// GeoDoubleParamsTag (34736), GeoAsciiParamsTag (34737) and WKT (2112)
// records; empty where absent. The WKT wins when both it and keys are given.
// Safe to call from several threads at once: each distinct WKT, and each
// distinct pair of codes the keys give, is identified once per process,
// distinct ones on several threads at once.
Crs identify_crs(std::string_view geokeys, std::string_view geo_doubles, std::string_view geo_ascii,
                 std::string_view wkt);

// How many times identify_crs has identified a system anew, for tests:
// the rest were looked up.
std::size_t crs_identifications();

// Whether systems are identified with PROJ and its database; else the EPSG
// codes the keys and the WKT state are taken as they are.
bool crs_uses_proj();

// c's horizontal system for other libraries to read: PROJ's PROJJSON of
// its class where PROJ identified it, else its EPSG code ("EPSG:26910");
// "" where neither is known.
std::string horizontal_definition(const Crs& c);

// The n points xy (x, y pairs in c's horizontal system, x the easting or
// longitude) as longitude and latitude on WGS 84 (EPSG:4326), in lonlat.
// False, and why, without PROJ, where c is not a system this process
// identified with PROJ, or where PROJ cannot transform a point.
bool to_lonlat(const Crs& c, const double* xy, std::size_t n, double* lonlat, std::string& why);

}  // namespace lidar
