// Little-endian fields of point records, read and written in place: the
// codecs of both chunk layouts share them.
#pragma once

#include <cstdint>

namespace lidar::laz {

inline std::uint16_t get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t get32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t get64(const unsigned char* p) { return get32(p) | std::uint64_t{get32(p + 4)} << 32; }
inline void put16(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put32(unsigned char* p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}
inline void put64(unsigned char* p, std::uint64_t v) {
    put32(p, static_cast<std::uint32_t>(v));
    put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace lidar::laz
