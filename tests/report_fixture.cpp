// Deliveries for the report test.
//   report_fixture tree DIR        tiles of 1 km on a grid in UTM 33N, under
//                                  DIR/grid, and DIR/grid.tsv: each tile's
//                                  intended status, verdict and extent, and
//                                  the hole; under DIR/odd, files whose
//                                  system or extent is odd, in DIR/odd.tsv
//   report_fixture statuses OUT.html OUT.geojson OUT.tsv
//                                  the report and tile index of a tile of
//                                  every status and verdict, made from
//                                  results directly (--fix and
//                                  --headers-only make some of them), and
//                                  in OUT.tsv what each must look like
//   report_fixture density OUT.html OUT.tsv
//                                  the report of tiles surveyed at several
//                                  densities, one not surveyed, a void and
//                                  tiles the tile scheme names, made from
//                                  results directly; in OUT.tsv each tile's
//                                  density and marks, and the void
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

// GeoKeyDirectory: a projected model, ProjectedCSTypeGeoKey code (32767:
// user-defined, which nothing names), in the version given.
std::string geokeys(int code = 32633, int version = 1) {
    const int words[] = {version, 1, 0, 2, 1024, 0, 1, 1, 3072, 0, 1, code};
    std::string out;
    for (int w : words) out += {static_cast<char>(w & 0xff), static_cast<char>(w >> 8)};
    return out;
}

// A projected system no EPSG code names, whose name forges a line of the
// summary if printed as it is.
const char kForgingWkt[] =
    "PROJCS[\"Vexholt test\n  files: 9, 9 current\",GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,"
    "298.257223563]],PRIMEM[\"Greenwich\",0],UNIT[\"degree\",0.0174532925199433]],PROJECTION[\"Transverse_Mercator\"],"
    "PARAMETER[\"latitude_of_origin\",0],PARAMETER[\"central_meridian\",15.5],PARAMETER[\"scale_factor\",0.9996],"
    "PARAMETER[\"false_easting\",500000],PARAMETER[\"false_northing\",0],UNIT[\"metre\",1]]";

enum class Kind { current, stale, short_, wkt, unidentified, malformed, huge };

// A LAS 1.2 tile of format 0 whose points reach its four corners, Z 10 to
// 20, its system in one VLR: stale, its stored MaxX a metre out; short, it
// claims a point more than it holds; huge, its points 1.7e308 either side
// of 0.
lastest::Bytes tile(int col, int row, Kind kind) {
    lastest::LasRecipe s;
    s.format = 0;
    const std::string keys = kind == Kind::wkt            ? std::string(kForgingWkt, sizeof kForgingWkt)
                             : kind == Kind::unidentified ? geokeys(32767)
                             : kind == Kind::malformed    ? geokeys(32633, 2)
                                                          : geokeys();
    s.gap = 54 + keys.size();
    s.offset[0] = kX0, s.offset[1] = kY0;
    const int side = static_cast<int>(kSide / s.scale[0]);
    const int x0 = col * side, y0 = row * side;
    for (auto [dx, dy] : {std::pair{0, 0}, {side, 0}, {0, side}, {side, side}, {side / 2, side / 3}})
        s.points.push_back({x0 + dx, y0 + dy, 1000 + dx / 100, 9});
    const double minx = kX0 + col * kSide, miny = kY0 + row * kSide;
    double e[6] = {minx + kSide + (kind == Kind::stale ? 1 : 0), minx, miny + kSide, miny, 20, 10};
    if (kind == Kind::huge) {
        s.scale[0] = s.scale[1] = 1e300;
        s.offset[0] = s.offset[1] = 0;
        for (lastest::Point& p : s.points) p.x = p.y = 0;
        s.points[0].x = s.points[0].y = -170'000'000, s.points[3].x = s.points[3].y = 170'000'000;
        e[0] = e[2] = 1.7e308, e[1] = e[3] = -1.7e308;
    }
    std::copy(e, e + 6, s.stated_extents);
    const std::uint32_t n = static_cast<std::uint32_t>(s.points.size());
    s.stated_count = kind == Kind::short_ ? n + 1 : n;
    s.stated_by_return[0] = n;
    for (int k = 1; k < 5; ++k) s.stated_by_return[k] = 0;
    lastest::Bytes b = lastest::build_las(s);
    lastest::put_u32(b, 100, 1);  // one VLR, in the gap
    std::fill(b.begin() + 227, b.begin() + 227 + 54, 0);
    std::copy_n("LASF_Projection", 15, b.begin() + 229);
    lastest::put_u16(b, 245, kind == Kind::wkt ? 2112 : 34735);
    lastest::put_u16(b, 247, static_cast<std::uint16_t>(keys.size()));
    std::copy(keys.begin(), keys.end(), b.begin() + 227 + 54);
    b[90] = 1, b[92] = 0xe6, b[93] = 0x07;  // created on day 1 of 2022
    return b;
}

int tree(const std::string& dir) {
    const std::string grid = dir + "/grid", odd = dir + "/odd";
    std::filesystem::create_directories(grid);
    std::filesystem::create_directories(odd);
    std::ofstream manifest(dir + "/grid.tsv");
    char name[64];
    for (int row = 0; row < kRows; ++row)
        for (int col = 0; col < kCols; ++col) {
            const double minx = kX0 + col * kSide, miny = kY0 + row * kSide;
            if (col == kHoleCol && row == kHoleRow) {
                manifest << "hole\t-\t-\t" << minx << "\t" << miny << "\t" << minx + kSide << "\t" << miny + kSide
                         << "\n";
                continue;
            }
            const bool stale = (col * 7 + row * 3) % 5 == 0, refused = col == 6 && row == 4, cut = col == 1 && row == 5;
            std::snprintf(name, sizeof name, "/tile_%d_%d.las", col, row);
            lastest::write_file(grid + name, tile(col, row, cut ? Kind::short_ : stale ? Kind::stale : Kind::current));
            // More records than LAS 1.2 can count, known from the size: the
            // header is read, so the file has an extent, and refused. A
            // sparse file: nothing of it is read or stored.
            if (refused) std::filesystem::resize_file(grid + name, 86'000'000'000);
            manifest << grid + name << "\t" << (refused ? "refused" : cut ? "short" : stale ? "stale" : "current")
                     << "\t" << (refused || cut || stale ? "fail" : "pass") << "\t" << minx << "\t" << miny << "\t"
                     << minx + kSide << "\t" << miny + kSide << "\n";
        }
    manifest.close();
    // Beside the grid: a system no one can name (user-defined keys, or
    // keys that do not parse), one whose name has a line break, and an
    // extent no panel can lay out, in the grid's own system.
    std::ofstream odds(dir + "/odd.tsv");
    const std::pair<const char*, Kind> kOdd[] = {
        {"unidentified", Kind::unidentified}, {"malformed", Kind::malformed}, {"wkt", Kind::wkt}, {"huge", Kind::huge}};
    for (const auto& [what, kind] : kOdd) {
        const std::string path = odd + "/" + what + ".las";
        lastest::write_file(path, tile(2, 2, kind));
        odds << path << "\t" << what << "\n";
    }
    odds.close();
    return manifest && odds ? 0 : 2;
}

// A tile of every status and verdict, on a row of 1 km tiles, and two
// places where a worse verdict lies over a better one: what each must show
// is written to manifest.
int statuses(const std::string& out, const std::string& index, const std::string& manifest) {
    using audit::Status;
    using audit::Verdict;
    const lidar::Crs crs = lidar::identify_crs(geokeys(), "", "", "");
    struct Made {
        const char* name;
        Status status;
        Verdict verdict;
        int col;
        const char* shown;  // the colour at its place: its own, or that of the worse over it
    };
    const Made kMade[] = {
        {"current", Status::current, Verdict::pass, 0, "pass"},
        {"current-failing", Status::current, Verdict::fail, 1, "fail"},
        {"stale", Status::stale, Verdict::fail, 2, "fail"},
        {"fixed", Status::fixed, Verdict::pass, 3, "pass"},
        {"short", Status::short_, Verdict::fail, 4, "fail"},
        {"unchecked", Status::unchecked, Verdict::pass, 5, "pass"},
        {"refused", Status::refused, Verdict::fail, 6, "not judged"},
        {"error", Status::error, Verdict::fail, 7, "not judged"},
        {"repeated", Status::repeated, Verdict::none, 8, "-"},
        // Overlapping: the worse comes first in the report, and is drawn over.
        {"over-fail", Status::stale, Verdict::fail, 9, "fail"},
        {"under-pass", Status::current, Verdict::pass, 9, "fail"},
        {"over-refused", Status::refused, Verdict::fail, 10, "not judged"},
        {"under-fail", Status::short_, Verdict::fail, 10, "not judged"},
    };
    audit::Collected c;
    std::ofstream m(manifest);
    for (const Made& made : kMade) {
        audit::Result r;
        r.path = std::string("statuses/") + made.name + ".las";
        r.status = made.status;
        r.verdict = made.verdict;
        r.header_read = made.status != Status::repeated;
        r.scanned = r.header_read && made.status != Status::unchecked;
        r.points = 5;
        const double x = kX0 + made.col * 2 * kSide, e[6] = {x + kSide, x, kY0 + kSide, kY0, 20, 10};
        std::copy(e, e + 6, r.recomputed.extent);
        std::copy(e, e + 6, r.stored.extent);
        r.stored.legacy_count = r.recomputed.legacy_count = 5;
        r.crs = crs;
        // A warning before an error in the rule list: the outputs put the error first.
        if (made.status == Status::current && made.verdict == Verdict::fail) {
            r.findings.push_back(lidar::finding("header.size-extended", nullptr, "", ""));
            r.findings.push_back(lidar::finding("stats.extent", nullptr, "", ""));
        }
        audit::add_to(c.delivery, r);
        audit::collect(c, r);
        m << r.path << "\t" << audit::status_name(made.status) << "\t" << made.shown << "\t" << x << "\t" << kY0 << "\t"
          << x + kSide << "\t" << kY0 + kSide << "\n";
    }
    audit::finish_delivery(c.delivery);
    audit::finish(c);
    std::ofstream f(out, std::ios::binary);
    f << audit::html_report(c);
    std::size_t unplaced = 0;
    std::ofstream g(index, std::ios::binary);
    audit::tile_index(c, unplaced, [&](const std::string& text) { return static_cast<bool>(g << text); });
    f.close(), g.close(), m.close();
    return f && g && m ? 0 : 2;
}

// A row of 1 km tiles at densities 0.5 to 12 first returns per square
// metre, a second row above, a void in one tile, two copies of one tile
// and a tile off the grid.
int density(const std::string& out, const std::string& manifest) {
    const lidar::Crs crs = lidar::identify_crs(geokeys(), "", "", "");
    // The tile scheme's rules, by the ids the page marks tiles for.
    static const lidar::Rule kDuplicate{"delivery.duplicate", lidar::Severity::error, lidar::Origin::delivery, "", ""};
    static const lidar::Rule kOffGrid{"delivery.off-grid", lidar::Severity::warning, lidar::Origin::delivery, "", ""};
    const double kDensity[] = {0.5, 1, 1.5, 2, 3, 4, 6, 8, 12, -1};
    constexpr double kCell = 100;  // 10 x 10 cells a tile
    audit::Collected c;
    std::ofstream m(manifest);
    m.precision(12);
    std::vector<std::string> paths;
    for (int k = 0; k < 12; ++k) {
        const int col = k % 6, row = k / 6;
        const double d = kDensity[k % 10];
        audit::Result r;
        r.path = "density/tile_" + std::to_string(col) + "_" + std::to_string(row) + ".las";
        // The last tile is off the grid by a third of a tile.
        const double x = kX0 + col * kSide + (k == 11 ? kSide / 3 : 0), y = kY0 + row * kSide;
        r.status = audit::Status::current;
        r.verdict = audit::Verdict::pass;
        r.header_read = true;
        r.scanned = d >= 0;
        r.points = 1000;
        const double e[6] = {x + kSide, x, y + kSide, y, 20, 10};
        std::copy(e, e + 6, r.recomputed.extent);
        std::copy(e, e + 6, r.stored.extent);
        r.stored.legacy_count = r.recomputed.legacy_count = 1000;
        r.crs = crs;
        if (r.scanned) {
            audit::SurveyGrid& g = r.survey.grid;
            g.cell = kCell, g.col0 = static_cast<std::int64_t>(x / kCell), g.row0 = static_cast<std::int64_t>(y / kCell);
            g.cols = g.rows = 10;
            g.first.assign(100, static_cast<std::uint32_t>(d * kCell * kCell));
            // Where the void is, nothing: the density is over what is covered.
            if (k == 1) g.first[44] = g.first[45] = 0;
            for (std::uint32_t n : g.first) r.survey.first_returns += n;
        }
        audit::add_to(c.delivery, r);
        audit::collect(c, r);
        paths.push_back(r.path);
        m << r.path << "\t" << (d >= 0 ? std::to_string(d) : "-") << "\t"
          << (k == 3 || k == 9 ? "duplicate" : k == 11 ? "off the tile grid" : "-") << "\n";
    }
    // Where the void of tile 1's two empty cells must be drawn.
    const double vx = kX0 + kSide + 400, vy = kY0 + 400;
    m << "void\t" << vx << "\t" << vy << "\t" << vx + 200 << "\t" << vy + 100 << "\n";
    audit::finish_delivery(c.delivery);
    audit::finish(c);
    c.consistency.push_back({lidar::Finding{&kDuplicate, "", "", ""}, {paths[3], paths[9]}});
    c.consistency.push_back({lidar::Finding{&kOffGrid, "", "", ""}, {paths[11]}});
    std::ofstream f(out, std::ios::binary);
    f << audit::html_report(c);
    f.close(), m.close();
    return f && m ? 0 : 2;
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
        r.verdict = r.status == audit::Status::current ? audit::Verdict::pass : audit::Verdict::fail;
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
        audit::add_to(c.delivery, r);
        audit::collect(c, r);
    }
    audit::finish_delivery(c.delivery);
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
    std::size_t unplaced = 0;
    std::ofstream g(index, std::ios::binary);
    audit::tile_index(c, unplaced, [&](const std::string& text) { return static_cast<bool>(g << text); });
    g.close();
    std::printf("tile index: %lld bytes written in %.2f s\n", static_cast<long long>(std::filesystem::file_size(index)),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - again).count());
    return g && unplaced == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "tree" && argc == 3) return tree(argv[2]);
    if (what == "statuses" && argc == 5) return statuses(argv[2], argv[3], argv[4]);
    if (what == "density" && argc == 4) return density(argv[2], argv[3]);
    if (what == "bulk" && (argc == 4 || argc == 5)) return bulk(std::atol(argv[2]), argv[3], argc == 5 ? argv[4] : "");
    std::fputs("usage: report_fixture tree DIR | statuses OUT.html OUT.geojson OUT.tsv\n"
               "       report_fixture density OUT.html OUT.tsv\n"
               "       report_fixture bulk N OUT.html [OUT.geojson]\n",
               stderr);
    return 2;
}
