#include "update.h"

#include "LiDAR.h"
#include "file_io.h"
#include "file_scan.h"
#include "message.h"
#include "scan.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace lidar {

std::size_t record_length_for(int LASType) {
    switch (LASType) {
        case 1: case 3: case 5: return sizeof(LAS12fm0);
        case 2: case 4: case 6: return sizeof(LAS12fm1);
        case 7: return sizeof(LAS12fm2);
        case 8: return sizeof(LAS12fm3);
        default: return 0;
    }
}

namespace {

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

// Max and Min of one axis from its extreme scaled integers: a negative scale
// turns the smallest integer into the largest world value. Returned, not
// stored through references: the header's doubles are packed, unaligned.
struct Axis {
    double max, min;
};
Axis axis(std::int32_t hi, std::int32_t lo, double scale, double offset) {
    if (scale < 0) std::swap(hi, lo);
    return {to_world(hi, scale, offset), to_world(lo, scale, offset)};
}

// The fields the statistics are computed from: if any of them moved while
// the file was scanned, the statistics describe another file.
bool same_basis(const LAS12Header& a, const LAS12Header& b) {
    auto same = [&](std::size_t from, std::size_t to) {
        return std::memcmp(reinterpret_cast<const char*>(&a) + from, reinterpret_cast<const char*>(&b) + from,
                           to - from) == 0;
    };
    return same(0, 4)                                                             // signature
           && same(offsetof(LAS12Header, VersionMajor), offsetof(LAS12Header, SystemIdentifier))
           && same(offsetof(LAS12Header, OffsetToData), offsetof(LAS12Header, NumberOfVariableLengthRecords))
           && same(offsetof(LAS12Header, PointDataFormatID), offsetof(LAS12Header, NumberOfPointReturns))
           && same(offsetof(LAS12Header, XScaleFactor), offsetof(LAS12Header, MaxX));
}

// Whether the point area still ends where the scan found its end: records cut
// off or added since would make the statistics wrong.
bool same_point_area(std::int64_t size, const FileScan& s) {
    const std::uint64_t offset = s.header.OffsetToData;
    if (size < 0) return false;
    if (s.point_bytes == 0) return static_cast<std::uint64_t>(size) <= offset;
    return static_cast<std::uint64_t>(size) == offset + s.point_bytes;
}

// The statistics' two runs of bytes: counts, and extents. The scale factors
// and offsets between them are never written, so an edit of theirs made
// after the header was read again is not undone.
constexpr std::size_t kCountsFrom = offsetof(LAS12Header, NumberOfPointReturns);
constexpr std::size_t kCountsTo = offsetof(LAS12Header, NumberOfPointsByReturn) + 5 * sizeof(std::uint32_t);
constexpr std::size_t kExtentsFrom = offsetof(LAS12Header, MaxX);
constexpr std::size_t kExtentsTo = sizeof(LAS12Header);

}  // namespace

void store_stats(LAS12Header& h, const PointStats& s) {
    h.NumberOfPointReturns = static_cast<std::uint32_t>(s.count);
    for (int r = 1; r <= 5; ++r)
        h.NumberOfPointsByReturn[r - 1] = static_cast<std::uint32_t>(s.by_return_bits[r]);
    if (s.count == 0) {
        h.MaxX = to_world(-kEmptyXY, h.XScaleFactor, h.XOffset);
        h.MinX = to_world(kEmptyXY, h.XScaleFactor, h.XOffset);
        h.MaxY = to_world(-kEmptyXY, h.YScaleFactor, h.YOffset);
        h.MinY = to_world(kEmptyXY, h.YScaleFactor, h.YOffset);
        h.MaxZ = to_world(-kEmptyZ, h.ZScaleFactor, h.ZOffset);
        h.MinZ = to_world(kEmptyZ, h.ZScaleFactor, h.ZOffset);
        return;
    }
    const Axis x = axis(s.maxX, s.minX, h.XScaleFactor, h.XOffset);
    const Axis y = axis(s.maxY, s.minY, h.YScaleFactor, h.YOffset);
    const Axis z = axis(s.maxZ, s.minZ, h.ZScaleFactor, h.ZOffset);
    h.MaxX = x.max;
    h.MinX = x.min;
    h.MaxY = y.max;
    h.MinY = y.min;
    h.MaxZ = z.max;
    h.MinZ = z.min;
}

int update_file(const Target& t, std::string& why, FileScan* scanned) {
    File f;
    FileScan local;
    FileScan& s = scanned ? *scanned : local;
    int result = open_and_scan(t, true, f, s, why);
    if (result != kDone) return result;

    auto say = [&](const char* format) {
        why = message(format, t.shown);
        return kFailed;
    };
    const char* cannot_write = "\nCannot write the header of %s\n";
    // Found out now, not by a signal halfway through the header.
    if (!may_write_up_to(sizeof(LAS12Header))) return say(cannot_write);

    // Others may have edited the header while the scan ran: read it again,
    // and write into it only if the statistics still describe this file.
    LAS12Header fresh;
    if (!f.seek(0)) return say(cannot_write);
    std::int64_t got = f.read_full(&fresh, sizeof fresh);
    if (got < 0) return say(cannot_write);
    if (got != static_cast<std::int64_t>(sizeof fresh) || !same_basis(fresh, s.header))
        return say(kChangedMessage);
    // Written in place (a write or a shared mapping) since it was opened, or
    // no longer the file its name leads to (saved by renaming a new file
    // over it, deleted): statistics written now would belong to no version
    // of the file, or to a file nobody will read.
    FileState now, by_name;
    if (!f.state(now) || !unchanged(now, s.opened) || now.nlink == 0 || !same_point_area(now.size, s) ||
        state_of(t.where, by_name) != 0 || !same_file(by_name, now))
        return say(kChangedMessage);

    store_stats(fresh, s.stats);
    const char* h = reinterpret_cast<const char*>(&fresh);
    if (!f.seek(kCountsFrom) || !f.write_all(h + kCountsFrom, kCountsTo - kCountsFrom) ||
        !f.seek(kExtentsFrom) || !f.write_all(h + kExtentsFrom, kExtentsTo - kExtentsFrom) || !f.sync())
        return say(cannot_write);
    if (!f.close()) return say("\nCannot close %s after writing its header\n");
    return kDone;
}

int update_file(const char* filename, std::string& why, FileScan* scanned) {
    return update_file(named(filename), why, scanned);
}

int update_header_core(const char* filename) {
    std::string why;
    int result = update_file(filename, why);
    print(why);
    return result == kDone ? 0 : -1;
}

}  // namespace lidar

void update_header(const char* filename) {
    if (lidar::update_header_core(filename) != 0) std::exit(-1);
    std::printf("\rHeader of file %s has been updated    ", filename);
}
