// RGB12: red, green and blue, 16 bits each, coded by byte.
#include "laz/items.h"

namespace lidar::laz {

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

// Version 2 codes a colour as the layered RGB14 does.
void rgb12_read_v2(Rgb12& c, ArithDecoder& dec, unsigned char* out) {
    decode_rgb(dec, c.m_used, c.m_diff, c.last);
    for (int i = 0; i < 3; ++i) put16(out + 2 * i, c.last[i]);
}

}  // namespace lidar::laz
