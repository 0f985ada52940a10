// Decodes the chunks of pointwise compressed points (formats 0-5), item by
// item; layered chunks go to layered.cpp.
#include "laz/laz.h"
#include "laz/helpers.h"
#include "laz/items.h"
#include "laz/layered.h"

#include <algorithm>
#include <variant>

namespace lidar::laz {

namespace {

// An item of the record and its codec's context; the codecs are chosen by
// a switch on the item's type, as layered chunks choose theirs.
struct Slot {
    std::uint16_t type;
    bool v1;  // item version 1; any other is coded as version 2
    unsigned offset, size;
    std::variant<Point10, GpsTime11, Rgb12, ExtraBytes, WavePacket13> ctx;
};

std::string num(std::uint64_t v) { return std::to_string(v); }

}  // namespace

struct Decoder {
    bool layered = false;
    LayeredPtr lay;
    unsigned record = 0;
    std::vector<Slot> slots;
    ArithDecoder dec;
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::uint64_t points = 0, done = 0;
    bool started = false, usable = true;
    // A chunk read through a window as the coder takes it (start_chunk_at):
    // its bytes from at to stop are not read yet.
    const ReadAt* read = nullptr;
    std::uint64_t at = 0, stop = 0;
    std::vector<unsigned char> window;
};

void DecoderFree::operator()(Decoder* d) const { delete d; }

namespace {

bool next_window(ArithDecoder& dec, void* source) {
    Decoder& d = *static_cast<Decoder*>(source);
    if (d.at >= d.stop) return false;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(d.window.size(), d.stop - d.at));
    const std::int64_t got = (*d.read)(d.at, d.window.data(), n);
    if (got <= 0) {
        d.at = d.stop;
        return false;
    }
    d.at += static_cast<std::uint64_t>(got);
    dec.next = d.window.data();
    dec.end = d.window.data() + got;
    return true;
}

}  // namespace

DecoderPtr make_decoder(const Laszip& z) {
    DecoderPtr d(new Decoder);
    d->record = z.record_length();
    for (const Item& it : z.items)
        if (it.type >= POINT14) d->layered = true;
    if (z.compressor == 3 || d->layered) {
        d->layered = true;
        d->lay = make_layered(z);
        return d;
    }
    unsigned offset = 0;
    d->slots.reserve(z.items.size());
    for (const Item& it : z.items) {
        const int v = it.version == 1 ? 1 : 2;
        switch (it.type) {
            case POINT10: d->slots.push_back(Slot{it.type, v == 1, offset, it.size, Point10(v)}); break;
            case GPSTIME11: d->slots.push_back(Slot{it.type, v == 1, offset, it.size, GpsTime11(v)}); break;
            case RGB12: d->slots.push_back(Slot{it.type, v == 1, offset, it.size, Rgb12(v)}); break;
            case BYTE: d->slots.push_back(Slot{it.type, v == 1, offset, it.size, ExtraBytes(v, it.size)}); break;
            case WAVEPACKET13: d->slots.push_back(Slot{it.type, v == 1, offset, it.size, WavePacket13()}); break;
            default: d->usable = false; break;  // refused by items_fit; refused again at each chunk
        }
        // Fixed-size items must be as large as their codecs write.
        if (item_size(it.type) && it.size != item_size(it.type)) d->usable = false;
        offset += it.size;
    }
    return d;
}

bool start_chunk(Decoder& d, const unsigned char* data, std::size_t size, std::uint64_t points, std::string& why) {
    if (d.layered) return layered_start(*d.lay, data, size, points, why);
    d.started = false;
    d.dec.refill = nullptr;
    if (!d.usable || d.slots.empty()) {
        why = "the LASzip VLR's items cannot be decoded";
        return false;
    }
    if (points && size < d.record) {
        why = "the chunk holds " + num(size) + " bytes, fewer than the " + num(d.record) + " of its first point";
        return false;
    }
    d.data = data;
    d.size = size;
    d.points = points;
    d.done = 0;
    d.started = true;
    return true;
}

bool start_chunk_at(Decoder& d, const ReadAt& read, std::uint64_t offset, std::uint64_t size, std::uint64_t points,
                    std::string& why) {
    d.started = false;
    if (d.layered) {
        why = "a layered chunk is decoded from memory";
        return false;
    }
    // Larger than any record, so the first point is in the first window.
    d.window.resize(1 << 16);
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(d.window.size(), size));
    if (read(offset, d.window.data(), n) != static_cast<std::int64_t>(n)) {
        why = "its bytes could not be read";
        return false;
    }
    if (!start_chunk(d, d.window.data(), n, points, why)) return false;
    d.read = &read;
    d.at = offset + n;
    d.stop = offset + size;
    d.dec.refill = next_window;
    d.dec.source = &d;
    return true;
}

bool decode(Decoder& d, std::size_t n, unsigned char* out, std::string& why) {
    if (d.layered) return layered_decode(*d.lay, n, out, why);
    if (!d.started) {
        why = "no chunk was started";
        return false;
    }
    if (n > d.points - d.done) {
        why = "point " + num(d.done + n) + " was asked of a chunk of " + num(d.points) + " points";
        return false;
    }
    if (n == 0) return true;
    const std::size_t record = d.record;
    ArithDecoder& dec = d.dec;
    if (d.done == 0) {
        // The first point is stored raw and starts every item's context.
        std::memcpy(out, d.data, record);
        for (Slot& s : d.slots) {
            const unsigned char* item = d.data + s.offset;
            switch (s.type) {
                case POINT10: point10_init(std::get<Point10>(s.ctx), item); break;
                case GPSTIME11: gpstime11_init(std::get<GpsTime11>(s.ctx), item); break;
                case RGB12: rgb12_init(std::get<Rgb12>(s.ctx), item); break;
                case BYTE: bytes_init(std::get<ExtraBytes>(s.ctx), item); break;
                case WAVEPACKET13: wavepacket13_init(std::get<WavePacket13>(s.ctx), item); break;
            }
        }
        dec.init(d.data + record, d.data + d.size);
        out += record;
        ++d.done;
        --n;
    }
    for (; n; --n, out += record) {
        for (Slot& s : d.slots) {
            unsigned char* item = out + s.offset;
            switch (s.type) {
                case POINT10: (s.v1 ? point10_read_v1 : point10_read_v2)(std::get<Point10>(s.ctx), dec, item); break;
                case GPSTIME11: (s.v1 ? gpstime11_read_v1 : gpstime11_read_v2)(std::get<GpsTime11>(s.ctx), dec, item); break;
                case RGB12: (s.v1 ? rgb12_read_v1 : rgb12_read_v2)(std::get<Rgb12>(s.ctx), dec, item); break;
                case BYTE: (s.v1 ? bytes_read_v1 : bytes_read_v2)(std::get<ExtraBytes>(s.ctx), dec, item); break;
                case WAVEPACKET13: wavepacket13_read(std::get<WavePacket13>(s.ctx), dec, item); break;
            }
        }
        if (dec.overrun) {
            why = "the compressed data ends before point " + num(d.done + 1) + " of the chunk";
            d.started = false;
            return false;
        }
        ++d.done;
    }
    return true;
}

std::uint64_t chunk_points(const Decoder& d) { return d.layered ? layered_points(*d.lay) : d.points; }

std::uint64_t unread_bytes(const Decoder& d) {
    if (d.layered) return layered_unread(*d.lay);
    if (!d.started) return 0;
    const std::uint64_t later = d.dec.refill ? d.stop - d.at : 0;
    if (d.done == 0) return d.size + later;
    return static_cast<std::uint64_t>(d.dec.end - d.dec.next) + later;
}

bool ran_out(const Decoder& d) { return !d.layered && d.dec.overrun; }

}  // namespace lidar::laz
