#include "las_header.h"

#include "count_limit.h"
#include "scan.h"

#include <cstring>
#include <vector>

namespace lidar {

namespace {
thread_local std::uint64_t t_count_limit = UINT32_MAX;
}  // namespace

std::uint64_t legacy_count_limit() { return t_count_limit; }

void set_legacy_count_limit(std::uint64_t most) { t_count_limit = most ? most : UINT32_MAX; }

std::uint64_t read_le(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t k = size; k-- > 0;) v = v << 8 | p[k];
    return v;
}

namespace {

std::uint64_t get(const unsigned char* b, std::size_t n, std::size_t at, std::size_t size) {
    return at + size > n ? 0 : read_le(b + at, size);
}
double get_f64(const unsigned char* b, std::size_t n, std::size_t at) {
    const std::uint64_t bits = get(b, n, at, 8);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
void put(unsigned char* b, std::size_t at, std::size_t size, std::uint64_t v) {
    for (std::size_t k = 0; k < size; ++k, v >>= 8) b[at + k] = static_cast<unsigned char>(v);
}
std::uint64_t bits_of(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Start values of the extremes, kept for files without points so that their
// headers come out as they always have.
constexpr std::int32_t kEmptyXY = 2147483646;
constexpr std::int32_t kEmptyZ = 10000000;

// The product is stored, and so rounded, before the offset is added, even
// where a compiler would fuse the two.
double to_world(std::int32_t v, double scale, double offset) {
    volatile double product = static_cast<double>(v) * scale;
    return product + offset;
}

// Offsets of the fields, LAS 1.0 to 1.4.
constexpr std::size_t kFileSourceId = 4, kGlobalEncoding = 6, kVersion = 24, kCreationDay = 90,
                      kCreationYear = 92, kHeaderSize = 94, kOffsetToData = 96, kVlrCount = 100, kFormat = 104, kRecordLength = 105, kLegacyCount = 107, kLegacyByReturn = 111,
                      kScale = 131, kOffset = 155, kExtents = 179, kWaveform = 227, kEvlrStart = 235,
                      kEvlrCount = 243, kCount = 247, kByReturn = 255;

// Global encoding bit 1: waveform data packets inside this file.
constexpr std::uint16_t kInternalWaveform = 2;

std::vector<StatField> make_fields() {
    std::vector<StatField> f;
    f.push_back({"NumberOfPointReturns", kLegacyCount, 4, 0});
    for (int k = 0; k < 5; ++k)
        f.push_back({"NumberOfPointsByReturn[" + std::to_string(k + 1) + "]", kLegacyByReturn + 4 * k, 4, 0});
    const char* const names[6] = {"MaxX", "MinX", "MaxY", "MinY", "MaxZ", "MinZ"};
    for (int k = 0; k < 6; ++k) f.push_back({names[k], kExtents + 8 * static_cast<std::size_t>(k), 8, 0});
    f.push_back({"ExtendedNumberOfPointRecords", kCount, 8, 4});
    for (int k = 0; k < 15; ++k)
        f.push_back({"ExtendedNumberOfPointsByReturn[" + std::to_string(k + 1) + "]", kByReturn + 8 * k, 8, 4});
    return f;
}

}  // namespace

std::size_t header_size_of(unsigned minor) {
    switch (minor) {
        case 0: case 1: case 2: return 227;
        case 3: return 235;
        case 4: return 375;
        default: return 0;
    }
}

std::size_t min_record_length(unsigned point_format) {
    static const std::size_t kLengths[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    return point_format < 11 ? kLengths[point_format] : 0;
}

unsigned max_point_format(unsigned minor) { return minor <= 2 ? 3 : minor == 3 ? 5 : 10; }

LasHeader parse_header(const unsigned char* b, std::size_t n) {
    LasHeader h;
    h.signature = n >= 4 && std::memcmp(b, "LASF", 4) == 0;
    h.file_source_id = static_cast<std::uint16_t>(get(b, n, kFileSourceId, 2));
    h.global_encoding = static_cast<std::uint16_t>(get(b, n, kGlobalEncoding, 2));
    h.major = static_cast<unsigned>(get(b, n, kVersion, 1));
    h.minor = static_cast<unsigned>(get(b, n, kVersion + 1, 1));
    h.creation_day = static_cast<std::uint16_t>(get(b, n, kCreationDay, 2));
    h.creation_year = static_cast<std::uint16_t>(get(b, n, kCreationYear, 2));
    h.header_size = static_cast<std::uint16_t>(get(b, n, kHeaderSize, 2));
    h.offset_to_data = static_cast<std::uint32_t>(get(b, n, kOffsetToData, 4));
    h.vlr_count = static_cast<std::uint32_t>(get(b, n, kVlrCount, 4));
    const unsigned format_byte = static_cast<unsigned>(get(b, n, kFormat, 1));
    h.point_format = format_byte & 0x3f;
    h.compressed = (format_byte & 0xc0) != 0;
    h.record_length = static_cast<std::uint16_t>(get(b, n, kRecordLength, 2));
    h.legacy_count = static_cast<std::uint32_t>(get(b, n, kLegacyCount, 4));
    for (int k = 0; k < 5; ++k)
        h.legacy_by_return[k] = static_cast<std::uint32_t>(get(b, n, kLegacyByReturn + 4 * k, 4));
    for (int k = 0; k < 3; ++k) {
        h.scale[k] = get_f64(b, n, kScale + 8 * k);
        h.offset[k] = get_f64(b, n, kOffset + 8 * k);
    }
    for (int k = 0; k < 6; ++k) h.extent[k] = get_f64(b, n, kExtents + 8 * k);
    if (h.minor >= 3) h.waveform_start = get(b, n, kWaveform, 8);
    if (h.minor >= 4) {
        h.evlr_start = get(b, n, kEvlrStart, 8);
        h.evlr_count = static_cast<std::uint32_t>(get(b, n, kEvlrCount, 4));
        h.count = get(b, n, kCount, 8);
        for (int k = 0; k < 15; ++k) h.by_return[k] = get(b, n, kByReturn + 8 * k, 8);
    }
    return h;
}

bool same_basis(const unsigned char* a, const unsigned char* b, unsigned minor, bool any_version) {
    auto same = [&](std::size_t from, std::size_t to) { return std::memcmp(a + from, b + from, to - from) == 0; };
    bool kept = same(0, 4)                                   // signature
                && same(kVersion, kVersion + 2)              // version
                && same(kOffsetToData, kOffsetToData + 4)    // OffsetToData
                && same(kFormat, kLegacyCount)               // point format, record length
                && same(kScale, kExtents);                   // scale factors and offsets
    if (!any_version) return kept;
    kept = kept && same(kGlobalEncoding, kGlobalEncoding + 2) && same(kHeaderSize, kHeaderSize + 2);
    if (minor >= 3) kept = kept && same(kWaveform, kWaveform + 8);
    if (minor >= 4) kept = kept && same(kEvlrStart, kCount);
    return kept;
}

const StatField* stat_fields(std::size_t& count) {
    static const std::vector<StatField> kFields = make_fields();
    count = kFields.size();
    return kFields.data();
}

bool stat_is_extent(std::size_t field) { return field >= 6 && field < 12; }

std::uint64_t stat_value(const LasHeader& h, std::size_t field) {
    if (field == 0) return h.legacy_count;
    if (field < 6) return h.legacy_by_return[field - 1];
    if (field < 12) return bits_of(h.extent[field - 6]);
    if (field == 12) return h.count;
    return h.by_return[field - 13];
}

void put_stats(unsigned char* b, const LasHeader& h) {
    std::size_t n;
    const StatField* f = stat_fields(n);
    for (std::size_t k = 0; k < n; ++k)
        if (h.minor >= f[k].since_minor) put(b, f[k].offset, f[k].size, stat_value(h, k));
}

std::size_t stat_runs(unsigned minor, std::size_t (&runs)[3][2]) {
    runs[0][0] = kLegacyCount;
    runs[0][1] = kScale;
    runs[1][0] = kExtents;
    runs[1][1] = kExtents + 48;
    if (minor < 4) return 2;
    runs[2][0] = kCount;
    runs[2][1] = kByReturn + 8 * 15;
    return 3;
}

std::uint64_t point_area_end(const LasHeader& h, std::uint64_t file_size) {
    std::uint64_t end = file_size;
    // At OffsetToData too: a file without points may have its extended VLRs
    // start where the points would (laspy writes such files).
    auto cut = [&](std::uint64_t at) {
        if (at >= h.offset_to_data && at < end) end = at;
    };
    if (h.minor >= 4 && h.evlr_count > 0) cut(h.evlr_start);
    if (h.minor >= 3 && (h.global_encoding & kInternalWaveform)) cut(h.waveform_start);
    return end;
}

std::uint64_t whole_records(const LasHeader& h, std::uint64_t file_size) {
    if (h.record_length == 0 || h.offset_to_data > file_size) return 0;
    return (point_area_end(h, file_size) - h.offset_to_data) / h.record_length;
}

LasHeader with_stats(const LasHeader& h, const PointStats& s) {
    LasHeader r = h;
    const unsigned mask = return_mask_of(h.point_format);
    std::uint64_t returns[15] = {};
    for (unsigned k = 1; k <= mask && k <= 15; ++k) returns[k - 1] = s.by_return_bits[k];
    const bool legacy = h.minor < 4 || (h.point_format <= 5 && s.count <= legacy_count_limit());
    r.legacy_count = legacy ? static_cast<std::uint32_t>(s.count) : 0;
    for (int k = 0; k < 5; ++k) r.legacy_by_return[k] = legacy ? static_cast<std::uint32_t>(returns[k]) : 0;
    if (h.minor >= 4) {
        r.count = s.count;
        for (int k = 0; k < 15; ++k) r.by_return[k] = returns[k];
    }
    const std::int32_t hi[3] = {s.count ? s.maxX : -kEmptyXY, s.count ? s.maxY : -kEmptyXY, s.count ? s.maxZ : -kEmptyZ};
    const std::int32_t lo[3] = {s.count ? s.minX : kEmptyXY, s.count ? s.minY : kEmptyXY, s.count ? s.minZ : kEmptyZ};
    for (int a = 0; a < 3; ++a) {
        // Each Max the larger world value: a negative scale turns the
        // smallest integer into the largest.
        const bool flip = s.count && h.scale[a] < 0;
        r.extent[2 * a] = to_world(flip ? lo[a] : hi[a], h.scale[a], h.offset[a]);
        r.extent[2 * a + 1] = to_world(flip ? hi[a] : lo[a], h.scale[a], h.offset[a]);
    }
    return r;
}

bool legacy_counts_zero_allowed(const LasHeader& stored) {
    if (stored.minor < 4 || stored.point_format > 5 || stored.legacy_count != 0) return false;
    for (std::uint32_t v : stored.legacy_by_return)
        if (v != 0) return false;
    return true;
}

}  // namespace lidar
