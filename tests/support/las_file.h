// Writes LAS files byte by byte for tests: any version, format, record
// length, data offset, gap and trailing fragment, including invalid ones.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lastest {

using Bytes = std::vector<unsigned char>;

struct Point {
    std::int32_t x = 0, y = 0, z = 0;
    std::uint8_t bits = 1;  // bitfield byte: return number in bits 0-2
};

struct LasRecipe {
    std::uint8_t major = 1, minor = 2, format = 1;
    int record_length = -1;          // -1: the format's own size
    std::int64_t offset_to_data = -1; // -1: right after header and gap
    std::size_t gap = 0;             // bytes between the header and the points
    std::uint32_t stated_count = 12345;  // deliberately stale by default
    std::uint32_t stated_by_return[5] = {7, 7, 7, 7, 7};
    double scale[3] = {0.01, 0.01, 0.01};
    double offset[3] = {0, 0, 0};
    double stated_extents[6] = {1, 2, 3, 4, 5, 6};  // MaxX MinX MaxY MinY MaxZ MinZ
    std::vector<Point> points;
    std::size_t trailing = 0;  // bytes of an incomplete record after the points
    // LAS 1.3 and 1.4: the header's own length (0: 227 whatever the
    // version); from 235 the waveform start (global_encoding bit 1: the
    // packets are in the file, after the points), from 375 the 64-bit
    // counts and evlr bytes of extended VLRs after the points.
    std::size_t header_size = 0;
    std::uint16_t global_encoding = 0;
    std::size_t waveform_after = 0;
    std::size_t evlr_after = 0;
    std::uint64_t stated_count64 = 777;
};

// Point record size of a point format 0..10; 20 otherwise.
int natural_length(int format);

Bytes build_las(const LasRecipe& s);

// count points on a spread of coordinates, every return number 0..7 in
// turn: bulk for files that must span several read blocks.
std::vector<Point> spread_points(int count);

void put_u16(Bytes& b, std::size_t at, std::uint16_t v);
void put_u32(Bytes& b, std::size_t at, std::uint32_t v);
void put_f64(Bytes& b, std::size_t at, double v);
std::uint32_t get_u32(const Bytes& b, std::size_t at);
double get_f64(const Bytes& b, std::size_t at);

void write_file(const std::string& path, const Bytes& b);

// MANIFEST.tsv of a folder of test data: each row as column -> cell, by file.
using Row = std::map<std::string, std::string>;
std::map<std::string, Row> read_manifest(const std::string& dir);
Bytes read_file(const std::string& path);

// A fresh directory that is removed with everything in it at destruction;
// under base if given, else the system's temporary directory.
struct TempDir {
    explicit TempDir(const std::string& base = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

}  // namespace lastest
