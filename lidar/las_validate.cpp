#include "las_validate.h"

#include "LiDAR.h"
#include "file_checks.h"
#include "file_io.h"
#include "message.h"

#include <cstring>

namespace lidar {

namespace {

// Byte fields are shown as the character value + 48, so 0-9 print as digits.
int as_digit(std::uint8_t v) { return static_cast<unsigned char>(v + 48); }

// Point record length required for each (minor version, point format) pair
// that has a LAS type code; the code is the position in this table + 1.
struct TypeRow {
    std::uint8_t minor, format;
    std::uint16_t length;
};
constexpr TypeRow kTypes[] = {
    {0, 0, 20}, {0, 1, 28}, {1, 0, 20}, {1, 1, 28},
    {2, 0, 20}, {2, 1, 28}, {2, 2, 26}, {2, 3, 34},
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
        if (PointDataRecordLength != t.length) {
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

}  // namespace lidar

int16_t check_las(const char* filename) {
    std::string why;
    int LASType = lidar::check_las_core(filename, why);
    lidar::print(why);
    return static_cast<int16_t>(LASType);
}
