// Decoding LAZ (LASzip-compressed) point records: the LASzip VLR, the chunk
// table and the chunks themselves, into the bytes an uncompressed LAS file
// holds. Internal to the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"

namespace lidar::laz {

enum ItemType : std::uint16_t { BYTE = 0, POINT10 = 6, GPSTIME11 = 7, RGB12 = 8, WAVEPACKET13 = 9,
                                POINT14 = 10, RGB14 = 11, RGBNIR14 = 12, WAVEPACKET14 = 13, BYTE14 = 14 };
struct Item { std::uint16_t type = 0, size = 0, version = 0; };
constexpr std::uint32_t kVariableChunks = 0xFFFFFFFFu;
struct Laszip {                        // the "laszip encoded" VLR, record 22204
    std::uint16_t compressor = 0;      // 1 pointwise, 2 pointwise chunked, 3 layered chunked
    std::uint16_t coder = 0;
    std::uint32_t chunk_size = 0;      // points per chunk, or kVariableChunks
    std::vector<Item> items;
    std::uint32_t record_length() const;  // the sum of the item sizes
};
bool parse_laszip(const unsigned char* p, std::size_t n, Laszip& out, std::string& why);
// Whether the items can be decoded and make records of the point
// format (0-10, the low 6 bits) and record length the header states.
bool items_fit(const Laszip& z, unsigned point_format, unsigned record_length, std::string& why);

// Positional reader of the open file: bytes read (short only at the end of the file), -1 on error.
using ReadAt = lidar::ReadAt;
// Finds, through the file's VLR catalog, and parses the LASzip VLR among the
// vlr_count VLRs from header_size up to offset_to_data.
bool find_laszip(const ReadAt& read, std::uint32_t header_size, std::uint32_t vlr_count,
                 std::uint32_t offset_to_data, Laszip& out, std::string& why);

struct Chunk { std::uint64_t offset = 0, bytes = 0, points = 0; };  // offset in the file
struct ChunkTable {
    std::vector<Chunk> chunks;
    std::uint64_t points = 0;             // the sum of the chunks' points
    // Disagreements that still let the chunks be decoded, each one sentence.
    std::vector<std::string> problems;
    // Where the header's point count disagrees with the chunks: why ("" when it agrees). Kept apart:
    // a stale count is the header's fault, the problems above the table's.
    std::string count_problem;
    // Refused because the table, or its entries, would lie past the end of the point area: where that is
    // the end of the file, the file was cut short.
    bool cut = false;
};
// Reads the chunk table (its offset is the int64 at data_start; -1 or garbage: the table at the end of
// the file, as writers that cannot seek leave it) and lays the chunks out from data_start + 8. end is where
// the point area ends (the file size, or the first EVLR). header_points is the header's point count.
// Never reads outside [0, end). false: why. Memory is bounded by the bytes of the table read.
bool read_chunk_table(const ReadAt& read, std::uint64_t data_start, std::uint64_t end,
                      std::uint64_t header_points, const Laszip& z, ChunkTable& out, std::string& why);

// Decodes one chunk at a time into uncompressed LAS point records (record_length bytes each). One per
// thread, reused across chunks and files; a few MiB at most.
struct Decoder;
struct DecoderFree { void operator()(Decoder*) const; };
using DecoderPtr = std::unique_ptr<Decoder, DecoderFree>;
DecoderPtr make_decoder(const Laszip& z);
// data/size: the chunk's compressed bytes as the table gives them; points: its point count.
bool start_chunk(Decoder& d, const unsigned char* data, std::size_t size, std::uint64_t points, std::string& why);
// The same for a pointwise chunk of size bytes at offset, read through a small window as it decodes (a
// layered chunk is refused). The decoder keeps read until the next start.
bool start_chunk_at(Decoder& d, const ReadAt& read, std::uint64_t offset, std::uint64_t size, std::uint64_t points,
                    std::string& why);
// The next n points of the chunk into out (n * record_length bytes). false: why; the caller names the chunk.
bool decode(Decoder& d, std::size_t n, unsigned char* out, std::string& why);
// After start_chunk: the points the chunk holds. Layered chunks state their
// own count (at most the points start_chunk was given); pointwise ones hold
// what they were started with.
std::uint64_t chunk_points(const Decoder& d);
// After the chunk's last point: its bytes the decoder never needed (of
// layered chunks, of all layers). None where the count was right; more
// mean the chunk holds more points. Before it: the bytes not yet needed.
std::uint64_t unread_bytes(const Decoder& d);
// Whether the decoder ran out of the chunk's bytes.
bool ran_out(const Decoder& d);

}  // namespace lidar::laz
