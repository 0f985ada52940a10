#include "update.h"

#include "LiDAR.h"
#include "file_io.h"
#include "file_scan.h"
#include "las_header.h"
#include "las_validate.h"
#include "message.h"
#include "scan.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace lidar {

namespace {

// Whether the point area still ends where the scan found its end: records cut
// off or added since would make the statistics wrong.
bool same_point_area(std::uint64_t end, const FileScan& s) {
    const std::uint64_t offset = s.model.offset_to_data;
    if (s.point_bytes == 0) return end <= offset;
    return end == offset + s.point_bytes;
}

}  // namespace

int write_statistics(File& f, const Target& t, const FileScan& s, std::string& why) {
    auto say = [&](const char* format) {
        why = message(format, t.shown);
        return kFailed;
    };
    const char* cannot_write = "\nCannot write the header of %s\n";
    const std::size_t size = s.general ? header_size_of(s.model.minor) : sizeof(LAS12Header);
    // Found out now, not by a signal halfway through the header.
    if (!may_write_up_to(size)) return say(cannot_write);

    // Others may have edited the header while the scan ran: read it again,
    // and write into it only if the statistics still describe this file.
    unsigned char fresh[kMaxHeaderSize];
    if (!f.seek(0)) return say(cannot_write);
    std::int64_t got = f.read_full(fresh, size);
    if (got < 0) return say(cannot_write);
    if (got != static_cast<std::int64_t>(size) || !same_basis(fresh, s.raw, s.model.minor, s.general)) return say(kChangedMessage);
    // Written in place (a write or a shared mapping) since it was opened, or
    // no longer the file its name leads to (saved by renaming a new file
    // over it, deleted): statistics written now would belong to no version
    // of the file, or to a file nobody will read.
    FileState now, by_name;
    const LasHeader model = parse_header(fresh, size);
    if (!f.state(now) || !unchanged(now, s.opened) || now.nlink == 0 ||
        !same_point_area(s.general ? point_area_end(model, static_cast<std::uint64_t>(now.size))
                                   : static_cast<std::uint64_t>(now.size),
                         s) ||
        state_of(t.where, by_name) != 0 || !same_file(by_name, now))
        return say(kChangedMessage);

    // Only the statistics' runs of bytes are written: the scale factors and
    // offsets between them never are, so an edit of theirs made after the
    // header was read again is not undone.
    put_stats(fresh, with_stats(model, s.stats));
    std::size_t runs[3][2];
    const std::size_t n = stat_runs(s.general ? model.minor : 0, runs);
    for (std::size_t k = 0; k < n; ++k)
        if (!f.seek(runs[k][0]) || !f.write_all(fresh + runs[k][0], runs[k][1] - runs[k][0])) return say(cannot_write);
    if (!f.sync()) return say(cannot_write);
    if (!f.close()) return say("\nCannot close %s after writing its header\n");
    return kDone;
}

int update_file(const Target& t, std::string& why, FileScan* scanned) {
    return update_through(t, why, scanned, open_and_scan);
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
