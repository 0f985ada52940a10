// The statistics a header update recomputes, and the kernel that gathers
// them from a block of packed point records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lidar {

struct PointStats {
    std::uint64_t count = 0;              // whole records seen
    std::uint64_t by_return_bits[16] = {}; // by the return number bits of byte 14 (3 or 4 of them)
    std::int32_t maxX = INT32_MIN, minX = INT32_MAX;
    std::int32_t maxY = INT32_MIN, minY = INT32_MAX;
    std::int32_t maxZ = INT32_MIN, minZ = INT32_MAX;
};

// Folds n records of record_length bytes (20 or more: extra bytes are
// skipped) starting at p into s, with the fastest kernel this processor
// runs. The return number is byte 14 & return_mask: 7 for point formats
// 0-5, 15 for 6-10; any other mask, or a shorter record, is a programming
// error. p needs no particular alignment.
void scan_records(PointStats& s, const unsigned char* p, std::size_t n, std::size_t record_length,
                  unsigned return_mask = 7);

// The kernels behind scan_records, selectable so that each can be tested
// on any machine that runs it. All give identical results.
enum class ScanKernel { scalar, avx2 };
bool scan_kernel_available(ScanKernel k);
// The kernel scan_records runs: the fastest available one.
ScanKernel chosen_scan_kernel();
// Runs kernel k, which must be available, and returns the kernel that did
// the work: k, unless that kernel is missing from this build.
ScanKernel scan_records_with(ScanKernel k, PointStats& s, const unsigned char* p, std::size_t n,
                             std::size_t record_length, unsigned return_mask = 7);

// What a scan can gather from point records beyond the statistics, for
// judging the points themselves.
struct PointDetail {
    std::uint64_t classes[256] = {};      // by classification (formats 0-5: its low 5 bits)
    std::uint64_t bad_return_number = 0;  // return number 0, or above the number of returns
    std::uint64_t zero_returns = 0;       // number of returns 0
    std::uint64_t gps_count = 0;          // records with a finite GPS time
    std::uint64_t gps_invalid = 0;        // NaN or infinite GPS times
    double gps_min = 0, gps_max = 0;      // over the finite ones (meaningful when gps_count > 0)
    // Set before a scan to also count the records that lie outside a box:
    // asked for only once the extremes show some do, as it costs a pass.
    const struct OutsideBox* box = nullptr;
    std::uint64_t outside = 0;
};

// A header's box as points are judged against it: X, Y, Z scale and offset,
// and the world bounds (noise already allowed for) a point must lie within.
struct OutsideBox {
    double scale[3], offset[3], lo[3], hi[3];
};

// Where records of point format f keep their GPS time, or 0 if they have none.
std::size_t gps_time_offset(unsigned point_format);

// Folds n records of record_length bytes at p, of point format 0-10 (a
// record at least that format's length), into d.
void scan_details(PointDetail& d, const unsigned char* p, std::size_t n, std::size_t record_length,
                  unsigned point_format);
// The same with kernel k, which must be available; returns the kernel that
// did the work. Only formats with GPS times have an AVX2 kernel.
ScanKernel scan_details_with(ScanKernel k, PointDetail& d, const unsigned char* p, std::size_t n,
                             std::size_t record_length, unsigned point_format);
// scan_records and, if d is given, scan_details over the same records, in
// one pass where the kernel allows it; the results are those of the two.
void scan_block(PointStats& s, PointDetail* d, const unsigned char* p, std::size_t n, std::size_t record_length,
                unsigned return_mask, unsigned point_format);
// The same with kernel k, which must be available; returns the statistics'
// kernel that ran.
ScanKernel scan_block_with(ScanKernel k, PointStats& s, PointDetail* d, const unsigned char* p, std::size_t n,
                           std::size_t record_length, unsigned return_mask, unsigned point_format);
// Adds b into a, as if a's records were followed by b's.
void merge_stats(PointStats& a, const PointStats& b);
// Adds b into a, as if a's records were followed by b's.
void merge_details(PointDetail& a, const PointDetail& b);

}  // namespace lidar
