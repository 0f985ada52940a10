// POINT14 of layered chunks (item versions 3 and 4 code it alike): the
// record of point formats 6 to 8 without colour and extra bytes.
#include "laz/helpers.h"
#include "laz/layered_items.h"
#include "laz/le.h"

#include <algorithm>

namespace lidar::laz::layered {

namespace {

enum : unsigned { kXY, kZ, kClass, kFlags, kIntensity, kAngle, kUser, kSource, kGps };

// Which of 6 coordinate contexts a return number r of n returns uses, by
// [n][r] as digits; numberings from 0 and swapped fields get their own.
constexpr char kReturnMap[16][17] = {
    "0123453445555555", "1013333333333333", "2124444444433333", "3345444444444444",
    "4344544444444444", "5344454444444444", "3344445444444444", "4344444544444444",
    "4344444454444444", "5344444445444444", "5344444444544444", "5334444444455444",
    "5334444444455544", "5334444444445554", "5334444444444555", "5334444444444455"};

// The Z of the last point at the same distance from the last return.
unsigned return_level(unsigned n, unsigned r) { return std::min(n > r ? n - r : r - n, 7u); }

// A point's fields as the codec predicts them. Coordinates wrap as the
// encoder's 32-bit arithmetic did.
struct Fields {
    std::uint32_t x = 0, y = 0, z = 0;
    std::uint16_t intensity = 0, angle = 0, source = 0;
    std::uint8_t ret = 0, nret = 0, class_flags = 0, channel = 0, scan_dir = 0, edge = 0;
    std::uint8_t classification = 0, user = 0;
    std::uint64_t gps = 0;    // the double's bits: never converted
    bool gps_changed = false;  // part of the next point's context
};

Fields unpack(const unsigned char* p) {
    Fields f;
    f.x = get32(p);
    f.y = get32(p + 4);
    f.z = get32(p + 8);
    f.intensity = get16(p + 12);
    f.ret = p[14] & 15;
    f.nret = p[14] >> 4;
    f.class_flags = p[15] & 15;
    f.channel = (p[15] >> 4) & 3;
    f.scan_dir = (p[15] >> 6) & 1;
    f.edge = p[15] >> 7;
    f.classification = p[16];
    f.user = p[17];
    f.angle = get16(p + 18);
    f.source = get16(p + 20);
    f.gps = get32(p + 22) | std::uint64_t{get32(p + 26)} << 32;
    return f;
}

void pack(const Fields& f, unsigned char* p) {
    put32(p, f.x);
    put32(p + 4, f.y);
    put32(p + 8, f.z);
    put16(p + 12, f.intensity);
    p[14] = static_cast<unsigned char>(f.ret | f.nret << 4);
    p[15] = static_cast<unsigned char>(f.class_flags | f.channel << 4 | f.scan_dir << 6 | f.edge << 7);
    p[16] = f.classification;
    p[17] = f.user;
    put16(p + 18, f.angle);
    put16(p + 20, f.source);
    put32(p + 22, static_cast<std::uint32_t>(f.gps));
    put32(p + 26, static_cast<std::uint32_t>(f.gps >> 32));
}

// GPS time codes: a multiple of the last difference, up to 500 times it or
// down to -10 times it, a full 64-bit time, or a switch to another of the
// four time sequences kept (multi-pulse scanners interleave them).
constexpr unsigned kMultiMax = 500;
constexpr std::int32_t kMultiMin = -10;
constexpr unsigned kMultiFull = kMultiMax + 10 + 1;
constexpr unsigned kMultiSymbols = kMultiMax + 10 + 5;

}  // namespace

struct Point14Context {
    Fields last;
    std::vector<SymbolModel> changed = std::vector<SymbolModel>(8, SymbolModel(128));
    SymbolModel channel{3};
    std::vector<SymbolModel> nret = std::vector<SymbolModel>(16, SymbolModel(16));
    std::vector<SymbolModel> ret = std::vector<SymbolModel>(16, SymbolModel(16));
    SymbolModel ret_same_time{13};
    IntegerDecompressor dx{32, 2}, dy{32, 22}, z{32, 20};
    Median5 median_x[12], median_y[12];
    std::uint32_t last_z[8] = {};
    std::vector<SymbolModel> classification = std::vector<SymbolModel>(64, SymbolModel(256));
    std::vector<SymbolModel> flags = std::vector<SymbolModel>(64, SymbolModel(64));
    std::vector<SymbolModel> user = std::vector<SymbolModel>(64, SymbolModel(256));
    IntegerDecompressor intensity{16, 4};
    std::uint16_t last_intensity[8] = {};
    IntegerDecompressor angle{16, 2}, source{16};
    SymbolModel gps_multi{kMultiSymbols}, gps_zero{5};
    IntegerDecompressor gps{32, 9};
    std::uint64_t gps_seq[4] = {};
    std::int32_t gps_diff[4] = {}, gps_extreme[4] = {};
    unsigned gps_last = 0, gps_next = 0;
    // The models picked by a last value are reset when first used in the
    // chunk: most of them never are.
    std::uint32_t nret_ready = 0, ret_ready = 0;
    std::uint64_t class_ready = 0, flags_ready = 0, user_ready = 0;
};

namespace {

SymbolModel& ready(std::vector<SymbolModel>& models, unsigned i, std::uint64_t& mask) {
    if (!(mask >> i & 1)) {
        models[i].init();
        mask |= std::uint64_t{1} << i;
    }
    return models[i];
}
SymbolModel& ready(std::vector<SymbolModel>& models, unsigned i, std::uint32_t& mask) {
    if (!(mask >> i & 1)) {
        models[i].init();
        mask |= std::uint32_t{1} << i;
    }
    return models[i];
}

// A context used for the first time in the chunk starts from the point
// before it; models of empty layers stay as they are, unused.
void activate(Point14& p, unsigned k, const Fields& from) {
    if (!p.ctx[k]) p.ctx[k] = std::make_unique<Point14Context>();
    Point14Context& c = *p.ctx[k];
    p.active[k] = true;
    for (auto& m : c.changed) m.init();
    c.channel.init();
    c.ret_same_time.init();
    c.dx.init();
    c.dy.init();
    for (auto& m : c.median_x) m.init();
    for (auto& m : c.median_y) m.init();
    c.nret_ready = c.ret_ready = 0;
    c.class_ready = c.flags_ready = c.user_ready = 0;
    if (p.layers[kZ].size) c.z.init();
    std::fill(c.last_z, c.last_z + 8, from.z);
    if (p.layers[kIntensity].size) c.intensity.init();
    std::fill(c.last_intensity, c.last_intensity + 8, from.intensity);
    if (p.layers[kAngle].size) c.angle.init();
    if (p.layers[kSource].size) c.source.init();
    if (p.layers[kGps].size) {
        c.gps_multi.init();
        c.gps_zero.init();
        c.gps.init();
    }
    c.gps_last = c.gps_next = 0;
    std::fill(c.gps_diff, c.gps_diff + 4, 0);
    std::fill(c.gps_extreme, c.gps_extreme + 4, 0);
    c.gps_seq[0] = from.gps;
    c.gps_seq[1] = c.gps_seq[2] = c.gps_seq[3] = 0;
    c.last = from;
    c.last.gps_changed = false;
}

std::int32_t times(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// A time far from the last: its upper half predicted, its lower half raw; it
// starts the next of the four sequences.
void gps_full(Point14Context& c, ArithDecoder& d) {
    std::uint32_t high = static_cast<std::uint32_t>(
        c.gps.decompress(d, static_cast<std::int32_t>(c.gps_seq[c.gps_last] >> 32), 8));
    c.gps_next = (c.gps_next + 1) & 3;
    c.gps_seq[c.gps_next] = std::uint64_t{high} << 32 | d.read_int();
    c.gps_last = c.gps_next;
    c.gps_diff[c.gps_last] = 0;
    c.gps_extreme[c.gps_last] = 0;
}

// A difference far from the last one, seen often enough, becomes the one
// later differences are multiples of.
void gps_extreme(Point14Context& c, unsigned s, std::int32_t diff) {
    if (++c.gps_extreme[s] > 3) {
        c.gps_diff[s] = diff;
        c.gps_extreme[s] = 0;
    }
}

bool read_gps(Point14Context& c, ArithDecoder& d) {
    // An encoder switches sequence at most once per time; more is damage.
    for (unsigned hops = 0; hops < 4; ++hops) {
        unsigned s = c.gps_last;
        if (c.gps_diff[s] == 0) {
            unsigned multi = d.decode_symbol(c.gps_zero);
            if (multi == 0) {
                c.gps_diff[s] = c.gps.decompress(d, 0, 0);
                c.gps_seq[s] += static_cast<std::uint64_t>(std::int64_t{c.gps_diff[s]});
                c.gps_extreme[s] = 0;
            } else if (multi == 1) {
                gps_full(c, d);
            } else {
                c.gps_last = (s + multi - 1) & 3;
                continue;
            }
            return true;
        }
        unsigned multi = d.decode_symbol(c.gps_multi);
        if (multi == kMultiFull) {
            gps_full(c, d);
            return true;
        }
        if (multi > kMultiFull) {
            c.gps_last = (s + multi - kMultiFull) & 3;
            continue;
        }
        std::int32_t last = c.gps_diff[s], diff;
        if (multi == 1) {
            diff = c.gps.decompress(d, last, 1);
            c.gps_extreme[s] = 0;
        } else if (multi == 0) {
            diff = c.gps.decompress(d, 0, 7);
            gps_extreme(c, s, diff);
        } else if (multi < kMultiMax) {
            diff = c.gps.decompress(d, times(static_cast<std::int32_t>(multi), last), multi < 10 ? 2 : 3);
        } else if (multi == kMultiMax) {
            diff = c.gps.decompress(d, times(kMultiMax, last), 4);
            gps_extreme(c, s, diff);
        } else {
            std::int32_t m = static_cast<std::int32_t>(kMultiMax) - static_cast<std::int32_t>(multi);
            if (m > kMultiMin) {
                diff = c.gps.decompress(d, times(m, last), 5);
            } else {
                diff = c.gps.decompress(d, times(kMultiMin, last), 6);
                gps_extreme(c, s, diff);
            }
        }
        c.gps_seq[s] += static_cast<std::uint64_t>(std::int64_t{diff});
        return true;
    }
    return false;
}

}  // namespace

Point14::Point14() = default;
Point14::~Point14() = default;

void point14_start(Point14& p, const unsigned char* first) {
    Fields f = unpack(first);
    std::fill(p.active, p.active + 4, false);
    p.fault = nullptr;
    p.current = f.channel;
    p.items_context = p.current;
    activate(p, p.current, f);
}

void point14_decode(Point14& p, unsigned char* out) {
    Point14Context* c = p.ctx[p.current].get();
    ArithDecoder& xy = p.layers[kXY].dec;

    // What changed, in the context of the last point's return and whether
    // its time changed.
    unsigned lpr = (c->last.ret == 1) | (c->last.ret >= c->last.nret) << 1 | c->last.gps_changed << 2;
    unsigned changed = xy.decode_symbol(c->changed[lpr]);
    if (changed & 64) {
        // Another scanner channel: its own context, first seeded from this one.
        unsigned k = (p.current + xy.decode_symbol(c->channel) + 1) & 3;
        if (!p.active[k]) activate(p, k, c->last);
        p.current = k;
        c = p.ctx[k].get();
        c->last.channel = static_cast<std::uint8_t>(k);
    }
    p.items_context = (changed & 64) || p.every_point ? p.current : 0;
    Fields& f = c->last;
    bool source_changed = changed & 32, gps_changed = changed & 16, angle_changed = changed & 8;

    unsigned n = f.nret, r = f.ret;
    if (changed & 4) {
        n = xy.decode_symbol(ready(c->nret, n, c->nret_ready));
        f.nret = static_cast<std::uint8_t>(n);
    }
    switch (changed & 3) {
    case 1: r = (r + 1) & 15; break;
    case 2: r = (r + 15) & 15; break;
    case 3:
        if (gps_changed) r = xy.decode_symbol(ready(c->ret, r, c->ret_ready));
        else r = (r + xy.decode_symbol(c->ret_same_time) + 2) & 15;
        break;
    default: break;
    }
    f.ret = static_cast<std::uint8_t>(r);

    unsigned m = static_cast<unsigned>(kReturnMap[n][r] - '0');
    unsigned cpr = (r == 1) | (r >= n) << 1;  // first, last, both (single) or neither
    unsigned single = n == 1;

    unsigned mi = m << 1 | gps_changed;
    std::int32_t dx = c->dx.decompress(xy, c->median_x[mi].get(), single);
    f.x += static_cast<std::uint32_t>(dx);
    c->median_x[mi].add(dx);
    unsigned kx = c->dx.k();
    std::int32_t dy = c->dy.decompress(xy, c->median_y[mi].get(), single + (kx < 20 ? kx & ~1u : 20));
    f.y += static_cast<std::uint32_t>(dy);
    c->median_y[mi].add(dy);

    if (p.layers[kZ].size) {
        unsigned k = (c->dx.k() + c->dy.k()) / 2;
        unsigned l = return_level(n, r);
        f.z = static_cast<std::uint32_t>(c->z.decompress(p.layers[kZ].dec, static_cast<std::int32_t>(c->last_z[l]),
                                                         single + (k < 18 ? k & ~1u : 18)));
        c->last_z[l] = f.z;
    }
    if (p.layers[kClass].size) {
        unsigned i = (f.classification & 31u) << 1 | (cpr == 3);
        f.classification = static_cast<std::uint8_t>(
            p.layers[kClass].dec.decode_symbol(ready(c->classification, i, c->class_ready)));
    }
    if (p.layers[kFlags].size) {
        unsigned i = f.edge << 5 | f.scan_dir << 4 | f.class_flags;
        unsigned bits = p.layers[kFlags].dec.decode_symbol(ready(c->flags, i, c->flags_ready));
        f.edge = bits >> 5 & 1;
        f.scan_dir = bits >> 4 & 1;
        f.class_flags = bits & 15;
    }
    if (p.layers[kIntensity].size) {
        unsigned i = cpr << 1 | gps_changed;
        f.intensity = static_cast<std::uint16_t>(
            c->intensity.decompress(p.layers[kIntensity].dec, c->last_intensity[i], cpr));
        c->last_intensity[i] = f.intensity;
    }
    if (p.layers[kAngle].size && angle_changed)
        f.angle = static_cast<std::uint16_t>(c->angle.decompress(
            p.layers[kAngle].dec, static_cast<std::int16_t>(f.angle), gps_changed));
    if (p.layers[kUser].size)
        f.user = static_cast<std::uint8_t>(
            p.layers[kUser].dec.decode_symbol(ready(c->user, f.user >> 2, c->user_ready)));
    if (p.layers[kSource].size && source_changed)
        f.source = static_cast<std::uint16_t>(c->source.decompress(p.layers[kSource].dec, f.source));
    if (p.layers[kGps].size && gps_changed) {
        if (read_gps(*c, p.layers[kGps].dec)) f.gps = c->gps_seq[c->gps_last];
        else p.fault = "its GPS time switches between time sequences more often than an encoder does";
    }
    pack(f, out);
    f.gps_changed = gps_changed;
}

}  // namespace lidar::laz::layered
