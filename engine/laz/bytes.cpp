// BYTE: the extra bytes after a point format's own fields, each predicted
// from the same byte of the previous point.
#include "laz/items.h"

namespace lidar::laz {

ExtraBytes::ExtraBytes(int version, unsigned n)
    : size(n), last(new unsigned char[n ? n : 1]()), ic_byte(8, version == 1 ? n : 1) {
    if (version != 1) m_byte.assign(n, SymbolModel(256));
}

void bytes_init(ExtraBytes& c, const unsigned char* item) {
    std::memcpy(c.last.get(), item, c.size);
    c.ic_byte.init();
    for (auto& m : c.m_byte) m.init();
}

void bytes_read_v1(ExtraBytes& c, ArithDecoder& dec, unsigned char* out) {
    for (unsigned i = 0; i < c.size; ++i)
        out[i] = c.last[i] = static_cast<unsigned char>(c.ic_byte.decompress(dec, c.last[i], i));
}

void bytes_read_v2(ExtraBytes& c, ArithDecoder& dec, unsigned char* out) {
    for (unsigned i = 0; i < c.size; ++i)
        out[i] = c.last[i] = static_cast<unsigned char>(c.last[i] + dec.decode_symbol(c.m_byte[i]));
}

}  // namespace lidar::laz
