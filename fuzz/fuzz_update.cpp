// libFuzzer target over validation and header update together: every input
// becomes a .las file, goes through check_las and the update, then through
// the audit's general rule (LAS 1.0-1.4), and the run aborts the moment a
// file is damaged, wrongly refused, wrongly updated, refused without a
// message, or changed again by a second update; and the audit's VLR walk
// and header rules, which must never read outside the file.
#include "LiDAR.h"
#include "capture.h"
#include "tile_scan.h"
#include "las_file.h"
#include "reference.h"
#include "rules.h"
#include "update.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string g_dir, g_path;
lastest::StdoutCapture* g_out;

void cleanup() { std::filesystem::remove_all(g_dir); }

[[noreturn]] void violation(const std::string& what) {
    std::fprintf(stderr, "\ninvariant broken: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // tmpfs when there is one: the update syncs, and a disk would make every
    // run wait for it.
    namespace fs = std::filesystem;
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_dir = (base / ("vexholt-fuzz-" + std::to_string(getpid()))).string();
    fs::create_directories(g_dir);
    g_path = g_dir + "/input.las";
    std::atexit(cleanup);
    g_out = new lastest::StdoutCapture;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lastest::Bytes before(data, data + size);
    lastest::write_file(g_path, before);

    const int16_t type = check_las(g_path.c_str());
    const bool check_printed = !g_out->take().empty();
    if ((type < 0) != check_printed) violation("check_las printed iff it rejected: broken");
    if (type > 8) violation("check_las returned an unknown type code");

    const int rc = lidar::update_header_core(g_path.c_str());
    const bool printed = !g_out->take().empty();
    if (rc != 0 && rc != -1) violation("the update returned neither 0 nor -1");
    if (rc == 0 && type <= 0) violation("updated a file check_las did not accept");

    const lastest::Bytes after = lastest::read_file(g_path);
    std::string why = lastest::judge_update(before, after, rc == 0, printed);
    if (!why.empty()) violation(why);
    if (rc == 0) {
        if (lidar::update_header_core(g_path.c_str()) != 0) violation("a second update failed");
        g_out->take();
        if (lastest::read_file(g_path) != after) violation("a second update changed the file");
    }

    // The general rule on the same bytes.
    lastest::write_file(g_path, before);
    audit::TileTarget t = audit::named_tile(g_path.c_str());
    std::string said;
    const int general = audit::update_tile(t, said);
    const lastest::Bytes updated = lastest::read_file(g_path);
    const std::string wrong = lastest::judge_general_update(before, updated, general == lidar::kDone, !said.empty());
    if (!wrong.empty()) violation("general rule: " + wrong);
    if (general == lidar::kDone) {
        if (audit::update_tile(t, said) != lidar::kDone) violation("a second general update failed");
        if (lastest::read_file(g_path) != updated) violation("a second general update changed the file");
    }

    // The VLR walk and the header rules on the bytes as they are, the head
    // given as short as a real read may give it: no read outside the file.
    const lidar::LasHeader h = lidar::parse_header(data, size < lidar::kMaxHeaderSize ? size : lidar::kMaxHeaderSize);
    struct Source {
        const std::uint8_t* data;
        std::size_t size;
    } source{data, size};
    auto read_at = [&source](std::uint64_t offset, void* out, std::size_t n) -> std::int64_t {
        const Source& s = source;
        if (offset > s.size || n > s.size - offset) violation("the VLR walk read outside the file");
        std::memcpy(out, s.data + offset, n);
        return static_cast<std::int64_t>(n);
    };
    const std::size_t head = size < 375 ? size : 375;
    const lidar::VlrSet vlrs = lidar::read_vlrs(h, data, head, size, read_at);
    for (const lidar::Vlr& v : vlrs.vlrs)
        if (v.payload_offset > size || v.length > size - v.payload_offset) violation("a VLR kept reaches past the file");
    std::vector<lidar::Finding> findings;
    lidar::header_rules(h, data, size, size, vlrs, lidar::Profile::usgs_lbs, findings);
    for (const lidar::Finding& f : findings)
        if (!f.rule) violation("a finding without its rule");
    return 0;
}
