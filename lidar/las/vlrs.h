// The VLR and extended VLR catalog of a LAS file: one walk over the records
// after the header (and, for LAS 1.4, after the points), for every reader
// that needs one of them, with what did not fit said as reasons.
#pragma once

#include "file_io.h"
#include "las_header.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lidar {

// One Variable Length Record, or Extended VLR, as its header describes it.
struct Vlr {
    std::string user_id;  // up to the first NUL
    std::uint16_t record_id = 0;
    std::uint64_t length = 0;           // of the payload
    std::uint64_t payload_offset = 0;   // in the file
    bool extended = false;
};

// Why the walk stopped short of the count the header states.
enum class VlrFault {
    count,        // the VLR headers stated do not fit before the points, or too many to examine
    length,       // a VLR's payload runs past the start of the points
    evlr_bounds,  // the extended VLRs start before the points end, or run past the file
};

struct VlrProblem {
    VlrFault fault;
    std::string expected, actual;
};

// What the walk found: the records that fit, the payloads a reader needs
// (the coordinate system, the extra bytes, the LASzip record), and what did
// not fit.
struct VlrSet {
    std::vector<Vlr> vlrs;
    std::vector<VlrProblem> problems;
    bool unreadable = false;                      // a read failed (the problems say where the walk stopped)
    bool capped = false;                          // more VLRs stated than are examined
    std::string geokeys, geo_doubles, geo_ascii;  // GeoTIFF: records 34735, 34736, 34737 of LASF_Projection
    std::string wkt;                              // OGC WKT: record 2112 of LASF_Projection
    std::string extra_bytes;                      // record 4 of LASF_Spec
    bool laszip = false;                          // record 22204 of laszip encoded, whole before the points
    std::string laszip_record;                    // and its payload
    bool laszip_cut = false;                      // that record, running past the start of the points
};

// Walks the VLRs after the header and, for LAS 1.4, the extended VLRs, from
// the bytes given (the file's first bytes, as read) and read_at for what
// lies beyond them. Never reads outside [0, file_size), nor more than a few
// MiB of payloads whatever the counts and lengths say.
VlrSet read_vlrs(const LasHeader& h, const unsigned char* head, std::size_t head_size, std::uint64_t file_size,
                 const ReadAt& read_at);

}  // namespace lidar
