// BYTE14 of layered chunks: each extra byte in a layer of its own, coded as
// its difference from the byte of the last point.
#include "laz/layered_items.h"

#include <cstring>

namespace lidar::laz::layered {

namespace {

// 256-symbol models, about 2.3 KiB each: a thousand varying extra bytes of
// one scanner channel, or 256 of each of four, and a bound on what damaged
// data can make a decoder hold.
constexpr std::size_t kMaxModels = 1024;

void activate(Byte14& c, unsigned k, const std::uint8_t* from) {
    auto& models = c.models[k];
    if (models.size() != c.count) models.resize(c.count);
    c.last[k].assign(from, from + c.count);
    for (std::uint32_t i : c.varying) {
        if (models[i]) {
            models[i]->init();
        } else if (c.model_count < kMaxModels) {
            models[i] = std::make_unique<SymbolModel>(256);
            ++c.model_count;
        } else {
            c.fault = "more of its extra bytes vary than this decoder keeps models for";
            return;
        }
    }
    c.active[k] = true;
}

}  // namespace

void byte14_start(Byte14& c, const unsigned char* first, unsigned context) {
    c.varying.clear();
    for (std::uint32_t i = 0; i < c.count; ++i)
        if (c.layers[i].size) c.varying.push_back(i);
    for (bool& a : c.active) a = false;
    c.fault = nullptr;
    c.current = context;
    activate(c, context, first);
}

void byte14_decode(Byte14& c, unsigned char* out, unsigned context) {
    const unsigned from =
        predicting_context(c, context, [&](unsigned f) { activate(c, context, c.last[f].data()); });
    if (c.fault) return;
    std::uint8_t* last = c.last[from].data();
    auto& models = c.models[c.current];
    for (std::uint32_t i : c.varying)
        last[i] = static_cast<std::uint8_t>(last[i] + c.layers[i].dec.decode_symbol(*models[i]));
    std::memcpy(out, last, c.count);
}

}  // namespace lidar::laz::layered
