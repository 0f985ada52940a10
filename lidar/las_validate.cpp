#include "LiDAR.h"
#include "file_io.h"

#include <cstdio>
#include <cstring>

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

}  // namespace

int16_t check_las(const char* filename) {
    if (file_access(filename) < 0) {
        error_msg(1, filename);
        return -1;
    }
    if (check_file_extension(filename, "las") < 0) return -1;

    lidar::File f;
    unsigned char b[107];
    std::int64_t got = f.open_read(filename) ? f.read_full(b, sizeof b) : -1;
    // Each test may use only bytes that were really read: a short or
    // unreadable file is reported at the first field it cannot supply.
    auto too_short = [&](std::int64_t end) {
        if (got >= end) return false;
        std::printf("\n%s is too short or unreadable to be a valid .las file\n\n", filename);
        return true;
    };

    if (too_short(4)) return -1;
    if (std::memcmp(b, "LASF", 4) != 0) {
        std::printf("\n%s is not a valid .las file\n\n", filename);
        return -1;
    }
    if (too_short(25)) return -1;
    std::uint8_t VersionMajor = b[24];
    if (VersionMajor != 1) {
        std::printf("\nCannot handle las files of version %c.x\n", as_digit(VersionMajor));
        return -1;
    }
    if (too_short(26)) return -1;
    std::uint8_t VersionMinor = b[25];
    if (VersionMinor > 2) {
        std::printf("\nCannot handle las files of version %c.%c\n", as_digit(VersionMajor),
                    as_digit(VersionMinor));
        return -1;
    }
    if (too_short(105)) return -1;
    std::uint8_t PointDataFormatID = b[104];
    if (PointDataFormatID > 3) {
        std::printf("\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n", filename,
                    as_digit(PointDataFormatID));
        return -1;
    }
    if (too_short(107)) return -1;
    unsigned PointDataRecordLength = b[105] | (b[106] << 8);

    for (std::size_t k = 0; k < sizeof kTypes / sizeof kTypes[0]; ++k) {
        const TypeRow& t = kTypes[k];
        if (t.minor != VersionMinor || t.format != PointDataFormatID) continue;
        if (PointDataRecordLength != t.length) {
            std::printf("\nData format of %s (%c) is incompatible with Length of Data Record (%u)\n",
                        filename, as_digit(PointDataFormatID), PointDataRecordLength);
            return -1;
        }
        return static_cast<int16_t>(k + 1);
    }
    return 0;
}
