// A LAS file checked and its point records scanned the way the update does,
// reporting instead of printing: the update and the audit share it, so they
// judge every file alike.
#pragma once

#include "LiDAR.h"
#include "file_io.h"
#include "las_header.h"
#include "las_validate.h"
#include "scan.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace lidar {

// Results of the cores: done, refused for what the file holds, or failed
// while reading or writing it (the message says which).
constexpr int kDone = 0;
constexpr int kRefused = -1;
constexpr int kFailed = -2;

// The refusal when the file open is not the one checked, or it moved under
// the scan (printf format, the file name its argument).
constexpr const char* kChangedMessage =
    "\nCannot update the header of %s: the file changed while it was being read\n";

// A block buffer kept from one scan to the next (the audit keeps one per
// worker), so a small file costs no allocation and no fresh pages.
struct ScanBuffer {
    unsigned char* data = nullptr;
    std::size_t size = 0;
    ScanBuffer() = default;
    ScanBuffer(const ScanBuffer&) = delete;
    ScanBuffer& operator=(const ScanBuffer&) = delete;
    ~ScanBuffer() { std::free(data); }
};

// How a shared scan takes its segments once the file is in memory: copied
// by reads into a block, or scanned where the page cache holds them. Which
// is faster depends on how the kernel holds the file (mapping large folios
// costs little; small ones cost a fault every 64 KiB), so by default
// segments are timed both ways and the faster goes on. Tests pick one.
enum class SegmentReads { timed, mapped, copied };

// A file to check, scan or update: how to reach it, the name messages give,
// and, where a walk found it, the file it must still be.
struct Target {
    Where where;
    const char* shown = nullptr;
    const FileState* expect = nullptr;
    // If given, every block read is added to it as it is read, for a
    // progress line that moves during a long file.
    std::atomic<std::uint64_t>* bytes_read = nullptr;
    // Which rule judges it: Vexholt's (LAS 1.0-1.2, exact record lengths,
    // its messages), or the audit's general one (LAS 1.0-1.4, every point
    // format, extra bytes).
    bool general = false;
    // General rule only: the header alone, no point record read (stats
    // stay empty); and, if given, the detail of every record scanned.
    bool headers_only = false;
    PointDetail* detail = nullptr;
    // The audit's idle threads, which a large scan may borrow: each one
    // taken (by decrementing) is given back when the scan ends. Never set
    // for the family's routines, which start no thread.
    std::atomic<int>* spare = nullptr;
    // Point areas from this size on are shared, in segments of about
    // share_segment bytes (tests set both lower).
    std::uint64_t share_from = std::uint64_t{64} << 20;
    std::uint64_t share_segment = std::uint64_t{16} << 20;
    ScanBuffer* buffer = nullptr;  // if given, blocks are read into it
    SegmentReads segment_reads = SegmentReads::timed;
};

inline Target named(const char* filename) {
    return Target{Where{kWorkingDir, filename, true}, filename, nullptr, nullptr, false, false, nullptr, nullptr};
}

// A disagreement between a LAZ file's header, chunk table and chunks that
// still let its points be decoded: which rule it breaks, and the values.
struct LazProblem {
    const char* rule;
    std::string expected, actual;
};

struct FileScan {
    LasId id;                  // version and point format, as far as read
    int LASType = -1;
    bool header_read = false;  // raw and model hold the file's header
    PointStats stats;             // the whole records of the point area
    std::uint64_t point_bytes = 0;  // read from the point area, a trailing fragment included
    FileState opened;             // the file as it was when opened
    int open_error = 0;           // the system's errno when it could not be opened
    bool general = false;         // judged by the general rule
    unsigned char raw[kMaxHeaderSize] = {};  // the header's bytes as read (raw_size of them)
    std::size_t raw_size = 0;
    // General rule: the file's first bytes as read, raw's among them; a
    // small file's whole, so its VLRs and points need no read of their
    // own. In the target's buffer while it lasts, else raw.
    const unsigned char* head = nullptr;
    std::size_t head_size = 0;
    bool head_ends = false;       // the file ended within them
    LasHeader model;              // and its fields
    std::string vexholt_refusal;  // general rule: what Vexholt would say of it ("" if it would update it)
    bool laz = false;             // the point area was decoded from LAZ chunks
    bool laz_counts_chunks = false;  // the chunk table gives each chunk's point count (variable chunks)
    std::vector<LazProblem> laz_problems;
    // The file ends before the points its header claims (a LAZ chunk or
    // chunk table cut short), found where the point area alone cannot say.
    bool short_points = false;
};

// Checks the file, opens it (for update, or read-only) into f, validates
// what was opened and scans its point area. Returns kDone with f still open,
// or kRefused / kFailed with the update's message in why. Never prints,
// never writes.
int open_and_scan(const Target& t, bool for_update, File& f, FileScan& out, std::string& why);

// The same read-only: what the update would find, without touching the file.
int scan_file(const Target& t, FileScan& out, std::string& why);

}  // namespace lidar
