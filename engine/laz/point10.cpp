// POINT10: the 20 bytes every point format 0-5 starts with.
#include "laz/items.h"

namespace lidar::laz {

namespace {

// Context of the coordinates and intensity by return number r (column) of
// n returns (row); the odd pairs some writers store get contexts of their own.
constexpr std::uint8_t kReturnContext[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},   {14, 0, 1, 3, 6, 10, 10, 9},     {13, 1, 2, 4, 7, 11, 11, 10},
    {12, 3, 4, 5, 8, 12, 12, 11},     {11, 6, 7, 8, 9, 13, 13, 12},    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14},  {8, 9, 10, 11, 12, 13, 14, 15}};

std::int32_t add_wrapping(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t get_i32(const unsigned char* p) { return static_cast<std::int32_t>(get32(p)); }

}  // namespace

Point10::Point10(int v)
    : version(v),
      ic_intensity(16, v == 1 ? 1 : 4),
      ic_scan_angle(8, 2),
      m_changed(64),
      ic_point_source(16),
      ic_dx(32, v == 1 ? 1 : 2),
      ic_dy(32, v == 1 ? 20 : 22),
      ic_z(32, 20) {}

void point10_init(Point10& c, const unsigned char* item) {
    ++c.chunk;
    std::memcpy(c.last, item, 20);
    for (auto& d : c.last_x_diff) d = 0;
    for (auto& d : c.last_y_diff) d = 0;
    c.last_incr = 0;
    for (int i = 0; i < 16; ++i) {
        c.x_median[i].init();
        c.y_median[i].init();
        c.last_intensity[i] = 0;
        c.last_height[i / 2] = 0;
    }
    c.m_changed.init();
    c.ic_intensity.init();
    c.ic_point_source.init();
    c.ic_dx.init();
    c.ic_dy.init();
    c.ic_z.init();
    if (c.version == 1) {
        c.ic_scan_angle.init();
    } else {
        c.m_scan_angle[0].init();
        c.m_scan_angle[1].init();
        // Version 2 predicts intensity per return, starting from zero.
        c.last[12] = c.last[13] = 0;
    }
}

void point10_read_v1(Point10& c, ArithDecoder& dec, unsigned char* out) {
    unsigned char* l = c.last;
    std::int32_t x_diff = c.ic_dx.decompress(dec, median3(c.last_x_diff));
    put32(l, static_cast<std::uint32_t>(add_wrapping(get_i32(l), x_diff)));
    std::uint32_t k = c.ic_dx.k();
    std::int32_t y_diff = c.ic_dy.decompress(dec, median3(c.last_y_diff), k < 19 ? k : 19);
    put32(l + 4, static_cast<std::uint32_t>(add_wrapping(get_i32(l + 4), y_diff)));
    k = (k + c.ic_dy.k()) / 2;
    put32(l + 8, static_cast<std::uint32_t>(c.ic_z.decompress(dec, get_i32(l + 8), k < 19 ? k : 19)));

    std::uint32_t changed = dec.decode_symbol(c.m_changed);
    if (changed) {
        if (changed & 32) put16(l + 12, static_cast<std::uint32_t>(c.ic_intensity.decompress(dec, get16(l + 12))));
        if (changed & 16) l[14] = static_cast<unsigned char>(dec.decode_symbol(c.m_bit_byte.get(l[14], c.chunk)));
        if (changed & 8)
            l[15] = static_cast<unsigned char>(dec.decode_symbol(c.m_classification.get(l[15], c.chunk)));
        if (changed & 4) l[16] = static_cast<unsigned char>(c.ic_scan_angle.decompress(dec, l[16], k < 3));
        if (changed & 2) l[17] = static_cast<unsigned char>(dec.decode_symbol(c.m_user_data.get(l[17], c.chunk)));
        if (changed & 1)
            put16(l + 18, static_cast<std::uint32_t>(c.ic_point_source.decompress(dec, get16(l + 18))));
    }
    c.last_x_diff[c.last_incr] = x_diff;
    c.last_y_diff[c.last_incr] = y_diff;
    if (++c.last_incr > 2) c.last_incr = 0;
    std::memcpy(out, l, 20);
}

void point10_read_v2(Point10& c, ArithDecoder& dec, unsigned char* out) {
    unsigned char* l = c.last;
    std::uint32_t changed = dec.decode_symbol(c.m_changed);
    unsigned r, n, m;
    if (changed) {
        if (changed & 32) l[14] = static_cast<unsigned char>(dec.decode_symbol(c.m_bit_byte.get(l[14], c.chunk)));
        r = l[14] & 7;
        n = (l[14] >> 3) & 7;
        m = kReturnContext[n][r];
        if (changed & 16) {
            c.last_intensity[m] = static_cast<std::uint16_t>(
                c.ic_intensity.decompress(dec, c.last_intensity[m], m < 3 ? m : 3));
        }
        put16(l + 12, c.last_intensity[m]);
        if (changed & 8)
            l[15] = static_cast<unsigned char>(dec.decode_symbol(c.m_classification.get(l[15], c.chunk)));
        if (changed & 4) l[16] = static_cast<unsigned char>(dec.decode_symbol(c.m_scan_angle[(l[14] >> 6) & 1]) + l[16]);
        if (changed & 2) l[17] = static_cast<unsigned char>(dec.decode_symbol(c.m_user_data.get(l[17], c.chunk)));
        if (changed & 1)
            put16(l + 18, static_cast<std::uint32_t>(c.ic_point_source.decompress(dec, get16(l + 18))));
    } else {
        r = l[14] & 7;
        n = (l[14] >> 3) & 7;
        m = kReturnContext[n][r];
    }
    // The height is predicted by how far the return is from the last one.
    unsigned level = n > r ? n - r : r - n;
    unsigned single = n == 1;

    std::int32_t diff = c.ic_dx.decompress(dec, c.x_median[m].get(), single);
    put32(l, static_cast<std::uint32_t>(add_wrapping(get_i32(l), diff)));
    c.x_median[m].add(diff);

    std::uint32_t k = c.ic_dx.k();
    diff = c.ic_dy.decompress(dec, c.y_median[m].get(), single + (k < 20 ? (k & ~1u) : 20));
    put32(l + 4, static_cast<std::uint32_t>(add_wrapping(get_i32(l + 4), diff)));
    c.y_median[m].add(diff);

    k = (c.ic_dx.k() + c.ic_dy.k()) / 2;
    c.last_height[level] = c.ic_z.decompress(dec, c.last_height[level], single + (k < 18 ? (k & ~1u) : 18));
    put32(l + 8, static_cast<std::uint32_t>(c.last_height[level]));
    std::memcpy(out, l, 20);
}

}  // namespace lidar::laz
