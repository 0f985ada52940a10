#include "reference.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace lastest {

namespace {

std::int32_t get_i32(const Bytes& b, std::size_t at) {
    std::int32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

double world(std::int32_t v, double scale, double offset) {
    volatile double product = static_cast<double>(v) * scale;  // rounded before the sum
    return product + offset;
}

// Records of reclen bytes from data up to end, one at a time: the extremes
// (start values when there is none), the count and the count of each
// return number (byte 14 & mask).
struct Scanned {
    std::int64_t lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX};
    std::int64_t hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    std::uint64_t count = 0, by_return[16] = {};
};
Scanned scan(const Bytes& in, std::uint64_t data, std::uint64_t end, std::size_t reclen, unsigned mask) {
    Scanned s;
    for (std::uint64_t at = data; at + reclen <= end; at += reclen) {
        for (int k = 0; k < 3; ++k) {
            std::int64_t v = get_i32(in, at + 4 * k);
            if (v < s.lo[k]) s.lo[k] = v;
            if (v > s.hi[k]) s.hi[k] = v;
        }
        ++s.by_return[in[at + 14] & mask];
        ++s.count;
    }
    if (s.count == 0) {
        const std::int64_t start[3] = {2147483646, 2147483646, 10000000};
        for (int k = 0; k < 3; ++k) s.lo[k] = start[k], s.hi[k] = -start[k];
    }
    return s;
}

// The extents of what was scanned, into out with in's scales and offsets.
void put_extents(Bytes& out, const Bytes& in, const Scanned& s) {
    for (int k = 0; k < 3; ++k) {
        const double scale = get_f64(in, 131 + 8 * k), offset = get_f64(in, 155 + 8 * k);
        // A negative scale makes the smallest integer the largest value.
        const bool flip = s.count > 0 && scale < 0;
        put_f64(out, 179 + 16 * k, world(static_cast<std::int32_t>(flip ? s.lo[k] : s.hi[k]), scale, offset));
        put_f64(out, 187 + 16 * k, world(static_cast<std::int32_t>(flip ? s.hi[k] : s.lo[k]), scale, offset));
    }
}

}  // namespace

std::optional<Bytes> reference_update(const Bytes& in) {
    if (in.size() < 227 || std::memcmp(in.data(), "LASF", 4) != 0) return std::nullopt;
    const int minor = in[25], format = in[104];
    if (in[24] != 1 || minor > 2 || format > 3 || (minor < 2 && format > 1)) return std::nullopt;
    const std::size_t reclen = static_cast<std::size_t>(natural_length(format));
    if (static_cast<std::size_t>(in[105] | in[106] << 8) != reclen) return std::nullopt;

    const std::uint64_t data = get_u32(in, 96);
    if (data < 227) return std::nullopt;  // points inside the header
    const Scanned sc = scan(in, data, in.size(), reclen, 7);
    Bytes out = in;
    put_u32(out, 107, static_cast<std::uint32_t>(sc.count));
    for (int r = 1; r <= 5; ++r) put_u32(out, 107 + 4 * r, static_cast<std::uint32_t>(sc.by_return[r]));
    put_extents(out, in, sc);
    return out;
}

std::optional<Bytes> reference_general_update(const Bytes& in) {
    if (in.size() < 26 || std::memcmp(in.data(), "LASF", 4) != 0 || in[24] != 1 || in[25] > 4) return std::nullopt;
    const int minor = in[25];
    const std::size_t head = minor <= 2 ? 227 : minor == 3 ? 235 : 375;
    if (in.size() < head) return std::nullopt;
    const int format = in[104];
    const int most = minor <= 2 ? 3 : minor == 3 ? 5 : 10;
    if (format > most) return std::nullopt;  // also every compressed one: bit 6 or 7 set
    const std::size_t reclen = static_cast<std::size_t>(in[105] | in[106] << 8);
    if (reclen < static_cast<std::size_t>(natural_length(format))) return std::nullopt;
    const std::size_t header_size = static_cast<std::size_t>(in[94] | in[95] << 8);
    const std::uint64_t data = get_u32(in, 96);
    if (header_size < head || data < header_size) return std::nullopt;

    auto u64 = [&](std::size_t at) {
        std::uint64_t v;
        std::memcpy(&v, &in[at], 8);
        return v;
    };
    // Extended VLRs or waveform packets end the points, at OffsetToData too.
    std::uint64_t end = in.size();
    if (minor >= 4 && get_u32(in, 243) > 0 && u64(235) >= data && u64(235) < end) end = u64(235);
    if (minor >= 3 && (in[6] & 2) && u64(227) >= data && u64(227) < end) end = u64(227);

    const unsigned mask = format >= 6 ? 15 : 7;
    const Scanned sc = scan(in, data, end, reclen, mask);
    Bytes out = in;
    const bool legacy = minor < 4 || format <= 5;
    put_u32(out, 107, legacy ? static_cast<std::uint32_t>(sc.count) : 0);
    for (int r = 1; r <= 5; ++r) put_u32(out, 107 + 4 * r, legacy ? static_cast<std::uint32_t>(sc.by_return[r]) : 0);
    if (minor >= 4) {
        std::memcpy(&out[247], &sc.count, 8);
        for (int r = 1; r <= 15; ++r) {
            const std::uint64_t n = r <= static_cast<int>(mask) ? sc.by_return[r] : 0;
            std::memcpy(&out[247 + 8 * r], &n, 8);
        }
    }
    put_extents(out, in, sc);
    return out;
}

namespace {

std::string judge_against(const std::optional<Bytes>& expected, const Bytes& before, const Bytes& after,
                          bool succeeded, bool printed) {
    if (succeeded) {
        if (!expected) return "updated a file that must be refused";
        if (printed) return "printed a message on success";
        if (after.size() != before.size()) return "the file changed size";
        for (std::size_t i = 0; i < after.size(); ++i) {
            if (after[i] == (*expected)[i]) continue;
            // The sign of a NaN result is not fixed by IEEE 754 (a compiler
            // may negate a product instead of redoing it): any NaN will do.
            if (i >= 179 && i < 227) {
                std::size_t field = 179 + (i - 179) / 8 * 8;
                if (std::isnan(get_f64(after, field)) && std::isnan(get_f64(*expected, field))) continue;
            }
            bool statistics = (i >= 107 && i < 131) || (i >= 179 && i < 227) || (i >= 247 && i < 375);
            return (statistics ? "wrong statistic at byte " : "changed a byte it must keep: ") +
                   std::to_string(i);
        }
        return "";
    }
    if (expected) return "refused a file it can update";
    if (!printed) return "failed without a message";
    if (after != before) return "failed but changed the file";
    return "";
}

}  // namespace

std::string judge_update(const Bytes& before, const Bytes& after, bool succeeded, bool printed) {
    return judge_against(reference_update(before), before, after, succeeded, printed);
}

std::string judge_general_update(const Bytes& before, const Bytes& after, bool succeeded, bool printed) {
    return judge_against(reference_general_update(before), before, after, succeeded, printed);
}

}  // namespace lastest
