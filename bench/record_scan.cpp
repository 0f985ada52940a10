// The header update read the plain way, for comparison only: one stream
// read of one point record at a time through the C library's buffering,
// branches on every comparison. Same results as Vexholt on files whose
// coordinates stay inside the start values (make_las writes such files).
//
//   record_scan FILE
#include "LiDAR.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: record_scan FILE\n");
        return 2;
    }
    std::FILE* fp = std::fopen(argv[1], "r+b");
    if (!fp) {
        std::perror(argv[1]);
        return 1;
    }
    LAS12Header ph;
    if (std::fread(&ph, sizeof ph, 1, fp) != 1) return 1;
    std::size_t reclen;
    switch (ph.PointDataFormatID) {
        case 0: reclen = sizeof(LAS12fm0); break;
        case 1: reclen = sizeof(LAS12fm1); break;
        case 2: reclen = sizeof(LAS12fm2); break;
        case 3: reclen = sizeof(LAS12fm3); break;
        default: return 1;
    }
    LAS12fm3 rec;  // the largest record; shorter ones fill its front
    std::int32_t maxX = -2147483646, minX = 2147483646;
    std::int32_t maxY = -2147483646, minY = 2147483646;
    std::int32_t maxZ = -10000000, minZ = 10000000;
    std::uint32_t return_count = 0;
    std::uint32_t ReturnNumberCount[5] = {0, 0, 0, 0, 0};
    std::fseek(fp, static_cast<long>(ph.OffsetToData), SEEK_SET);
    while (std::fread(&rec, reclen, 1, fp) == 1) {
        if (rec.X > maxX) maxX = rec.X;
        if (rec.X < minX) minX = rec.X;
        if (rec.Y > maxY) maxY = rec.Y;
        if (rec.Y < minY) minY = rec.Y;
        if (rec.Z > maxZ) maxZ = rec.Z;
        if (rec.Z < minZ) minZ = rec.Z;
        unsigned ReturnNumber = static_cast<unsigned>(rec.bitfield) & 7;
        if (ReturnNumber >= 1 && ReturnNumber <= 5) ++ReturnNumberCount[ReturnNumber - 1];
        ++return_count;
    }
    ph.NumberOfPointReturns = return_count;
    std::memcpy(ph.NumberOfPointsByReturn, ReturnNumberCount, sizeof ReturnNumberCount);
    volatile double t;  // product rounded before the offset is added
    t = maxX * ph.XScaleFactor; ph.MaxX = t + ph.XOffset;
    t = minX * ph.XScaleFactor; ph.MinX = t + ph.XOffset;
    t = maxY * ph.YScaleFactor; ph.MaxY = t + ph.YOffset;
    t = minY * ph.YScaleFactor; ph.MinY = t + ph.YOffset;
    t = maxZ * ph.ZScaleFactor; ph.MaxZ = t + ph.ZOffset;
    t = minZ * ph.ZScaleFactor; ph.MinZ = t + ph.ZOffset;
    std::rewind(fp);
    bool ok = std::fwrite(&ph, sizeof ph, 1, fp) == 1;
    if (std::fclose(fp) != 0 || !ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
