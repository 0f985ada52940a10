// What a correct header update makes of a file, worked out the slow,
// obvious way (one record at a time, straight from the LAS byte layout), and
// a judge of whether one run of the real update kept its promise.
#pragma once

#include "las_file.h"

#include <optional>
#include <string>

namespace lastest {

// The file as a correct update leaves it, or nothing when the update must
// refuse it (any file that is not LAS 1.0-1.2 with point format 0-3, the
// matching record length, a whole 227-byte header and points that start
// after it; 1.0/1.1 with point formats 2 or 3 included).
std::optional<Bytes> reference_update(const Bytes& in);

// The same for the audit's general rule: LAS 1.0-1.4, every point format
// its version defines, records of at least the format's length, the header
// as long as its version's; the point area ends at the end of the file or
// where extended VLRs or waveform packets start after the points.
std::optional<Bytes> reference_general_update(const Bytes& in);

// Empty when the outcome of one run is sound, otherwise what went wrong.
// Sound means: the run succeeded, printed nothing of its own and the file is
// exactly reference_update(before); or it failed, said why and left the file
// byte for byte as it was.
std::string judge_update(const Bytes& before, const Bytes& after, bool succeeded,
                         bool printed);
// The same against reference_general_update.
std::string judge_general_update(const Bytes& before, const Bytes& after, bool succeeded, bool printed);

}  // namespace lastest
