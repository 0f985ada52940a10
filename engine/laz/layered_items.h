// The item codecs of layered LAZ chunks (POINT14, RGB14, RGBNIR14,
// WAVEPACKET14, BYTE14). Each field of a point has a layer of its own with
// its own arithmetic decoder, and the scanner channel picks one of four
// contexts, each with its own models and last values. Internal to the module.
#pragma once

#include "laz/arith.h"
#include "laz/wavepacket.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lidar::laz::layered {

// A layer of the chunk. An empty one means the field keeps its last value
// throughout the chunk.
struct Layer {
    ArithDecoder dec;
    const unsigned char* data = nullptr;
    std::uint32_t size = 0;
};

// The context whose last values predict a point of `context`, the items
// that follow the scanner channel all alike: a context not yet used starts
// (start(from)) from the current one's values; after a switch back to a
// used one, version 3 still predicts from the previous context for that
// one point, version 4 (follow_switch) from its own.
template <class Item, class Start>
unsigned predicting_context(Item& c, unsigned context, Start start) {
    const unsigned from = c.current;
    if (context == from) return from;
    c.current = context;
    if (!c.active[context]) {
        start(from);
        return context;
    }
    return c.follow_switch ? context : from;
}

constexpr unsigned kPoint14Layers = 9;  // channel/returns/XY first, then one per field
constexpr std::size_t kPoint14Size = 30;

struct Point14Context;
struct Point14 {
    Point14();
    ~Point14();
    Layer* layers = nullptr;  // kPoint14Layers of them
    std::unique_ptr<Point14Context> ctx[4];
    bool active[4] = {};
    unsigned current = 0;         // the scanner channel of the last point
    // The context the other items are given for the point: version 4 gives
    // each point's channel; version 3 only the first point's and at a switch
    // of channel, context 0 on every other point, as LASzip's reader does.
    bool every_point = false;
    unsigned items_context = 0;
    const char* fault = nullptr;  // set when the data cannot be what an encoder wrote
};
// A new chunk: its first point as stored (raw), its layers already set.
void point14_start(Point14& p, const unsigned char* first);
void point14_decode(Point14& p, unsigned char* out);

struct RgbContext;
struct Rgb14 {
    Rgb14();
    ~Rgb14();
    Layer* layers = nullptr;  // RGB, then NIR if nir
    bool nir = false;
    // Version 4 predicts from the new context's last colour after every
    // switch; version 3 only after a switch to a context new in the chunk.
    bool follow_switch = false;
    std::unique_ptr<RgbContext> ctx[4];
    bool active[4] = {};
    std::uint16_t last[4][4] = {};  // per context: red, green, blue, NIR
    unsigned current = 0;
};
void rgb14_start(Rgb14& c, const unsigned char* first, unsigned context);
void rgb14_decode(Rgb14& c, unsigned char* out, unsigned context);

struct WavePacket14 {
    Layer* layer = nullptr;
    bool follow_switch = false;  // as in Rgb14
    std::unique_ptr<WavePacketModels> models[4];  // made for a layer that is not empty
    bool active[4] = {};
    unsigned char last[4][kWavePacketSize] = {};
    unsigned current = 0;
};
void wavepacket14_start(WavePacket14& c, const unsigned char* first, unsigned context);
void wavepacket14_decode(WavePacket14& c, unsigned char* out, unsigned context);

struct Byte14 {
    Layer* layers = nullptr;  // one per byte
    std::size_t count = 0;
    bool follow_switch = false;  // as in Rgb14
    // Models exist only for bytes that have varied in some chunk: a record
    // may carry thousands of extra bytes, most of them constant.
    std::vector<std::unique_ptr<SymbolModel>> models[4];
    std::vector<std::uint8_t> last[4];
    std::vector<std::uint32_t> varying;  // the bytes whose layers are not empty in this chunk
    std::size_t model_count = 0;
    bool active[4] = {};
    unsigned current = 0;
    const char* fault = nullptr;
};
void byte14_start(Byte14& c, const unsigned char* first, unsigned context);
void byte14_decode(Byte14& c, unsigned char* out, unsigned context);

}  // namespace lidar::laz::layered
