// WAVEPACKET13 of pointwise chunks (formats 4 and 5), and the packet coding
// the layered WAVEPACKET14 shares.
#include "laz/items.h"

#include <cstring>

namespace lidar::laz {

void wave_packet_reset(WavePacketModels& m) {
    m.m_index.init();
    for (auto& s : m.m_offset) s.init();
    m.ic_offset.init();
    m.ic_size.init();
    m.ic_location.init();
    m.ic_xyz.init();
    m.last_diff = 0;
    m.last_kind = 0;
}

void wave_packet_read(WavePacketModels& m, ArithDecoder& dec, const unsigned char* last, unsigned char* out) {
    const std::uint64_t offset = get64(last + 1);
    const std::uint32_t size = get32(last + 9);
    std::int32_t field[4];  // the return point location, dx, dy, dz
    for (int i = 0; i < 4; ++i) field[i] = static_cast<std::int32_t>(get32(last + 13 + 4 * i));

    const unsigned index = dec.decode_symbol(m.m_index);
    std::uint64_t next;
    m.last_kind = dec.decode_symbol(m.m_offset[m.last_kind]);
    switch (m.last_kind) {
        case 0: next = offset; break;
        case 1: next = offset + size; break;
        case 2:
            m.last_diff = m.ic_offset.decompress(dec, m.last_diff);
            next = offset + static_cast<std::uint64_t>(std::int64_t{m.last_diff});
            break;
        default: next = dec.read_int64(); break;
    }
    const std::int32_t new_size = m.ic_size.decompress(dec, static_cast<std::int32_t>(size));
    field[0] = m.ic_location.decompress(dec, field[0]);
    for (unsigned i = 0; i < 3; ++i) field[i + 1] = m.ic_xyz.decompress(dec, field[i + 1], i);

    out[0] = static_cast<unsigned char>(index);
    put64(out + 1, next);
    put32(out + 9, static_cast<std::uint32_t>(new_size));
    for (int i = 0; i < 4; ++i) put32(out + 13 + 4 * i, static_cast<std::uint32_t>(field[i]));
}

void wavepacket13_init(WavePacket13& c, const unsigned char* item) {
    wave_packet_reset(c.m);
    std::memcpy(c.last, item, kWavePacketSize);
}

void wavepacket13_read(WavePacket13& c, ArithDecoder& dec, unsigned char* out) {
    wave_packet_read(c.m, dec, c.last, c.last);
    std::memcpy(out, c.last, kWavePacketSize);
}

}  // namespace lidar::laz
