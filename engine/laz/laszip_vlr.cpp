// The "laszip encoded" VLR: how the points are compressed, item by item.
#include "laz/laz.h"
#include "laz/helpers.h"
#include "laz/le.h"

#include <algorithm>
#include <cstring>

namespace lidar::laz {

namespace {

std::string describe(const Item& it) {
    const char* name = item_name(it.type);
    return (name ? std::string(name) : "item type " + std::to_string(it.type)) + " version " +
           std::to_string(it.version);
}

}  // namespace

std::uint32_t Laszip::record_length() const {
    std::uint32_t sum = 0;
    for (const Item& it : items) sum += it.size;
    return sum;
}

bool parse_laszip(const unsigned char* p, std::size_t n, Laszip& out, std::string& why) {
    if (n < 34) {
        why = "the LASzip VLR holds " + std::to_string(n) + " bytes, fewer than the 34 of its fixed part";
        return false;
    }
    Laszip z;
    z.compressor = get16(p);
    z.coder = get16(p + 2);
    z.chunk_size = get32(p + 12);
    std::size_t count = get16(p + 32);
    if (n < 34 + 6 * count) {
        why = "the LASzip VLR lists " + std::to_string(count) + " items but holds only " + std::to_string(n) +
              " bytes";
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* q = p + 34 + 6 * i;
        z.items.push_back(Item{get16(q), get16(q + 2), get16(q + 4)});
    }
    if (z.compressor < 1 || z.compressor > 3) {
        why = "the LASzip VLR names compressor " + std::to_string(z.compressor) + ", not 1, 2 or 3";
        return false;
    }
    if (z.coder != 0) {
        why = "the LASzip VLR names coder " + std::to_string(z.coder) + ", not 0 (arithmetic)";
        return false;
    }
    if (z.compressor != 1 && z.chunk_size == 0) {
        why = "the LASzip VLR gives chunks of 0 points";
        return false;
    }
    out = std::move(z);
    return true;
}

bool items_fit(const Laszip& z, unsigned point_format, unsigned record_length, std::string& why) {
    // The items each point format is made of, before any extra bytes.
    static const std::vector<std::uint16_t> kFormat[11] = {
        {POINT10}, {POINT10, GPSTIME11}, {POINT10, RGB12}, {POINT10, GPSTIME11, RGB12},
        {POINT10, GPSTIME11, WAVEPACKET13}, {POINT10, GPSTIME11, RGB12, WAVEPACKET13},
        {POINT14}, {POINT14, RGB14}, {POINT14, RGBNIR14}, {POINT14, WAVEPACKET14},
        {POINT14, RGBNIR14, WAVEPACKET14}};
    if (point_format > 10) {
        why = "point format " + std::to_string(point_format) + " has no LAZ items";
        return false;
    }
    const bool layered = point_format >= 6;
    if (layered != (z.compressor == 3)) {
        why = layered ? "point format " + std::to_string(point_format) + " is compressed layered (compressor 3), not by compressor " +
                            std::to_string(z.compressor)
                      : "point format " + std::to_string(point_format) + " is compressed pointwise, not by the layered compressor 3";
        return false;
    }
    const auto& want = kFormat[point_format];
    std::size_t i = 0;
    for (; i < z.items.size(); ++i) {
        const Item& it = z.items[i];
        std::uint16_t type = i < want.size() ? want[i] : static_cast<std::uint16_t>(layered ? BYTE14 : BYTE);
        if (it.type != type) {
            why = "item " + std::to_string(i + 1) + " of the LASzip VLR is " + describe(it) + " where point format " +
                  std::to_string(point_format) + " needs " + item_name(type);
            return false;
        }
        if (!item_size_fits(it)) {
            why = "item " + std::to_string(i + 1) + " of the LASzip VLR, " + describe(it) + ", states " +
                  std::to_string(it.size) + " bytes";
            return false;
        }
        if (!item_version_known(it)) {
            why = "item " + std::to_string(i + 1) + " of the LASzip VLR is " + describe(it) + ", which is not decoded";
            return false;
        }
    }
    if (i < want.size()) {
        why = "the LASzip VLR lists " + std::to_string(z.items.size()) + " items where point format " +
              std::to_string(point_format) + " needs at least " + std::to_string(want.size());
        return false;
    }
    if (z.record_length() != record_length) {
        why = "the LASzip VLR's items make records of " + std::to_string(z.record_length()) +
              " bytes but the header states " + std::to_string(record_length);
        return false;
    }
    return true;
}

bool find_laszip(const ReadAt& read, std::uint32_t header_size, std::uint32_t vlr_count,
                 std::uint32_t offset_to_data, Laszip& out, std::string& why) {
    // The VLR headers are read a block at a time: a count of millions of
    // empty ones costs reads of 64 KiB, not of 54 bytes, and the walk stops
    // at a fixed number of them however many the header claims.
    constexpr std::uint32_t kMostVlrs = 1 << 16;
    std::vector<unsigned char> block;
    std::uint64_t block_at = 0, block_size = 0;
    std::uint64_t at = header_size;
    for (std::uint32_t i = 0; i < vlr_count; ++i) {
        if (i == kMostVlrs) {
            why = "no LASzip VLR (user \"laszip encoded\", record 22204) is among the first " + std::to_string(i) +
                  " of the " + std::to_string(vlr_count) + " VLRs, and no more are examined";
            return false;
        }
        if (at + 54 > offset_to_data) break;
        if (at < block_at || at + 54 > block_at + block_size) {
            block.resize(std::size_t{1} << 16);
            const std::int64_t got =
                read(at, block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), offset_to_data - at)));
            if (got < 0) {
                why = "the VLRs could not be read";
                return false;
            }
            block_at = at;
            block_size = static_cast<std::uint64_t>(got);
            if (got < 54) break;
        }
        const unsigned char* head = block.data() + (at - block_at);
        std::uint16_t length = get16(head + 20);
        std::uint64_t body = at + 54;
        if (get16(head + 18) == 22204 && std::memcmp(head + 2, "laszip encoded", 15) == 0) {
            if (body + length > offset_to_data) {
                why = "the LASzip VLR runs past the start of the point data";
                return false;
            }
            std::vector<unsigned char> data(length);
            const std::int64_t got = length ? read(body, data.data(), length) : 0;
            if (got != length) {
                why = got < 0 ? "the LASzip VLR could not be read" : "the file ends inside the LASzip VLR";
                return false;
            }
            return parse_laszip(data.data(), data.size(), out, why);
        }
        at = body + length;
    }
    why = "no LASzip VLR (user \"laszip encoded\", record 22204) is among the VLRs";
    return false;
}

}  // namespace lidar::laz
