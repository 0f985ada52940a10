#include "vlrs.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace lidar {

namespace {

constexpr std::size_t kVlrHeader = 54, kEvlrHeader = 60;
// Payloads worth keeping are small (keys, WKT, an extra-bytes table); a
// length that says more is not read, however much the file holds.
constexpr std::uint64_t kMaxKept = 1 << 20;
// A hostile count must not make the walk take minutes on a file that
// cannot hold that many records: the walk stops at the end of its area
// anyway, this bounds the list it keeps.
constexpr std::size_t kMaxListed = 1 << 16;
// Millions of empty records fit in a sparse file of a few KiB on disk:
// the walks examine no more than this many, and say so.
constexpr std::uint32_t kMaxExamined = 1 << 16;

std::string not_examined(std::uint32_t count) {
    return "the header states " + std::to_string(count) + "; those past the first " + std::to_string(kMaxExamined) +
           " were not examined";
}

struct Reader {
    const unsigned char* head;
    std::size_t head_size;
    std::uint64_t file_size;
    const ReadAt& read_at;
    bool failed = false;
    // What was last read past the head: a walk over many small records
    // costs one read per window, not one per record. Taken at the first
    // read past the head, which most files never make.
    static constexpr std::size_t kWindow = 1 << 16;
    std::vector<unsigned char> window = {};
    std::uint64_t window_at = 0;
    std::size_t window_size = 0;

    // Exactly n bytes at offset into out; false if the file ends first or
    // the read fails.
    bool get(std::uint64_t offset, unsigned char* out, std::size_t n) {
        if (offset > file_size || n > file_size - offset) return false;
        if (offset + n <= head_size) {
            std::memcpy(out, head + offset, n);
            return true;
        }
        if (!read_at) return false;
        if (n > kWindow) {
            const std::int64_t got = read_at(offset, out, n);
            failed |= got < 0;
            return got == static_cast<std::int64_t>(n);
        }
        if (window.empty()) window.resize(kWindow);
        if (offset < window_at || offset + n > window_at + window_size) {
            const std::uint64_t left = file_size - offset;
            const std::size_t want = left < window.size() ? static_cast<std::size_t>(left) : window.size();
            const std::int64_t got = read_at(offset, window.data(), want);
            failed |= got < 0;
            window_at = offset;
            window_size = got > 0 ? static_cast<std::size_t>(got) : 0;
            if (window_size < n) return false;
        }
        std::memcpy(out, window.data() + (offset - window_at), n);
        return true;
    }
};

void keep_payload(VlrSet& s, const Vlr& v, Reader& r) {
    std::string* into = nullptr;
    if (v.user_id == "LASF_Projection") {
        if (v.record_id == 34735) into = &s.geokeys;
        else if (v.record_id == 34736) into = &s.geo_doubles;
        else if (v.record_id == 34737) into = &s.geo_ascii;
        else if (v.record_id == 2112) into = &s.wkt;
    } else if (v.user_id == "LASF_Spec" && v.record_id == 4) {
        into = &s.extra_bytes;
    } else if (v.user_id == "laszip encoded" && v.record_id == 22204) {
        s.laszip = true;
        into = &s.laszip_record;
    }
    if (!into || v.length > kMaxKept) return;
    std::string bytes(static_cast<std::size_t>(v.length), '\0');
    if (r.get(v.payload_offset, reinterpret_cast<unsigned char*>(bytes.data()), bytes.size())) *into = std::move(bytes);
}

void problem(VlrSet& s, VlrFault fault, std::string expected, std::string actual) {
    s.problems.push_back({fault, std::move(expected), std::move(actual)});
}

Vlr parse(const unsigned char* b, std::uint64_t at, bool extended) {
    Vlr v;
    v.user_id.assign(reinterpret_cast<const char*>(b + 2), strnlen(reinterpret_cast<const char*>(b + 2), 16));
    v.record_id = static_cast<std::uint16_t>(read_le(b + 18, 2));
    v.length = extended ? read_le(b + 20, 8) : read_le(b + 20, 2);
    v.payload_offset = at + (extended ? kEvlrHeader : kVlrHeader);
    v.extended = extended;
    return v;
}

}  // namespace

VlrSet read_vlrs(const LasHeader& h, const unsigned char* head, std::size_t head_size, std::uint64_t file_size,
                 const ReadAt& read_at) {
    VlrSet s;
    Reader r{head, head_size, file_size, read_at};
    const std::uint32_t count = h.vlr_count;
    // The VLRs lie between the header and the points; where the points
    // start too early, what there is up to the end of the file bounds them.
    const std::uint64_t end = h.offset_to_data >= h.header_size ? std::min<std::uint64_t>(h.offset_to_data, file_size)
                                                                : file_size;
    std::uint64_t at = h.header_size;
    for (std::uint32_t k = 0; k < count; ++k) {
        if (k == kMaxExamined) {
            problem(s, VlrFault::count, "at most " + std::to_string(kMaxExamined) + " VLRs", not_examined(count));
            s.capped = true;
            break;
        }
        unsigned char b[kVlrHeader];
        if (at + kVlrHeader > end || !r.get(at, b, kVlrHeader)) {
            problem(s, VlrFault::count, std::to_string(count) + " VLRs before byte " + std::to_string(end),
                                         std::to_string(k) + " fit");
            break;
        }
        Vlr v = parse(b, at, false);
        if (v.payload_offset + v.length > end) {
            problem(s, VlrFault::length, "VLR " + std::to_string(k + 1) + " to end by byte " +
                                                               std::to_string(end),
                                         "it ends at byte " + std::to_string(v.payload_offset + v.length));
            s.laszip_cut = v.user_id == "laszip encoded" && v.record_id == 22204;
            break;
        }
        keep_payload(s, v, r);
        at = v.payload_offset + v.length;
        if (s.vlrs.size() < kMaxListed) s.vlrs.push_back(std::move(v));
    }

    if (h.minor < 4 || h.evlr_count == 0) {
        s.unreadable = r.failed;
        return s;
    }
    at = h.evlr_start;
    if (at < h.offset_to_data) {
        problem(s, VlrFault::evlr_bounds, "extended VLRs after the point data start (byte " +
                                                            std::to_string(h.offset_to_data) + ")",
                                     "they start at byte " + std::to_string(at));
        s.unreadable = r.failed;
        return s;
    }
    for (std::uint32_t k = 0; k < h.evlr_count; ++k) {
        if (k == kMaxExamined) {
            problem(s, VlrFault::evlr_bounds, "at most " + std::to_string(kMaxExamined) + " extended VLRs",
                                         not_examined(h.evlr_count));
            break;
        }
        unsigned char b[kEvlrHeader];
        Vlr v;
        const bool header_fits = at <= file_size && kEvlrHeader <= file_size - at && r.get(at, b, kEvlrHeader);
        if (header_fits) v = parse(b, at, true);
        if (!header_fits || v.length > file_size - v.payload_offset) {
            problem(s, VlrFault::evlr_bounds,
                                         std::to_string(h.evlr_count) + " extended VLRs inside the file's " +
                                             std::to_string(file_size) + " bytes",
                                         "extended VLR " + std::to_string(k + 1) + " at byte " + std::to_string(at) +
                                             (header_fits ? " runs past the end" : " does not fit"));
            break;
        }
        keep_payload(s, v, r);
        at = v.payload_offset + v.length;
        if (s.vlrs.size() < kMaxListed) s.vlrs.push_back(std::move(v));
    }
    s.unreadable = r.failed;
    return s;
}

}  // namespace lidar
