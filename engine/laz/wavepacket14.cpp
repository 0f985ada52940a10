// WAVEPACKET14 of layered chunks (formats 9 and 10): the packets in one
// layer, coded as in pointwise chunks but with models and a last packet per
// scanner channel.
#include "laz/layered_items.h"

#include <cstring>

namespace lidar::laz::layered {

namespace {

void activate(WavePacket14& c, unsigned k, const unsigned char* from) {
    if (c.layer->size) {
        if (!c.models[k]) c.models[k] = std::make_unique<WavePacketModels>();
        wave_packet_reset(*c.models[k]);
    }
    std::memcpy(c.last[k], from, kWavePacketSize);
    c.active[k] = true;
}

}  // namespace

void wavepacket14_start(WavePacket14& c, const unsigned char* first, unsigned context) {
    for (bool& a : c.active) a = false;
    c.current = context;
    activate(c, context, first);
}

void wavepacket14_decode(WavePacket14& c, unsigned char* out, unsigned context) {
    const unsigned from = predicting_context(c, context, [&](unsigned f) { activate(c, context, c.last[f]); });
    unsigned char* last = c.last[from];
    // An empty layer: every packet of the chunk is its first point's.
    if (c.layer->size) wave_packet_read(*c.models[c.current], c.layer->dec, last, last);
    std::memcpy(out, last, kWavePacketSize);
}

}  // namespace lidar::laz::layered
