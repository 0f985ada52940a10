#include "LiDAR.h"

#include <cstring>

namespace {

// Text goes in with its terminator and nothing behind it, so whatever the
// record held after the terminator stays there.
template <std::size_t N>
void store_text(char (&field)[N], const char* text) {
    std::memcpy(field, text, std::strlen(text) + 1);
}

// Fields that have the same name and value in all three versions; offsets
// 4-7 and 90-93 carry version-specific names and are set by the callers.
template <class Header>
void fill_common(Header* ph, uint8_t minor) {
    std::memcpy(ph->LASF, "LASF", 4);
    ph->GUIDData1 = 0;
    ph->GUIDData2 = 0;
    ph->GUIDData3 = 0;
    ph->GUIDData4[0] = 0;
    ph->VersionMajor = 1;
    ph->VersionMinor = minor;
    store_text(ph->SystemIdentifier, "");
    store_text(ph->GeneratingSoftware, "Corvale LiDAR Utilities");
    ph->HeaderSize = sizeof(Header);
    ph->OffsetToData = sizeof(Header);
    ph->NumberOfVariableLengthRecords = 0;
    ph->PointDataFormatID = 0;
    ph->PointDataRecordLength = 0;
    ph->NumberOfPointReturns = 0;
    for (int r = 0; r < 5; ++r) ph->NumberOfPointsByReturn[r] = 0;
    ph->XScaleFactor = 1.0;
    ph->YScaleFactor = 1.0;
    ph->ZScaleFactor = 1.0;
    ph->XOffset = 0.0;
    ph->YOffset = 0.0;
    ph->ZOffset = 0.0;
    ph->MaxX = 0.0;
    ph->MinX = 0.0;
    ph->MaxY = 0.0;
    ph->MinY = 0.0;
    ph->MaxZ = 0.0;
    ph->MinZ = 0.0;
}

}  // namespace

void initialize_header10(LAS10Header* ph) {
    fill_common(ph, 0);
    ph->Reserved = 0;
    ph->FlightDateJulian = 0;
    ph->Year = 0;
}

void initialize_header11(LAS11Header* ph) {
    fill_common(ph, 1);
    ph->FileSourceID = 0;
    ph->Reserved = 0;
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}

void initialize_header12(LAS12Header* ph) {
    fill_common(ph, 2);
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}
