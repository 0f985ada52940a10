// The public header of every LAS 1.x version as the module models it: each
// field read and written by little-endian extraction at its offset, here
// and nowhere else; the one table of point record lengths; the one list of
// the statistics fields an update writes. Internal: the family's tools see
// the packed LAS1xHeader records of LiDAR.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lidar {

struct PointStats;

// The little-endian unsigned integer of size bytes (at most 8) at p.
std::uint64_t read_le(const unsigned char* p, std::size_t size);

// Bytes of the public header LAS 1.minor defines (227, 235 for 1.3, 375 for
// 1.4), 0 for a minor version past 4. Reading the whole model needs this many.
std::size_t header_size_of(unsigned minor);
constexpr std::size_t kMaxHeaderSize = 375;

// The smallest record of point format 0..10 (longer ones carry extra
// bytes); 0 for any other format.
std::size_t min_record_length(unsigned point_format);

// The highest point format LAS 1.minor defines.
unsigned max_point_format(unsigned minor);

// Bits of byte 14 that hold the return number: 3 bits (returns 1-5 counted,
// up to 7) for formats 0-5, 4 bits (returns 1-15) for 6-10.
inline unsigned return_mask_of(unsigned point_format) { return point_format >= 6 ? 15 : 7; }

// The two text fields, 32 bytes each, NUL-padded.
constexpr std::size_t kSystemIdentifierAt = 26, kGeneratingSoftwareAt = 58, kHeaderTextSize = 32;

struct LasHeader {
    bool signature = false;  // "LASF"
    std::uint16_t file_source_id = 0, global_encoding = 0;
    unsigned major = 0, minor = 0;
    std::uint16_t creation_day = 0, creation_year = 0;
    std::uint16_t header_size = 0;
    std::uint32_t offset_to_data = 0;
    std::uint32_t vlr_count = 0;
    unsigned point_format = 0;  // low 6 bits of byte 104
    bool compressed = false;    // bit 7 or 6 of byte 104: LAZ
    std::uint16_t record_length = 0;
    // The statistics: the 32-bit ("legacy" in LAS 1.4) count and counts of
    // returns 1-5, the extents in header order MaxX MinX MaxY MinY MaxZ
    // MinZ, and LAS 1.4's 64-bit count and counts of returns 1-15.
    std::uint32_t legacy_count = 0, legacy_by_return[5] = {};
    double extent[6] = {};
    std::uint64_t count = 0, by_return[15] = {};
    // Where what follows the points starts (0: nothing there).
    double scale[3] = {}, offset[3] = {};
    std::uint64_t waveform_start = 0;  // 1.3 and 1.4
    std::uint64_t evlr_start = 0;      // 1.4
    std::uint32_t evlr_count = 0;
};

// The model of the header whose first n bytes are b; fields past n, or past
// the version's header, stay 0.
LasHeader parse_header(const unsigned char* b, std::size_t n);

// Whether the header bytes a and b agree on every field the statistics are
// computed from: signature, version, OffsetToData, point format and record
// length, scale factors and offsets; for a reader of any version also the
// global encoding, the header size, and where the waveform packets and
// extended VLRs of LAS 1.minor start, which bound the point area.
bool same_basis(const unsigned char* a, const unsigned char* b, unsigned minor, bool any_version);

// One statistics field: its name in reports (the header's field name), its
// offset and size in bytes, and the first minor version that has it.
struct StatField {
    std::string name;
    std::size_t offset, size;
    unsigned since_minor;
};
// Every statistics field, in header order.
const StatField* stat_fields(std::size_t& count);
// The field's value in h: counts as integers, extents as their bits.
std::uint64_t stat_value(const LasHeader& h, std::size_t field);
bool stat_is_extent(std::size_t field);

// Writes h's statistics fields of its version into the header bytes b
// (header_size_of(h.minor) of them), leaving every other byte as it is.
void put_stats(unsigned char* b, const LasHeader& h);

// The runs of bytes put_stats writes for minor version m, as (from, to)
// pairs; returns how many runs.
std::size_t stat_runs(unsigned minor, std::size_t (&runs)[3][2]);

// Where the point area of a file of file_size bytes with header h ends: at
// the end of the file, or where extended VLRs or internal waveform packets
// start at or after OffsetToData.
std::uint64_t point_area_end(const LasHeader& h, std::uint64_t file_size);

// The number of points a header claims: LAS 1.4's 64-bit count, else the
// 32-bit one.
inline std::uint64_t claimed_count(const LasHeader& h) { return h.minor >= 4 ? h.count : h.legacy_count; }

// The whole records the point area of an uncompressed file of file_size
// bytes holds: 0 where its records have no length or start past the end.
std::uint64_t whole_records(const LasHeader& h, std::uint64_t file_size);

// The statistics a correct header of h's version holds for what the scan
// found: counts and extents of h recomputed, everything else kept. LAS 1.4:
// the 64-bit counts always; the legacy counts 0 for formats 6-10, and for
// 0-5 the true counts when they fit in 32 bits, else 0. Earlier versions:
// the 32-bit counts (a caller refuses more than they can hold).
LasHeader with_stats(const LasHeader& h, const PointStats& s);

// Whether a file with header h has, for stored, the statistics recomputed:
// every count field of the version equal (a LAS 1.4 file of formats 0-5
// whose legacy counts are all 0 is not stale for that alone), extents
// compared by same_extent.
bool legacy_counts_zero_allowed(const LasHeader& stored);

}  // namespace lidar
