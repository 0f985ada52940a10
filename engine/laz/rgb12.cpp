// RGB12: red, green and blue, 16 bits each, coded by byte.
#include "laz/items.h"

namespace lidar::laz {

namespace {
unsigned clamp8(int v) { return v < 0 ? 0u : v > 255 ? 255u : static_cast<unsigned>(v); }
}  // namespace

Rgb12::Rgb12(int v) : m_used(v == 1 ? 64 : 128), ic_rgb(8, 6) {}

void rgb12_init(Rgb12& c, const unsigned char* item) {
    for (int i = 0; i < 3; ++i) c.last[i] = get16(item + 2 * i);
    c.m_used.init();
    c.ic_rgb.init();
    for (auto& m : c.m_diff) m.init();
}

void rgb12_read_v1(Rgb12& c, ArithDecoder& dec, unsigned char* out) {
    std::uint32_t used = dec.decode_symbol(c.m_used);
    for (unsigned i = 0; i < 3; ++i) {
        unsigned lo = c.last[i] & 0xFF, hi = c.last[i] >> 8;
        if (used & (1u << (2 * i))) lo = static_cast<unsigned>(c.ic_rgb.decompress(dec, static_cast<std::int32_t>(lo), 2 * i)) & 0xFF;
        if (used & (2u << (2 * i))) hi = static_cast<unsigned>(c.ic_rgb.decompress(dec, static_cast<std::int32_t>(hi), 2 * i + 1)) & 0xFF;
        c.last[i] = static_cast<std::uint16_t>(lo | hi << 8);
        put16(out + 2 * i, c.last[i]);
    }
}

void rgb12_read_v2(Rgb12& c, ArithDecoder& dec, unsigned char* out) {
    // Bits 0-5 say which bytes changed; bit 6 that green and blue differ from
    // red, and are then predicted from red's change.
    std::uint32_t used = dec.decode_symbol(c.m_used);
    const std::uint16_t* l = c.last;
    unsigned v[3];
    v[0] = (used & 1) ? (dec.decode_symbol(c.m_diff[0]) + (l[0] & 0xFF)) & 0xFF : l[0] & 0xFF;
    v[0] |= (used & 2) ? ((dec.decode_symbol(c.m_diff[1]) + (l[0] >> 8)) & 0xFF) << 8 : l[0] & 0xFF00;
    if (used & 64) {
        int diff = static_cast<int>(v[0] & 0xFF) - (l[0] & 0xFF);
        v[1] = (used & 4) ? (dec.decode_symbol(c.m_diff[2]) + clamp8(diff + (l[1] & 0xFF))) & 0xFF : l[1] & 0xFF;
        if (used & 16) {
            diff = (diff + (static_cast<int>(v[1] & 0xFF) - (l[1] & 0xFF))) / 2;
            v[2] = (dec.decode_symbol(c.m_diff[4]) + clamp8(diff + (l[2] & 0xFF))) & 0xFF;
        } else {
            v[2] = l[2] & 0xFF;
        }
        diff = static_cast<int>(v[0] >> 8) - (l[0] >> 8);
        v[1] |= (used & 8) ? ((dec.decode_symbol(c.m_diff[3]) + clamp8(diff + (l[1] >> 8))) & 0xFF) << 8 : l[1] & 0xFF00;
        if (used & 32) {
            diff = (diff + (static_cast<int>(v[1] >> 8) - (l[1] >> 8))) / 2;
            v[2] |= ((dec.decode_symbol(c.m_diff[5]) + clamp8(diff + (l[2] >> 8))) & 0xFF) << 8;
        } else {
            v[2] |= l[2] & 0xFF00;
        }
    } else {
        v[1] = v[2] = v[0];
    }
    for (int i = 0; i < 3; ++i) {
        c.last[i] = static_cast<std::uint16_t>(v[i]);
        put16(out + 2 * i, v[i]);
    }
}

}  // namespace lidar::laz
