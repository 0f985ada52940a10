// Layered LAZ chunks (compressor 3, point formats 6 to 10). A chunk holds its
// first point as stored, its point count, the byte size of every layer of
// every item, then the layers: each item's fields in layers of their own.
#include "laz/layered.h"

#include "laz/helpers.h"
#include "laz/layered_items.h"
#include "laz/le.h"

#include <cstring>
#include <vector>

namespace lidar::laz {

struct Layered {
    std::string refusal;  // why these items cannot be decoded, if they cannot
    std::size_t record_length = 0;
    std::vector<layered::Layer> layers;  // every item's, in the chunk's order
    std::vector<std::string> names;      // of the layers, for messages
    layered::Point14 point;
    layered::Rgb14 rgb;
    layered::WavePacket14 wave;
    layered::Byte14 bytes;
    // The items after POINT14, in the record's order: their type and offset.
    struct Part { std::uint16_t type; std::size_t at; };
    std::vector<Part> parts;
    std::vector<unsigned char> first;      // the chunk's first point
    std::vector<const layered::Layer*> open;  // the layers with data
    std::uint64_t count = 0, table_points = 0, done = 0;
    std::uint64_t tail = 0;  // the chunk's bytes after its last layer
    bool ready = false;
};

void LayeredFree::operator()(Layered* l) const { delete l; }

namespace {

const char* const kPointLayers[layered::kPoint14Layers] = {
    "channel, returns and XY", "Z", "classification", "flags", "intensity",
    "scan angle", "user data", "point source ID", "GPS time"};

// The items a layered chunk can hold: POINT14 first (it gives the others
// their scanner channel), then at most one colour item, one WAVEPACKET14 and
// one BYTE14.
std::string check_items(const Laszip& z) {
    if (z.items.empty() || z.items[0].type != POINT14)
        return "layered LAZ chunks need the POINT14 item first, as LASzip writes them";
    bool colour = false, wave = false, extra = false;
    for (const Item& it : z.items) {
        if (!layered_item(it.type)) return "item type " + std::to_string(it.type) + " does not occur in layered LAZ chunks";
        const std::string name = item_name(it.type);
        if (!item_version_known(it))
            return "the " + name + " item has version " + std::to_string(it.version) +
                   "; layered chunks know versions 3 and 4";
        if (!item_size_fits(it)) return "the " + name + " item has " + std::to_string(it.size) + " bytes";
        switch (it.type) {
            case RGB14:
            case RGBNIR14:
                if (colour) return "the items hold two colour items";
                colour = true;
                break;
            case WAVEPACKET14:
                if (wave) return "the items hold two WAVEPACKET14 items";
                wave = true;
                break;
            case BYTE14:
                if (extra) return "the items hold two BYTE14 items";
                extra = true;
                break;
            default:
                if (&it != &z.items[0]) return "the items hold two POINT14 items";
                break;
        }
    }
    return {};
}

bool fail(Layered& l, std::string& why, std::string text) {
    l.ready = false;
    why = std::move(text);
    return false;
}

}  // namespace

LayeredPtr make_layered(const Laszip& z) {
    LayeredPtr l(new Layered);
    l->refusal = check_items(z);
    if (!l->refusal.empty()) return l;
    l->record_length = z.record_length();
    std::size_t at = 0;
    // The layers are laid out first so that the items can point into them.
    for (const Item& it : z.items) {
        switch (it.type) {
            case POINT14:
                for (const char* name : kPointLayers) l->names.emplace_back(std::string("the ") + name + " layer");
                break;
            case BYTE14:
                for (unsigned i = 0; i < it.size; ++i)
                    l->names.push_back("the layer of extra byte " + std::to_string(i + 1));
                break;
            case WAVEPACKET14:
                l->names.emplace_back("the wave packet layer");
                break;
            default:
                l->names.emplace_back("the RGB layer");
                if (it.type == RGBNIR14) l->names.emplace_back("the NIR layer");
                break;
        }
    }
    l->layers.resize(l->names.size());
    std::size_t layer = 0;
    for (const Item& it : z.items) {
        if (it.type != POINT14) l->parts.push_back({it.type, at});
        switch (it.type) {
            case POINT14:
                l->point.layers = &l->layers[layer];
                l->point.every_point = it.version >= 4;
                layer += layered::kPoint14Layers;
                break;
            case BYTE14:
                l->bytes.layers = &l->layers[layer];
                l->bytes.count = it.size;
                l->bytes.follow_switch = it.version >= 4;
                layer += it.size;
                break;
            case WAVEPACKET14:
                l->wave.layer = &l->layers[layer];
                l->wave.follow_switch = it.version >= 4;
                ++layer;
                break;
            default:
                l->rgb.layers = &l->layers[layer];
                l->rgb.nir = it.type == RGBNIR14;
                l->rgb.follow_switch = it.version >= 4;
                layer += l->rgb.nir ? 2 : 1;
                break;
        }
        at += it.size;
    }
    l->first.resize(l->record_length);
    l->open.reserve(l->layers.size());
    return l;
}

bool layered_start(Layered& l, const unsigned char* data, std::size_t size, std::uint64_t points, std::string& why) {
    l.ready = false;
    if (!l.refusal.empty()) return fail(l, why, l.refusal);
    const std::uint64_t head = l.record_length + 4 + 4 * std::uint64_t{l.layers.size()};
    if (size < head)
        return fail(l, why, "the chunk holds " + std::to_string(size) +
                                " bytes, too few for its first point, point count and layer sizes");
    std::memcpy(l.first.data(), data, l.record_length);
    l.count = get32(data + l.record_length);
    if (l.count == 0) return fail(l, why, "the chunk says it holds no points");
    if (l.count > points)
        return fail(l, why, "the chunk says it holds " + std::to_string(l.count) + " points, more than the " +
                                std::to_string(points) + " the chunk table gives it");
    std::uint64_t at = head;
    for (std::size_t i = 0; i < l.layers.size(); ++i) {
        layered::Layer& layer = l.layers[i];
        layer.size = get32(data + l.record_length + 4 + 4 * i);
        if (layer.size > size - at)
            return fail(l, why, l.names[i] + " of " + std::to_string(layer.size) + " bytes runs past the end of the chunk");
        layer.data = data + at;
        at += layer.size;
    }
    l.tail = size - at;
    // A chunk of one point needs no layer; any other needs the first one,
    // which says what changed from point to point.
    l.open.clear();
    if (l.count > 1) {
        if (l.layers[0].size == 0)
            return fail(l, why, "the chunk holds " + std::to_string(l.count) + " points but " + l.names[0] + " is empty");
        for (std::size_t i = 0; i < l.layers.size(); ++i) {
            layered::Layer& layer = l.layers[i];
            if (layer.size == 0) continue;
            if (!layer.dec.init(layer.data, layer.data + layer.size))
                return fail(l, why, l.names[i] + " holds " + std::to_string(layer.size) +
                                        " bytes, too few to start its decoder");
            l.open.push_back(&layer);
        }
    }
    layered::point14_start(l.point, l.first.data());
    const unsigned channel = l.point.items_context;
    for (const Layered::Part& p : l.parts) {
        const unsigned char* first = l.first.data() + p.at;
        switch (p.type) {
            case RGB14: case RGBNIR14: layered::rgb14_start(l.rgb, first, channel); break;
            case WAVEPACKET14: layered::wavepacket14_start(l.wave, first, channel); break;
            case BYTE14: layered::byte14_start(l.bytes, first, channel); break;
        }
    }
    if (l.bytes.fault) return fail(l, why, std::string("the chunk cannot be decoded: ") + l.bytes.fault);
    l.table_points = points;
    l.done = 0;
    l.ready = true;
    return true;
}

std::uint64_t layered_points(const Layered& l) { return l.ready ? l.count : 0; }

std::uint64_t layered_unread(const Layered& l) {
    if (!l.ready) return 0;
    std::uint64_t n = l.tail;
    for (const layered::Layer& layer : l.layers)
        if (layer.size) n += l.open.empty() ? layer.size : static_cast<std::uint64_t>(layer.dec.end - layer.dec.next);
    return n;
}

bool layered_decode(Layered& l, std::size_t n, unsigned char* out, std::string& why) {
    if (!l.ready) return fail(l, why, l.refusal.empty() ? "no chunk is being decoded" : l.refusal);
    if (n > l.table_points - l.done)
        return fail(l, why, "point " + std::to_string(l.done + n) + " was asked of a chunk of " +
                                std::to_string(l.table_points) + " points");
    const std::size_t rl = l.record_length;
    for (std::size_t i = 0; i < n; ++i, out += rl) {
        if (l.done == l.count)
            return fail(l, why, "the chunk holds " + std::to_string(l.count) + " points, fewer than the " +
                                    std::to_string(l.table_points) + " the chunk table gives it");
        if (l.done == 0) {
            std::memcpy(out, l.first.data(), rl);
        } else {
            layered::point14_decode(l.point, out);
            const unsigned channel = l.point.items_context;
            for (const Layered::Part& p : l.parts) {
                switch (p.type) {
                    case RGB14: case RGBNIR14: layered::rgb14_decode(l.rgb, out + p.at, channel); break;
                    case WAVEPACKET14: layered::wavepacket14_decode(l.wave, out + p.at, channel); break;
                    case BYTE14: layered::byte14_decode(l.bytes, out + p.at, channel); break;
                }
            }
            const char* fault = l.point.fault ? l.point.fault : l.bytes.fault;
            if (fault) return fail(l, why, "point " + std::to_string(l.done + 1) + " of the chunk is damaged: " + fault);
            for (const layered::Layer* layer : l.open)
                if (layer->dec.overrun)
                    return fail(l, why, l.names[static_cast<std::size_t>(layer - l.layers.data())] +
                                            " ends before point " + std::to_string(l.done + 1) + " of the chunk");
        }
        ++l.done;
    }
    return true;
}

}  // namespace lidar::laz
