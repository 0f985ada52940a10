// The "laszip encoded" VLR: how the points are compressed, item by item.
#include "laz/laz.h"
#include "laz/helpers.h"
#include "laz/le.h"
#include "vlrs.h"

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
    LasHeader h;
    h.header_size = static_cast<std::uint16_t>(std::min<std::uint32_t>(header_size, UINT16_MAX));
    h.vlr_count = vlr_count;
    h.offset_to_data = offset_to_data;
    // Nothing past the start of the points is read: the VLRs lie before it.
    const VlrSet vlrs = read_vlrs(h, nullptr, 0, offset_to_data, read);
    if (vlrs.laszip && !vlrs.laszip_record.empty())
        return parse_laszip(reinterpret_cast<const unsigned char*>(vlrs.laszip_record.data()),
                            vlrs.laszip_record.size(), out, why);
    if (vlrs.unreadable) {
        why = "the VLRs could not be read";
    } else if (vlrs.laszip) {
        why = "the file ends inside the LASzip VLR";
    } else if (vlrs.laszip_cut) {
        why = "the LASzip VLR runs past the start of the point data";
    } else if (vlrs.capped) {
        why = "no LASzip VLR (user \"laszip encoded\", record 22204) is among the first 65536 of the " +
              std::to_string(vlr_count) + " VLRs, and no more are examined";
    } else {
        why = "no LASzip VLR (user \"laszip encoded\", record 22204) is among the VLRs";
    }
    return false;
}

}  // namespace lidar::laz
