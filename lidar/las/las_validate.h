// Validation as routines that hand back their messages instead of printing
// them: check_las prints what these say, and the update and any other reader judge
// the file they have opened by the very same rules.
#pragma once

#include "file_io.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lidar {

struct LasHeader;

// What validation learnt of a file, as far as it could read it (-1: not read).
struct LasId {
    int version_major = -1, version_minor = -1, point_format = -1;
};

// What validation says of a file it cannot read far enough, or of anything
// that is not a regular file (printf format, the file name its argument).
constexpr const char* kTooShortMessage = "\n%s is too short or unreadable to be a valid .las file\n\n";

// The type code check_las gives a file whose first got bytes are b (got < 0:
// unreadable), or -1 with the message it prints in why.
int classify_header(const unsigned char* b, std::int64_t got, const char* filename, std::string& why,
                    LasId* id = nullptr);

// check_las without printing: the type code, or -1 with its messages in why.
int check_las_core(const char* filename, std::string& why, LasId* id = nullptr);

// The point format of a LAS type code 1..8, -1 for any other.
int type_format(int LASType);
// Point record size for a LAS type code 1..8; 0 for any other code.
std::size_t record_length_for(int LASType);

// Whether the general rule takes a file of this name: .las or .laz in any
// case (what the file holds decides the rest).
bool has_las_name(const char* name);

// What is wrong with a public header, field by field in the order the
// general rule has always checked them: it refuses on the first that
// refuses, and the audit reports each as a finding.
enum class HeaderFault {
    signature,        // not "LASF"
    version,          // not 1.0 to 1.4
    truncated,        // the file ends inside the version's header (nothing after it is judged)
    header_size,      // Header Size below the version's
    header_extended,  // Header Size above the version's (refuses nothing)
    point_format,     // not defined for the version
    record_length,    // shorter than the point format's records
    offset_to_data,   // the points start inside the header (refuses), or past the file's end (refuses nothing)
};
struct HeaderReason {
    HeaderFault fault;
    bool refuses;  // whether the general rule refuses the file for it
    std::string expected, found;
};
// The reasons for the first n bytes b of a file of file_size bytes.
std::vector<HeaderReason> header_reasons(const unsigned char* b, std::size_t n, std::uint64_t file_size);

// The general rule, for the first got bytes b of a file: LAS
// 1.0 to 1.4, every point format its version defines, records of at least
// the format's length (longer ones carry extra bytes), a header as long as
// the version's, points after it. true with the header's model in h, or
// false with the reason in why.
bool classify_general(const unsigned char* b, std::int64_t got, const char* shown, std::string& why,
                      LasHeader& h, LasId* id);

// The same for the file where leads to, the messages naming it shown. keep,
// if given, receives the file still open for reading (just past the first
// 107 bytes); open_error, if given, the system's errno when it could not be
// opened at all.
int check_las_at(const Where& where, const char* shown, std::string& why, LasId* id, File* keep,
                 int* open_error);

}  // namespace lidar
