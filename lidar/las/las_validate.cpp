#include "las_validate.h"

#include "LiDAR.h"
#include "file_checks.h"
#include "file_io.h"
#include "las_header.h"
#include "message.h"

#include <algorithm>
#include <cstring>

namespace lidar {

namespace {

// Byte fields are shown as the character value + 48, so 0-9 print as digits.
int as_digit(std::uint8_t v) { return static_cast<unsigned char>(v + 48); }

// The (minor version, point format) pairs that have a LAS type code: the
// code is the position in this table + 1. Each must have exactly its
// format's record length.
struct TypeRow {
    std::uint8_t minor, format;
};
constexpr TypeRow kTypes[] = {
    {0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3},
};

std::string too_short(const char* filename) {
    return message(kTooShortMessage, filename);
}

}  // namespace

int classify_header(const unsigned char* b, std::int64_t got, const char* filename, std::string& why,
                    LasId* id) {
    LasId seen;
    if (id == nullptr) id = &seen;
    // Each test may use only bytes that were really read: a short or
    // unreadable file is reported at the first field it cannot supply.
    auto fail = [&](std::int64_t end, std::string text) {
        why = got < end ? too_short(filename) : std::move(text);
        return -1;
    };

    if (got < 4 || std::memcmp(b, "LASF", 4) != 0)
        return fail(4, message("\n%s is not a valid .las file\n\n", filename));
    if (got < 25) return fail(25, "");
    std::uint8_t VersionMajor = b[24];
    id->version_major = VersionMajor;
    if (VersionMajor != 1)
        return fail(25, message("\nCannot handle las files of version %c.x\n", as_digit(VersionMajor)));
    if (got < 26) return fail(26, "");
    std::uint8_t VersionMinor = b[25];
    id->version_minor = VersionMinor;
    if (VersionMinor > 2)
        return fail(26, message("\nCannot handle las files of version %c.%c\n", as_digit(VersionMajor),
                                as_digit(VersionMinor)));
    if (got < 105) return fail(105, "");
    std::uint8_t PointDataFormatID = b[104];
    id->point_format = PointDataFormatID;
    if (PointDataFormatID > 3)
        return fail(105, message("\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n", filename,
                                 as_digit(PointDataFormatID)));
    if (got < 107) return fail(107, "");
    unsigned PointDataRecordLength = b[105] | (b[106] << 8);

    for (std::size_t k = 0; k < sizeof kTypes / sizeof kTypes[0]; ++k) {
        const TypeRow& t = kTypes[k];
        if (t.minor != VersionMinor || t.format != PointDataFormatID) continue;
        if (PointDataRecordLength != min_record_length(t.format)) {
            why = message("\nData format of %s (%c) is incompatible with Length of Data Record (%u)\n",
                          filename, as_digit(PointDataFormatID), PointDataRecordLength);
            return -1;
        }
        return static_cast<int>(k + 1);
    }
    return 0;
}

int check_las_at(const Where& where, const char* shown, std::string& why, LasId* id, File* keep,
                 int* open_error) {
    File local;
    File& f = keep ? *keep : local;
    // One open, of a regular file only: a directory, pipe, socket or device
    // is recognised before anything opens it (opening a device may act, and
    // reading a live pipe would take what its writer meant for someone else).
    const bool opened = f.open_read(where);
    const bool special = !opened && f.error() == kNotRegular;
    if (!opened && !special) {
        if (open_error) *open_error = f.error();
        why = access_failure_text(shown) + error_text(1, shown);
        return -1;
    }
    if (check_file_extension_core(shown, "las", why) < 0) return -1;
    if (special) {
        why = too_short(shown);
        return -1;
    }
    unsigned char b[107];
    return classify_header(b, f.read_full(b, sizeof b), shown, why, id);
}

int check_las_core(const char* filename, std::string& why, LasId* id) {
    return check_las_at(Where{kWorkingDir, filename, true}, filename, why, id, nullptr, nullptr);
}

int type_format(int LASType) { return LASType >= 1 && LASType <= 8 ? kTypes[LASType - 1].format : -1; }

bool has_las_name(const char* name) {
    const std::size_t n = std::strlen(name);
    if (n < 4 || name[n - 4] != '.') return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    const char* e = name + n - 3;
    return lower(e[0]) == 'l' && lower(e[1]) == 'a' && (lower(e[2]) == 's' || lower(e[2]) == 'z');
}

std::size_t record_length_for(int LASType) {
    const int format = type_format(LASType);
    return format < 0 ? 0 : min_record_length(static_cast<unsigned>(format));
}

std::vector<HeaderReason> header_reasons(const unsigned char* b, std::size_t n, std::uint64_t file_size) {
    std::vector<HeaderReason> r;
    auto add = [&](HeaderFault f, bool refuses, std::string expected, std::string found) {
        r.push_back({f, refuses, std::move(expected), std::move(found)});
    };
    auto str = [](std::uint64_t v) { return std::to_string(v); };
    if (n < 4 || std::memcmp(b, "LASF", 4) != 0) {
        add(HeaderFault::signature, true, "LASF",
            n < 4 ? "a file of " + str(n) + " bytes" : std::string(reinterpret_cast<const char*>(b), 4));
        return r;
    }
    if (n < 26 || b[24] != 1 || b[25] > 4) {
        add(HeaderFault::version, true, "1.0 to 1.4", n < 26 ? "none" : str(b[24]) + "." + str(b[25]));
        return r;
    }
    const unsigned minor = b[25];
    const std::size_t size = header_size_of(minor);
    if (n < size) {
        add(HeaderFault::truncated, true, "at least " + str(size) + " bytes", "a file of " + str(n) + " bytes");
        return r;
    }
    const LasHeader h = parse_header(b, size);
    if (h.header_size < size)
        add(HeaderFault::header_size, true, "at least " + str(size) + " bytes", str(h.header_size) + " bytes");
    else if (h.header_size > size)
        add(HeaderFault::header_extended, false, str(size) + " bytes", str(h.header_size) + " bytes");
    if (h.point_format > max_point_format(minor))
        add(HeaderFault::point_format, true, "0 to " + str(max_point_format(minor)), str(h.point_format));
    if (h.point_format <= 10 && h.record_length < min_record_length(h.point_format))
        add(HeaderFault::record_length, true, "at least " + str(min_record_length(h.point_format)),
            str(h.record_length));
    if (h.offset_to_data < h.header_size || h.offset_to_data > file_size)
        add(HeaderFault::offset_to_data, h.offset_to_data < h.header_size,
            "from " + str(h.header_size) + " to the file's " + str(file_size) + " bytes", str(h.offset_to_data));
    return r;
}

bool classify_general(const unsigned char* b, std::int64_t got, const char* shown, std::string& why,
                      LasHeader& h, LasId* id) {
    const std::size_t n = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (id && n >= 26) {
        id->version_major = static_cast<int>(b[24]);
        id->version_minor = static_cast<int>(b[25]);
    }
    const unsigned minor = n >= 26 ? b[25] : 0;
    const std::size_t size = header_size_of(minor);
    if (n >= 26 && b[24] == 1 && minor <= 4 && n >= size) {
        h = parse_header(b, size);
        if (id) id->point_format = static_cast<int>(h.point_format);
    }
    // Refused for the first reason that refuses, in the general rule's words.
    const std::vector<HeaderReason> reasons = header_reasons(b, n, UINT64_MAX);
    const auto first = std::find_if(reasons.begin(), reasons.end(), [](const HeaderReason& r) { return r.refuses; });
    if (first == reasons.end()) return true;
    switch (first->fault) {
        case HeaderFault::signature:
            why = n < 4 ? too_short(shown) : message("\n%s is not a valid .las file\n\n", shown);
            break;
        case HeaderFault::version:
            why = n < 26 ? too_short(shown)
                         : message("\nCannot handle las files of version %c.%c\n", as_digit(b[24]), as_digit(b[25]));
            break;
        // %u, not %zu: the C runtime Windows builds print with knows no z.
        case HeaderFault::truncated:
            why = message("\nCannot read the %u-byte header of %s\n", static_cast<unsigned>(size), shown);
            break;
        case HeaderFault::header_size:
            why = message("\nThe header of %s says it is %u bytes long, less than the %u bytes of LAS 1.%u\n", shown,
                          static_cast<unsigned>(h.header_size), static_cast<unsigned>(size), minor);
            break;
        case HeaderFault::point_format:
            why = message("\nPoint format %u in %s is not defined for LAS 1.%u\n", h.point_format, shown, minor);
            break;
        case HeaderFault::record_length:
            why = message("\nRecords of %s are %u bytes long, shorter than the %u bytes of point format %u\n", shown,
                          static_cast<unsigned>(h.record_length),
                          static_cast<unsigned>(min_record_length(h.point_format)), h.point_format);
            break;
        default:  // the points inside the header
            why = message("\nCannot update the header of %s: its point records would start inside the %u-byte "
                          "header\n",
                          shown, static_cast<unsigned>(h.header_size));
    }
    return false;
}

}  // namespace lidar

int16_t check_las(const char* filename) {
    std::string why;
    int LASType = lidar::check_las_core(filename, why);
    lidar::print(why);
    return static_cast<int16_t>(LASType);
}
