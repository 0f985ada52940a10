// The header update as a routine that reports instead of ending the process,
// for tests, benchmarks, fuzzers and the engine; update_header wraps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>


namespace lidar {

class File;
struct FileScan;
struct Target;



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

// The same, printing the message: 0, or -1 after any failure.
int update_header_core(const char* filename);

}  // namespace lidar
