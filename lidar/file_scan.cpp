#include "file_scan.h"

#include "message.h"
#include "update.h"

#include <cstdlib>
#include <memory>

namespace lidar {

namespace {

// About 1 MiB per read, always a whole number of records. Each read call
// costs more than its copy on virtual machines, where 256 KiB blocks ran 1.5
// times slower than 1 MiB (AMD EPYC, 1 MiB L2); 1 MiB measured as fast as
// 256 KiB on an Intel Xeon with 2 MiB L2, where 2 MiB was 20% slower because
// the block no longer stayed in L2 between the read's copy and the scan.
constexpr std::size_t kBlockBytes = 1 << 20;

struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
};

}  // namespace

int open_and_scan(const Target& t, bool for_update, File& f, FileScan& out, std::string& why) {
    auto say = [&](int result, const char* format) {
        why = message(format, t.shown);
        return result;
    };
    // Read-only, the file the check opened is the one scanned.
    const int LASType = out.LASType =
        check_las_at(t.where, t.shown, why, &out.id, for_update ? nullptr : &f, &out.open_error);
    if (LASType < 0) return kRefused;
    const std::size_t reclen = record_length_for(LASType);
    if (reclen == 0)
        return say(kRefused, "\nCannot update the header of %s: point formats 2 and 3 need LAS version 1.2\n");

    if (for_update && !f.open_update(t.where)) {
        // What is there now is no longer a regular file: not the one checked.
        if (f.error() == kNotRegular) return say(kFailed, kChangedMessage);
        out.open_error = f.error();
        return say(kFailed, "\nCannot open binary file %s for header update\n\n");
    }
    // The name may have been switched since the check or the walk: judge
    // what is open.
    if (!f.state(out.opened) || (t.expect && !same_file(out.opened, *t.expect)))
        return say(kFailed, kChangedMessage);
    if (!for_update && !f.seek(0)) return say(kFailed, "\nCannot read the 227-byte header of %s\n");
    std::int64_t got = f.read_full(&out.header, sizeof out.header);
    if (got != static_cast<std::int64_t>(sizeof out.header))
        return say(got < 0 ? kFailed : kRefused, "\nCannot read the 227-byte header of %s\n");
    out.header_read = true;
    std::string ignored;
    if (classify_header(reinterpret_cast<const unsigned char*>(&out.header), got, t.shown, ignored) != LASType)
        return say(kFailed, kChangedMessage);
    // Such a file would have its header scanned as points, and every update
    // would change it again.
    const std::uint64_t offset = out.header.OffsetToData;
    if (offset < sizeof out.header)
        return say(kRefused,
                   "\nCannot update the header of %s: its point records would start inside the 227-byte header\n");
    const char* too_many = "\nCannot update the header of %s: more point records than a LAS header can count\n";
    // Known from the size alone: a sparse file of terabytes is not read for
    // minutes to find it out.
    const std::uint64_t size = static_cast<std::uint64_t>(out.opened.size);
    if (size > offset && (size - offset) / reclen > UINT32_MAX) return say(kRefused, too_many);

    const std::size_t block = kBlockBytes / reclen * reclen;
    // malloc, not new: a tight memory limit must give the message, not abort.
    std::unique_ptr<unsigned char, FreeDeleter> buf(static_cast<unsigned char*>(std::malloc(block)));
    if (!buf) return say(kFailed, "\nCannot allocate memory for storing a record of information from %s\n");

    if (!f.seek(offset)) return say(kFailed, "\nCannot seek to the point records of %s\n");
    f.advise_sequential();
    for (;;) {
        got = f.read_full(buf.get(), block);
        if (got < 0) return say(kFailed, "\nCannot read the point records of %s\n");
        out.point_bytes += static_cast<std::uint64_t>(got);
        if (t.bytes_read) t.bytes_read->fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        scan_records(out.stats, buf.get(), static_cast<std::size_t>(got) / reclen, reclen);
        // A short block is the end of the file; a trailing fragment of a
        // record is not a point.
        if (static_cast<std::size_t>(got) < block) break;
    }
    if (out.stats.count > UINT32_MAX) return say(kRefused, too_many);
    return kDone;
}

int scan_file(const Target& t, FileScan& out, std::string& why) {
    File f;
    return open_and_scan(t, false, f, out, why);
}

}  // namespace lidar
