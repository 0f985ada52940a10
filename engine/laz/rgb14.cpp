// RGB14 and RGBNIR14 of layered chunks: colour in one layer, NIR in another,
// each byte coded as a correction of its prediction from the last colour.
#include "laz/helpers.h"
#include "laz/layered_items.h"
#include "laz/le.h"

namespace lidar::laz::layered {

struct RgbContext {
    SymbolModel rgb_used{128};  // which colour bytes changed, and whether green and blue follow red
    std::vector<SymbolModel> rgb = std::vector<SymbolModel>(6, SymbolModel(256));
    SymbolModel nir_used{4};
    std::vector<SymbolModel> nir = std::vector<SymbolModel>(2, SymbolModel(256));
};

namespace {

void activate(Rgb14& c, unsigned k, const std::uint16_t* from) {
    if (!c.ctx[k]) c.ctx[k] = std::make_unique<RgbContext>();
    RgbContext& m = *c.ctx[k];
    if (c.layers[0].size) {
        m.rgb_used.init();
        for (auto& s : m.rgb) s.init();
    }
    if (c.nir && c.layers[1].size) {
        m.nir_used.init();
        for (auto& s : m.nir) s.init();
    }
    for (unsigned i = 0; i < 4; ++i) c.last[k][i] = from[i];
    c.active[k] = true;
}

void decode_nir(ArithDecoder& d, RgbContext& m, std::uint16_t& last) {
    unsigned used = d.decode_symbol(m.nir_used);
    unsigned lo = last & 255, hi = last >> 8;
    if (used & 1) lo = (d.decode_symbol(m.nir[0]) + lo) & 255;
    if (used & 2) hi = (d.decode_symbol(m.nir[1]) + hi) & 255;
    last = static_cast<std::uint16_t>(lo | hi << 8);
}

}  // namespace

Rgb14::Rgb14() = default;
Rgb14::~Rgb14() = default;

void rgb14_start(Rgb14& c, const unsigned char* first, unsigned context) {
    std::uint16_t v[4] = {};
    for (unsigned i = 0; i < (c.nir ? 4u : 3u); ++i) v[i] = get16(first + 2 * i);
    for (bool& a : c.active) a = false;
    c.current = context;
    activate(c, context, v);
}

void rgb14_decode(Rgb14& c, unsigned char* out, unsigned context) {
    // The last colour predicts; after a switch to a context the chunk has
    // already used, version 3 still predicts from (and updates) the previous
    // context's colour for this one point.
    const unsigned from = predicting_context(c, context, [&](unsigned f) { activate(c, context, c.last[f]); });
    std::uint16_t* last = c.last[from];
    RgbContext& m = *c.ctx[c.current];
    if (c.layers[0].size) decode_rgb(c.layers[0].dec, m.rgb_used, m.rgb.data(), last);
    put16(out, last[0]);
    put16(out + 2, last[1]);
    put16(out + 4, last[2]);
    if (c.nir) {
        if (c.layers[1].size) decode_nir(c.layers[1].dec, m, last[3]);
        put16(out + 6, last[3]);
    }
}

}  // namespace lidar::laz::layered
