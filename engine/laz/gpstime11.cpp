// GPSTIME11: the GPS time as a 64-bit pattern, coded as a multiple of the
// last difference where it can be.
#include "laz/items.h"

namespace lidar::laz {

namespace {
// Version 2's symbols: multiples 1..499 of the last difference, 500 and up
// (capped), -1..-10, unchanged, a full new time, and a switch to one of the
// other three time sequences (interleaved flight lines).
constexpr int kMulti = 500, kMultiMinus = -10;
constexpr int kUnchanged = kMulti - kMultiMinus + 1, kCodeFull = kMulti - kMultiMinus + 2;
constexpr int kMultiTotal = kMulti - kMultiMinus + 6;
// Version 1's: multiples up to 509, then a full new time.
constexpr int kMultiMax1 = 512;

std::int32_t times(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
}  // namespace

GpsTime11::GpsTime11(int v)
    : version(v),
      m_multi(v == 1 ? kMultiMax1 : kMultiTotal),
      m_0diff(v == 1 ? 3 : 6),
      ic_time(32, v == 1 ? 6 : 9) {}

void gpstime11_init(GpsTime11& c, const unsigned char* item) {
    c.last = c.next = 0;
    for (int i = 0; i < 4; ++i) c.last_diff[i] = c.extreme[i] = 0;
    c.m_multi.init();
    c.m_0diff.init();
    c.ic_time.init();
    c.last_time[0] = get64(item);
    c.last_time[1] = c.last_time[2] = c.last_time[3] = 0;
}

void gpstime11_read_v1(GpsTime11& c, ArithDecoder& dec, unsigned char* out) {
    std::int32_t& last_diff = c.last_diff[0];
    std::uint64_t& t = c.last_time[0];
    if (last_diff == 0) {
        std::uint32_t multi = dec.decode_symbol(c.m_0diff);
        if (multi == 1) {
            last_diff = c.ic_time.decompress(dec, 0, 0);
            t += static_cast<std::uint64_t>(std::int64_t{last_diff});
        } else if (multi == 2) {
            t = dec.read_int64();
        }
    } else {
        int multi = static_cast<int>(dec.decode_symbol(c.m_multi));
        if (multi < kMultiMax1 - 2) {
            std::int32_t diff;
            if (multi == 1) {
                diff = c.ic_time.decompress(dec, last_diff, 1);
                last_diff = diff;
                c.extreme[0] = 0;
            } else if (multi == 0) {
                diff = c.ic_time.decompress(dec, last_diff / 4, 2);
                if (++c.extreme[0] > 3) {
                    last_diff = diff;
                    c.extreme[0] = 0;
                }
            } else {
                diff = c.ic_time.decompress(dec, times(multi, last_diff), multi < 10 ? 3 : multi < 50 ? 4 : 5);
                if (multi == kMultiMax1 - 3 && ++c.extreme[0] > 3) {
                    last_diff = diff;
                    c.extreme[0] = 0;
                }
            }
            t += static_cast<std::uint64_t>(std::int64_t{diff});
        } else if (multi < kMultiMax1 - 1) {
            t = dec.read_int64();
        }
    }
    put64(out, t);
}

void gpstime11_read_v2(GpsTime11& c, ArithDecoder& dec, unsigned char* out) {
    // A switch of sequence decodes the point again in the other one. The
    // encoder switches once at most; damaged data must not loop for ever.
    for (int attempt = 0; attempt < 4; ++attempt) {
        unsigned& last = c.last;
        std::int32_t& last_diff = c.last_diff[last];
        int multi;
        bool full = false;
        if (last_diff == 0) {
            multi = static_cast<int>(dec.decode_symbol(c.m_0diff));
            if (multi == 1) {
                last_diff = c.ic_time.decompress(dec, 0, 0);
                c.last_time[last] += static_cast<std::uint64_t>(std::int64_t{last_diff});
                c.extreme[last] = 0;
            } else if (multi == 2) {
                full = true;
            } else if (multi > 2) {
                last = (last + static_cast<unsigned>(multi) - 2) & 3;
                continue;
            }
        } else {
            multi = static_cast<int>(dec.decode_symbol(c.m_multi));
            if (multi == 1) {
                c.last_time[last] +=
                    static_cast<std::uint64_t>(std::int64_t{c.ic_time.decompress(dec, last_diff, 1)});
                c.extreme[last] = 0;
            } else if (multi < kUnchanged) {
                std::int32_t diff;
                bool extreme = false;
                if (multi == 0) {
                    diff = c.ic_time.decompress(dec, 0, 7);
                    extreme = true;
                } else if (multi < kMulti) {
                    diff = c.ic_time.decompress(dec, times(multi, last_diff), multi < 10 ? 2 : 3);
                } else if (multi == kMulti) {
                    diff = c.ic_time.decompress(dec, times(kMulti, last_diff), 4);
                    extreme = true;
                } else {
                    multi = kMulti - multi;
                    if (multi > kMultiMinus) {
                        diff = c.ic_time.decompress(dec, times(multi, last_diff), 5);
                    } else {
                        diff = c.ic_time.decompress(dec, times(kMultiMinus, last_diff), 6);
                        extreme = true;
                    }
                }
                // A run of extreme multiples makes the difference the new one.
                if (extreme && ++c.extreme[last] > 3) {
                    last_diff = diff;
                    c.extreme[last] = 0;
                }
                c.last_time[last] += static_cast<std::uint64_t>(std::int64_t{diff});
            } else if (multi == kCodeFull) {
                full = true;
            } else if (multi > kCodeFull) {
                last = (last + static_cast<unsigned>(multi - kCodeFull)) & 3;
                continue;
            }
        }
        if (full) {
            c.next = (c.next + 1) & 3;
            std::int32_t high = c.ic_time.decompress(dec, static_cast<std::int32_t>(c.last_time[last] >> 32), 8);
            c.last_time[c.next] = static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32 | dec.read_int();
            last = c.next;
            c.last_diff[last] = 0;
            c.extreme[last] = 0;
        }
        break;
    }
    put64(out, c.last_time[c.last]);
}

}  // namespace lidar::laz
