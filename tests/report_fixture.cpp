// Deliveries for the report test.
//   report_fixture tree DIR        tiles of 1 km on a grid in UTM 33N, under
//                                  DIR/grid, and DIR/grid.tsv: each tile's
//                                  intended status and extent, and the hole
//   report_fixture bulk N OUT.html [OUT.geojson]
//                                  the report (and tile index) of N judged
//                                  tiles, made from results directly: judging
//                                  as many files would take most of the
//                                  test's time
#include "las_file.h"
#include "outputs.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

constexpr int kCols = 8, kRows = 6;
constexpr int kHoleCol = 3, kHoleRow = 2;
constexpr double kX0 = 400000, kY0 = 6100000, kSide = 1000;

// GeoKeyDirectory: a projected model, ProjectedCSTypeGeoKey 32633.
std::string geokeys() {
    const int words[] = {1, 1, 0, 2, 1024, 0, 1, 1, 3072, 0, 1, 32633};
    std::string out;
    for (int w : words) out += {static_cast<char>(w & 0xff), static_cast<char>(w >> 8)};
    return out;
}

// A LAS 1.2 tile of format 0 whose points reach its four corners, Z 10 to 20; stale: the header
// claims a point too many.
lastest::Bytes tile(int col, int row, bool stale) {
    lastest::LasSpec s;
    s.format = 0;
    const std::string keys = geokeys();
    s.gap = 54 + keys.size();
    s.offset[0] = kX0, s.offset[1] = kY0;
    const int side = static_cast<int>(kSide / s.scale[0]);
    const int x0 = col * side, y0 = row * side;
    for (auto [dx, dy] : {std::pair{0, 0}, {side, 0}, {0, side}, {side, side}, {side / 2, side / 3}})
        s.points.push_back({x0 + dx, y0 + dy, 1000 + dx / 100, 9});
    const std::uint32_t n = static_cast<std::uint32_t>(s.points.size());
    s.stated_count = stale ? n + 1 : n;
    s.stated_by_return[0] = n;
    for (int k = 1; k < 5; ++k) s.stated_by_return[k] = 0;
    const double minx = kX0 + col * kSide, miny = kY0 + row * kSide;
    const double e[6] = {minx + kSide, minx, miny + kSide, miny, 20, 10};
    std::copy(e, e + 6, s.stated_extents);
    lastest::Bytes b = lastest::build_las(s);
    lastest::put_u32(b, 100, 1);  // one VLR, in the gap
    std::fill(b.begin() + 227, b.begin() + 227 + 54, 0);
    std::copy_n("LASF_Projection", 15, b.begin() + 229);
    lastest::put_u16(b, 245, 34735);
    lastest::put_u16(b, 247, static_cast<std::uint16_t>(keys.size()));
    std::copy(keys.begin(), keys.end(), b.begin() + 227 + 54);
    b[90] = 1, b[92] = 0xe6, b[93] = 0x07;  // created on day 1 of 2022
    return b;
}

int tree(const std::string& dir) {
    const std::string grid = dir + "/grid";
    std::filesystem::create_directories(grid);
    std::ofstream manifest(dir + "/grid.tsv");
    char name[64];
    for (int row = 0; row < kRows; ++row)
        for (int col = 0; col < kCols; ++col) {
            const double minx = kX0 + col * kSide, miny = kY0 + row * kSide;
            if (col == kHoleCol && row == kHoleRow) {
                manifest << "hole\t-\t" << minx << "\t" << miny << "\t" << minx + kSide << "\t" << miny + kSide << "\n";
                continue;
            }
            const bool stale = (col * 7 + row * 3) % 5 == 0, refused = col == 6 && row == 4;
            std::snprintf(name, sizeof name, "/tile_%d_%d.las", col, row);
            lastest::write_file(grid + name, tile(col, row, stale));
            // More records than LAS 1.2 can count, known from the size: the
            // header is read, so the file has an extent, and refused. A
            // sparse file: nothing of it is read or stored.
            if (refused) std::filesystem::resize_file(grid + name, 86'000'000'000);
            manifest << grid + name << "\t" << (refused ? "refused" : stale ? "stale" : "current") << "\t" << minx
                     << "\t" << miny << "\t" << minx + kSide << "\t" << miny + kSide << "\n";
        }
    manifest.close();
    return manifest ? 0 : 2;
}

bool in_block(long col, long row, long side) { return col > side / 3 && col < side / 2 && row > side / 5 && row < side / 3; }

// Results as the audit would hand them over: a mix of statuses and rules.
int bulk(long n, const std::string& out, const std::string& index) {
    const auto start = std::chrono::steady_clock::now();
    const std::string keys = geokeys();
    const lidar::Crs crs = lidar::identify_crs(keys, "", "", "");
    const auto rules = lidar::all_rules();
    audit::Collected c;
    const long side = static_cast<long>(std::ceil(std::sqrt(static_cast<double>(n))));
    std::mt19937 rng(7);
    for (long i = 0; i < n; ++i) {
        audit::Result r;
        char name[96];
        std::snprintf(name, sizeof name, "delivery/block_%03ld/tile_%05ld_%05ld.las", i / 1000, i % side, i / side);
        r.path = name;
        // Scattered statuses, and a block of stale tiles, as a flight
        // reprocessed after the headers were written leaves them.
        const long col = i % side, row = i / side;
        const long k = static_cast<long>(rng() % 97) + (in_block(col, row, side) ? 97 : 0);
        r.status = k == 0 ? audit::Status::refused : k < 4 || k >= 97 ? audit::Status::stale
                   : k == 4 ? audit::Status::error : audit::Status::current;
        r.header_read = r.scanned = r.status != audit::Status::error;
        r.points = 1000000 + static_cast<std::uint64_t>(i % 1000);
        const double x = kX0 + static_cast<double>(col) * kSide, y = kY0 + static_cast<double>(row) * kSide;
        const double e[6] = {x + kSide, x, y + kSide, y, 100, 0};
        std::copy(e, e + 6, r.recomputed.extent);
        std::copy(e, e + 6, r.stored.extent);
        r.recomputed.legacy_count = r.stored.legacy_count = static_cast<std::uint32_t>(r.points);
        r.crs = crs;
        if (r.status == audit::Status::stale) r.findings.push_back(lidar::finding("stats.point-count", nullptr, "1", "2"));
        if (k % 13 == 0 && k < 97) r.findings.push_back(lidar::finding(rules[static_cast<std::size_t>(k) % rules.size()].id, nullptr, "", ""));
        audit::collect(c, r);
    }
    audit::finish(c);
    const std::string page = audit::html_report(c);
    std::ofstream f(out, std::ios::binary);
    f << page;
    f.close();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld tiles: %zu bytes written in %.2f s\n", n, page.size(), secs);
    if (!f) return 2;
    if (index.empty()) return 0;
    const auto again = std::chrono::steady_clock::now();
    std::vector<std::string> left_out;
    std::ofstream g(index, std::ios::binary);
    audit::tile_index(c, left_out, [&](const std::string& text) { return static_cast<bool>(g << text); });
    g.close();
    std::printf("tile index: %lld bytes written in %.2f s\n", static_cast<long long>(std::filesystem::file_size(index)),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - again).count());
    return g && left_out.empty() ? 0 : 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "tree" && argc == 3) return tree(argv[2]);
    if (what == "bulk" && (argc == 4 || argc == 5)) return bulk(std::atol(argv[2]), argv[3], argc == 5 ? argv[4] : "");
    std::fputs("usage: report_fixture tree DIR | bulk N OUT.html [OUT.geojson]\n", stderr);
    return 2;
}
