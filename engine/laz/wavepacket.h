// The wave packet of a point (formats 4, 5, 9 and 10), as both chunk
// layouts code it: the descriptor index, the byte offset of the waveform,
// the packet size, the return point location and dx, dy, dz. The floats are
// coded as the integers of their bits.
#pragma once

#include "laz/arith.h"

#include <cstdint>
#include <vector>

namespace lidar::laz {

constexpr unsigned kWavePacketSize = 29;

struct WavePacketModels {
    SymbolModel m_index{256};
    // How the offset follows from the last packet's, chosen by how the last
    // one did: unchanged, just past it, a 32-bit difference, or stored whole.
    std::vector<SymbolModel> m_offset = std::vector<SymbolModel>(4, SymbolModel(4));
    IntegerDecompressor ic_offset{32}, ic_size{32}, ic_location{32}, ic_xyz{32, 3};
    std::int32_t last_diff = 0;
    unsigned last_kind = 0;
};
// A new chunk, or a scanner channel's first use in one.
void wave_packet_reset(WavePacketModels& m);
// The next packet from the last (29 bytes each as a record holds them; they
// may be the same bytes).
void wave_packet_read(WavePacketModels& m, ArithDecoder& dec, const unsigned char* last, unsigned char* out);

}  // namespace lidar::laz
