#include "las_file.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace lastest {

int natural_length(int format) {
    static const int kLengths[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    return format >= 0 && format <= 10 ? kLengths[format] : 20;
}

void put_u16(Bytes& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put_u32(Bytes& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }
void put_f64(Bytes& b, std::size_t at, double v) { std::memcpy(&b[at], &v, 8); }
std::uint32_t get_u32(const Bytes& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, &b.at(at + 3) - 3, 4);
    return v;
}
double get_f64(const Bytes& b, std::size_t at) {
    double v;
    std::memcpy(&v, &b.at(at + 7) - 7, 8);
    return v;
}

Bytes build_las(const LasRecipe& s) {
    const int reclen = s.record_length < 0 ? natural_length(s.format) : s.record_length;
    const std::size_t head = s.header_size ? s.header_size : 227;
    Bytes b;
    b.reserve(head + s.gap + s.points.size() * static_cast<std::size_t>(reclen) + s.trailing + s.evlr_after +
              s.waveform_after);
    b.resize(head, 0);
    std::memcpy(&b[0], "LASF", 4);
    put_u16(b, 6, s.global_encoding);
    b[24] = s.major;
    b[25] = s.minor;
    // Text fields with bytes after the terminator, which must survive.
    std::memcpy(&b[26], "test\0garbage", 12);
    std::memcpy(&b[58], "las_file.cpp", 12);
    put_u16(b, 94, static_cast<std::uint16_t>(head));
    const std::size_t data_at = head + s.gap;
    put_u32(b, 96, static_cast<std::uint32_t>(s.offset_to_data < 0 ? data_at : s.offset_to_data));
    b[104] = s.format;
    put_u16(b, 105, static_cast<std::uint16_t>(reclen));
    put_u32(b, 107, s.stated_count);
    for (int i = 0; i < 5; ++i) put_u32(b, 111 + 4 * i, s.stated_by_return[i]);
    for (int i = 0; i < 3; ++i) put_f64(b, 131 + 8 * i, s.scale[i]);
    for (int i = 0; i < 3; ++i) put_f64(b, 155 + 8 * i, s.offset[i]);
    for (int i = 0; i < 6; ++i) put_f64(b, 179 + 8 * i, s.stated_extents[i]);
    if (head >= 375) {
        std::memcpy(&b[247], &s.stated_count64, 8);
        for (int i = 0; i < 15; ++i) b[255 + 8 * i] = 7;
    }

    b.insert(b.end(), s.gap, 0xA5);  // the gap, recognisable if misread as points
    std::mt19937 fill(42);
    for (const Point& p : s.points) {
        std::size_t at = b.size();
        b.resize(at + reclen);
        for (int k = 0; k < reclen; ++k) b[at + k] = static_cast<unsigned char>(fill());
        if (reclen >= 15) {
            std::memcpy(&b[at], &p.x, 4);
            std::memcpy(&b[at + 4], &p.y, 4);
            std::memcpy(&b[at + 8], &p.z, 4);
            b[at + 14] = p.bits;
        }
    }
    b.resize(b.size() + s.trailing, 0x5A);
    // What may follow the points, each block recognisable if read as points.
    if (s.waveform_after && head >= 235) {
        const std::uint64_t at = b.size();
        std::memcpy(&b[227], &at, 8);
        b.resize(b.size() + s.waveform_after, 0xC3);
    }
    if (s.evlr_after && head >= 375) {
        const std::uint64_t at = b.size();
        std::memcpy(&b[235], &at, 8);
        put_u32(b, 243, 1);
        b.resize(b.size() + s.evlr_after, 0xE7);
    }
    return b;
}

std::vector<Point> spread_points(int count) {
    std::vector<Point> v;
    v.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) v.push_back({i * 3 - 4000, 7 - i, i % 977, static_cast<std::uint8_t>(i)});
    return v;
}

void write_file(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::map<std::string, Row> read_manifest(const std::string& dir) {
    std::ifstream in(dir + "/MANIFEST.tsv");
    std::map<std::string, Row> rows;
    std::vector<std::string> columns;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, '\t');) cells.push_back(cell);
        if (columns.empty()) {
            columns = cells;
            continue;
        }
        Row row;
        for (std::size_t k = 0; k < cells.size() && k < columns.size(); ++k) row[columns[k]] = cells[k];
        rows[row["file"]] = row;
    }
    return rows;
}

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TempDir::TempDir(const std::string& base) {
    namespace fs = std::filesystem;
    const fs::path parent = base.empty() ? fs::temp_directory_path() : fs::path(base);
    std::random_device rd;
    for (;;) {
        fs::path p = parent / ("vexholt-test-" + std::to_string(rd()));
        if (fs::create_directory(p)) {
            path = p.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

}  // namespace lastest
