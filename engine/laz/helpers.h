// What the item codecs of both chunk layouts, and the checks of their
// items, have in common: written once so that the layouts cannot drift
// apart where LASzip codes them alike.
#pragma once

#include "laz/arith.h"
#include "laz/laz.h"
#include "laz/wavepacket.h"

#include <cstdint>

namespace lidar::laz {

// ---- The items ----

inline const char* item_name(unsigned type) {
    switch (type) {
        case BYTE: return "BYTE";
        case POINT10: return "POINT10";
        case GPSTIME11: return "GPSTIME11";
        case RGB12: return "RGB12";
        case WAVEPACKET13: return "WAVEPACKET13";
        case POINT14: return "POINT14";
        case RGB14: return "RGB14";
        case RGBNIR14: return "RGBNIR14";
        case WAVEPACKET14: return "WAVEPACKET14";
        case BYTE14: return "BYTE14";
        default: return nullptr;
    }
}

// The bytes a known item always has; 0 for the extra bytes, which have
// as many as the record carries, and for unknown types.
inline unsigned item_size(unsigned type) {
    switch (type) {
        case POINT10: return 20;
        case GPSTIME11: return 8;
        case RGB12: case RGB14: return 6;
        case RGBNIR14: return 8;
        case WAVEPACKET13: case WAVEPACKET14: return kWavePacketSize;
        case POINT14: return 30;
        default: return 0;
    }
}

// The items of layered chunks are coded by versions 3 and 4, the others by
// versions 1 and 2.
inline bool layered_item(unsigned type) { return type >= POINT14 && type <= BYTE14; }

inline bool item_size_fits(const Item& it) {
    const unsigned want = item_size(it.type);
    return want ? it.size == want : it.size != 0;
}

inline bool item_version_known(const Item& it) {
    return layered_item(it.type) ? it.version == 3 || it.version == 4 : it.version == 1 || it.version == 2;
}

// ---- Predictions ----

inline unsigned clamp_byte(int v) { return v < 0 ? 0u : v > 255 ? 255u : static_cast<unsigned>(v); }

// Of three values, for the version 1 coordinates.
inline std::int32_t median3(const std::int32_t* d) {
    if (d[0] < d[1]) {
        if (d[1] < d[2]) return d[1];
        return d[0] < d[2] ? d[2] : d[0];
    }
    if (d[0] < d[2]) return d[0];
    return d[1] < d[2] ? d[2] : d[1];
}

// The median of the last five values, kept sorted: each new value pushes out
// the largest or the smallest, alternating once it lands past the middle, as
// the encoder keeps it.
struct Median5 {
    std::int32_t v[5] = {};
    bool high = true;
    void init() { *this = Median5{}; }
    std::int32_t get() const { return v[2]; }
    void add(std::int32_t x) {
        if (high) {
            unsigned i = 4;
            for (; i > 0 && x < v[i - 1]; --i) v[i] = v[i - 1];
            v[i] = x;
            if (i >= 3) high = false;
        } else {
            unsigned i = 0;
            for (; i < 4 && v[i + 1] < x; ++i) v[i] = v[i + 1];
            v[i] = x;
            if (i < 2) high = true;
        }
    }
};

// A colour from the last one (red, green, blue), as RGB12 version 2 and the
// layered RGB14 code it: `used` (a 128-symbol model) says which of the six
// bytes changed, low bytes first, and in bit 6 whether green and blue differ
// from red at all; then each changed byte of diff[0..5] (red low, red high,
// green low, green high, blue low, blue high) corrects its prediction. Green
// is predicted from red's change, blue from the mean of red's and green's.
inline void decode_rgb(ArithDecoder& d, SymbolModel& used_model, SymbolModel* diff, std::uint16_t* last) {
    const unsigned used = d.decode_symbol(used_model);
    const unsigned r_lo = last[0] & 255, r_hi = last[0] >> 8;
    const unsigned g_lo = last[1] & 255, g_hi = last[1] >> 8;
    const unsigned b_lo = last[2] & 255, b_hi = last[2] >> 8;
    const unsigned red_lo = used & 1 ? (d.decode_symbol(diff[0]) + r_lo) & 255 : r_lo;
    const unsigned red_hi = used & 2 ? (d.decode_symbol(diff[1]) + r_hi) & 255 : r_hi;
    const auto red = static_cast<std::uint16_t>(red_lo | red_hi << 8);
    std::uint16_t green = red, blue = red;
    if (used & 64) {
        int change = static_cast<int>(red_lo) - static_cast<int>(r_lo);
        unsigned green_lo = g_lo, blue_lo = b_lo;
        if (used & 4) green_lo = (d.decode_symbol(diff[2]) + clamp_byte(change + static_cast<int>(g_lo))) & 255;
        if (used & 16) {
            const int mean = (change + static_cast<int>(green_lo) - static_cast<int>(g_lo)) / 2;
            blue_lo = (d.decode_symbol(diff[4]) + clamp_byte(mean + static_cast<int>(b_lo))) & 255;
        }
        change = static_cast<int>(red_hi) - static_cast<int>(r_hi);
        unsigned green_hi = g_hi, blue_hi = b_hi;
        if (used & 8) green_hi = (d.decode_symbol(diff[3]) + clamp_byte(change + static_cast<int>(g_hi))) & 255;
        if (used & 32) {
            const int mean = (change + static_cast<int>(green_hi) - static_cast<int>(g_hi)) / 2;
            blue_hi = (d.decode_symbol(diff[5]) + clamp_byte(mean + static_cast<int>(b_hi))) & 255;
        }
        green = static_cast<std::uint16_t>(green_lo | green_hi << 8);
        blue = static_cast<std::uint16_t>(blue_lo | blue_hi << 8);
    }
    last[0] = red;
    last[1] = green;
    last[2] = blue;
}

}  // namespace lidar::laz
