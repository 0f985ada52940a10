// The point area of a LAZ file decoded chunk by chunk into the same
// statistics and point detail a LAS file's records give, so the audit judges
// and fixes compressed tiles exactly as uncompressed ones.
#pragma once

#include "file_io.h"
#include "tile.h"

#include <cstdint>
#include <string>

namespace audit {

// Decodes the chunks of the point area [offset, end) of the open file f, whose
// header out holds, into out's statistics (and t.detail). Chunks are shared
// with the idle threads t.spare offers. kDone, kRefused (the compressed data
// is not what its header and LASzip record say; why names the chunk) or
// kFailed (a read failed, or the file changed while it was read).
int scan_laz(lidar::File& f, const TileTarget& t, std::uint64_t offset, std::uint64_t end, TileScan& out,
             std::string& why);

// Without decoding a point (headers only): sets out.short_points where the
// chunk table would lie, or its entries run, past the end of the file.
void check_laz_end(lidar::File& f, std::uint64_t offset, std::uint64_t end, TileScan& out);

}  // namespace audit
