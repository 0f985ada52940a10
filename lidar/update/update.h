// The header update as a routine that reports instead of ending the process,
// for tests, benchmarks, fuzzers and the engine; update_header wraps it.
#pragma once

#include "file_scan.h"

#include <cstddef>
#include <cstdint>
#include <string>


namespace lidar {




// Validates and updates filename in place. Returns kDone once only the
// statistics are written, synced and the file closed; otherwise kRefused or
// kFailed with the message in why and the file's bytes as they were (unless
// the header write itself failed, which is reported as such). Never prints.
// scanned, if given, receives what the scan found.
int update_file(const char* filename, std::string& why, FileScan* scanned = nullptr);
// The same for a target a walk found: the file must still be the one found,
// and the name must still lead to it when the statistics are written.
int update_file(const Target& t, std::string& why, FileScan* scanned = nullptr);

// The second half of an update, for a file f opened for update and scanned
// into s by whichever reader: reads the header again, checks that nothing
// the statistics depend on moved and that t still names f, then writes only
// the statistics, syncs and closes. kDone, or kFailed with why.
int write_statistics(File& f, const Target& t, const FileScan& s, std::string& why);

// A whole update through a reader's own open-and-scan (open(t, true, f,
// scan, why), as open_and_scan): t and the scan may be a reader's own
// kinds of Target and FileScan.
template <class T, class Scan, class Open>
int update_through(const T& t, std::string& why, Scan* scanned, Open open) {
    File f;
    Scan local;
    Scan& s = scanned ? *scanned : local;
    const int result = open(t, true, f, s, why);
    return keep_io_error(result == kDone ? write_statistics(f, t, s, why) : result, f, s);
}

// The same, printing the message: 0, or -1 after any failure.
int update_header_core(const char* filename);

}  // namespace lidar
