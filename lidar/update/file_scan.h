// A LAS file checked and its point records scanned the way the update does,
// reporting instead of printing. Beside Vexholt's own path, the pieces a
// reader of other versions builds its scan from: the block reads of a point
// area, the end check, and what Vexholt would say of a header.
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
constexpr const char* kTooManyMessage =
    "\nCannot update the header of %s: more point records than a LAS header can count\n";

// About 1 MiB per read, always a whole number of records. Each read call
// costs more than its copy on virtual machines, where 256 KiB blocks ran 1.5
// times slower than 1 MiB (AMD EPYC, 1 MiB L2); 1 MiB measured as fast as
// 256 KiB on an Intel Xeon with 2 MiB L2, where 2 MiB was 20% slower because
// the block no longer stayed in L2 between the read's copy and the scan.
constexpr std::size_t kBlockBytes = 1 << 20;

// For malloc'd blocks: a tight memory limit must give a message, not abort.
struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
};

// A block buffer kept from one scan to the next (a caller scanning many
// files keeps one per thread), so a small file costs no allocation and no
// fresh pages.
struct ScanBuffer {
    unsigned char* data = nullptr;
    std::size_t size = 0;
    ScanBuffer() = default;
    ScanBuffer(const ScanBuffer&) = delete;
    ScanBuffer& operator=(const ScanBuffer&) = delete;
    ~ScanBuffer() { std::free(data); }
};

// b's memory: a block for the reads of a point area, and after it as much
// again for a file's first bytes, which no block read overwrites. Null if
// memory is short. Pages are only taken as they are touched.
unsigned char* block_of(ScanBuffer& b);

// A file to check, scan or update: how to reach it, the name messages give,
// and, where a walk found it, the file it must still be.
struct Target {
    Where where;
    const char* shown = nullptr;
    const FileState* expect = nullptr;
    // If given, every block read is added to it as it is read, for a
    // progress line that moves during a long file.
    std::atomic<std::uint64_t>* bytes_read = nullptr;
    ScanBuffer* buffer = nullptr;  // if given, blocks are read into it
};

inline Target named(const char* filename) { return Target{.where = Where{kWorkingDir, filename, true}, .shown = filename}; }

struct FileScan {
    LasId id;                  // version and point format, as far as read
    int LASType = -1;
    bool header_read = false;  // raw and model hold the file's header
    PointStats stats;             // the whole records of the point area
    std::uint64_t point_bytes = 0;  // read from the point area, a trailing fragment included
    FileState opened;             // the file as it was when opened
    int open_error = 0;           // the system's errno when it could not be opened
    int io_error = 0;             // and when a read, seek, write, sync or close of it failed
    // Read as any LAS version (1.0-1.4, every point format, extra bytes),
    // not by Vexholt's rule: the update then also checks the fields that
    // bound such a point area.
    bool general = false;
    unsigned char raw[kMaxHeaderSize] = {};  // the header's bytes as read (raw_size of them)
    std::size_t raw_size = 0;
    LasHeader model;              // and its fields
};

// How a point area is folded: its records, and what beyond the statistics
// is gathered from them.
struct AreaScan {
    std::size_t record_length;
    unsigned return_mask;
    unsigned point_format;
    PointDetail* detail = nullptr;
    // Read by position (never moving the file position, so other threads
    // may read the file too), or from where the file position is.
    bool positional = false;
    // If given, called with each run of whole records right after they are
    // scanned, and observer_context.
    void (*observer)(void* context, const unsigned char* records, std::size_t n) = nullptr;
    void* observer_context = nullptr;
};

// Folds n records at p into s and d as scan_block does and hands them to a's
// observer, in slices small enough to stay in cache between the two.
void scan_observed(PointStats& s, PointDetail* d, const unsigned char* p, std::size_t n, const AreaScan& a);

// Reads the point area from offset up to end (or the end of the file) in
// blocks of whole records and folds it into out.stats; out.point_bytes
// counts what was read, a trailing fragment of a record included.
int scan_area(File& f, const Target& t, std::uint64_t offset, std::uint64_t end, const AreaScan& a, FileScan& out,
              std::string& why);

// Whether f is still the file as it was opened: the same one, not written,
// grown or cut since, as far as its timestamps tell (the check the update
// makes before it writes). A scan counts only if so, else it mixes bytes
// of two versions of the file.
bool as_opened(File& f, const FileScan& out);

// What Vexholt would say of a file whose header is b (got bytes of it read)
// and whose point area holds records whole records: empty if it would
// update it.
std::string vexholt_refusal(const unsigned char* b, std::int64_t got, const char* shown, std::uint64_t records);

// Vexholt's rule (LAS 1.0-1.2, exact record lengths, its messages): checks
// the file, opens it (for update, or read-only) into f, validates what was
// opened and scans its point area. Returns kDone with f still open, or
// kRefused / kFailed with the update's message in why. Never prints, never
// writes.
int open_and_scan(const Target& t, bool for_update, File& f, FileScan& out, std::string& why);

// out.io_error from f after a failure, if the system gave the reason.
inline int keep_io_error(int result, const File& f, FileScan& out) {
    if (result == kFailed && out.io_error == 0 && out.open_error == 0 && f.error() > 0) out.io_error = f.error();
    return result;
}

// The same read-only: what the update would find, without touching the file.
int scan_file(const Target& t, FileScan& out, std::string& why);

}  // namespace lidar
