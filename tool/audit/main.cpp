// Vexholt-audit: which headers of a delivery are stale, and how, at the
// speed of reading the files.
#include "audit.h"
#include "density_raster.h"
#include "outputs.h"
#include "profile.h"

#include <getopt.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#ifdef __MINGW32__
// Wildcards are expanded by the start-up code, as for Vexholt.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

using namespace audit;

long process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

const char kUsage[] =
    "Usage: Vexholt-audit [-j N] [--fix [--accept-lost-points]] [--exact]\n"
    "                     [--format text|tsv|jsonl] [--quiet] [--allow-empty]\n"
    "                     [--profile las|usgs-lbs|stats] [--profile-file FILE]\n"
    "                     [--quality-level QL0|QL1|QL2|QL3] [--strict]\n"
    "                     [--headers-only] [--summary-only] [--report FILE.html]\n"
    "                     [--tile-index FILE.geojson] [--density-raster FILE.tif]\n"
    "                     [--cell N] PATH...\n"
    "       Vexholt-audit --help | --version\n"
    "       Vexholt-audit [--profile-file FILE] --list-rules[=markdown|roff]\n"
    "\n"
    "Judges LAS files by the rules of their LAS version without changing them:\n"
    "every file named, and every regular *.las and *.laz file under each\n"
    "directory named; then the delivery as a whole.\n"
    "\n"
    "  -j, --jobs N     files judged at once (default: the online processors)\n"
    "      --fix        update stale files as Vexholt does; a short file is left\n"
    "                   as it is\n"
    "      --accept-lost-points  with --fix, also lower a short file's point count\n"
    "                   to the records it holds\n"
    "      --exact      extents must be bit for bit what Vexholt writes\n"
    "      --format F   text (default), tsv or jsonl (also json), on standard output\n"
    "  -q, --quiet      no progress line and no summary on standard error\n"
    "      --allow-empty  finding no LAS file is not an error\n"
    "      --profile P  las (default: each file's own version), usgs-lbs (also\n"
    "                   the USGS Lidar Base (LBS) requirements) or stats\n"
    "                   (the statistics rules alone: is a header stale?)\n"
    "      --profile-file FILE  a contract's profile: its base profile, class\n"
    "                   table, quality level and severities (doc/profiles.md)\n"
    "      --quality-level Q  the density usgs-lbs asks for: QL0, QL1, QL2 (its\n"
    "                   default) or QL3\n"
    "      --strict     warnings fail as errors do\n"
    "      --headers-only  read headers and VLRs only: statistics not checked\n"
    "      --summary-only  only the delivery's summary, on standard output\n"
    "      --report FILE  also write an HTML report: a map of the tiles by verdict\n"
    "                   and status, the summary and a table of every file\n"
    "      --tile-index FILE  also write each file's extent as GeoJSON, in longitude\n"
    "                   and latitude (needs PROJ)\n"
    "      --cell N     the side of the coverage grid's cells, in the files'\n"
    "                   horizontal units (default: twice the pulse spacing)\n"
    "      --density-raster FILE  also write the tiles' first returns per square\n"
    "                   unit as a GeoTIFF in their coordinate system (needs GDAL)\n"
    "      --list-rules every rule, as a Markdown (or roff) table, and what a\n"
    "                   profile file changes\n"
    "  -h, --help       this text\n"
    "  -V, --version    the version\n"
    "\n"
    "Exit status: 0 every file passes, 1 a file or the delivery fails (a rule of\n"
    "severity error, with --strict any rule; a short file), 2 a file could not be\n"
    "judged (refused or failed), no LAS file found, or wrong usage; 130 or 143\n"
    "after SIGINT or SIGTERM.\n";

[[noreturn]] void usage_error(const char* what) {
    if (what) std::fprintf(stderr, "Vexholt-audit: %s\n", what);
    std::fputs(kUsage, stderr);
    std::exit(2);
}

// Files written besides the report, after the last file is judged.
struct Extra {
    std::string report, index, raster;
};

Options parse(int argc, char* argv[], Extra& x) {
    static const option kLong[] = {
        {"jobs", required_argument, nullptr, 'j'}, {"fix", no_argument, nullptr, 'f'},
        {"exact", no_argument, nullptr, 'e'},     {"format", required_argument, nullptr, 'F'},
        {"quiet", no_argument, nullptr, 'q'},     {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},   {"allow-empty", no_argument, nullptr, 'a'},
        {"profile", required_argument, nullptr, 'P'}, {"strict", no_argument, nullptr, 's'},
        {"headers-only", no_argument, nullptr, 'H'}, {"summary-only", no_argument, nullptr, 'S'},
        {"list-rules", optional_argument, nullptr, 'L'},
        {"report", required_argument, nullptr, 'R'}, {"tile-index", required_argument, nullptr, 'T'},
        {"accept-lost-points", no_argument, nullptr, 'A'},
        {"profile-file", required_argument, nullptr, 'p'}, {"quality-level", required_argument, nullptr, 'Q'},
        {"density-raster", required_argument, nullptr, 'D'},
        {"cell", required_argument, nullptr, 'C'},
        {nullptr, 0, nullptr, 0},
    };
    // Listed once every option is read: a profile file changes the table.
    const char* list = nullptr;
    bool profile_given = false;
    const char* profile_file = nullptr;
    lidar::QualityLevel quality_level = lidar::QualityLevel::none;
    Options o;
    o.jobs = 0;  // unless -j says otherwise: the online processors
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "j:qhV", kLong, nullptr)) != -1) {
        switch (c) {
            case 'j': {
                char* end = nullptr;
                unsigned long n = std::strtoul(optarg, &end, 10);
                if (!*optarg || *end || optarg[0] == '-' || n < 1 || n > 4096)
                    usage_error("-j needs a number of jobs from 1 to 4096");
                o.jobs = static_cast<unsigned>(n);
                break;
            }
            case 'f': o.how.fix = true; break;
            case 'e': o.how.exact = true; break;
            case 'F':
                if (!std::strcmp(optarg, "text")) o.format = Format::text;
                else if (!std::strcmp(optarg, "tsv")) o.format = Format::tsv;
                else if (!std::strcmp(optarg, "jsonl") || !std::strcmp(optarg, "json")) o.format = Format::jsonl;
                else usage_error("--format is text, tsv or jsonl");
                break;
            case 'q': o.quiet = true; break;
            case 'a': o.allow_empty = true; break;
            case 'P':
                if (!std::strcmp(optarg, "las")) o.how.profile = lidar::Profile::las;
                else if (!std::strcmp(optarg, "usgs-lbs")) o.how.profile = lidar::Profile::usgs_lbs;
                else if (!std::strcmp(optarg, "stats")) o.how.profile = lidar::Profile::stats;
                else usage_error("--profile is las, usgs-lbs or stats");
                profile_given = true;
                break;
            case 'p': profile_file = optarg; break;
            case 'Q': {
                std::string q = optarg;  // ql2 as well as QL2
                for (char& ch : q) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                for (lidar::QualityLevel l : {lidar::QualityLevel::ql0, lidar::QualityLevel::ql1, lidar::QualityLevel::ql2,
                                              lidar::QualityLevel::ql3})
                    if (q == lidar::quality_level_name(l)) quality_level = l;
                if (quality_level == lidar::QualityLevel::none) usage_error("--quality-level is QL0, QL1, QL2 or QL3");
                break;
            }
            case 's': o.how.strict = true; break;
            case 'A': o.how.accept_lost_points = true; break;
            case 'H': o.how.headers_only = true; break;
            case 'S': o.summary_only = true; break;
            case 'R': x.report = optarg; break;
            case 'T': x.index = optarg; break;
            case 'D': x.raster = optarg; break;
            case 'C': {
                char* end = nullptr;
                const double v = std::strtod(optarg, &end);
                if (!*optarg || *end || !(v > 0) || !std::isfinite(v)) usage_error("--cell needs a size above 0");
                o.how.cell = v;
                break;
            }
            case 'L':
                if (optarg && std::strcmp(optarg, "markdown") && std::strcmp(optarg, "roff"))
                    usage_error("--list-rules is markdown or roff");
                list = optarg ? optarg : "markdown";
                break;
            case 'h': std::fputs(kUsage, stdout); std::exit(0);
            case 'V': std::printf("Vexholt-audit %s\n", VEXHOLT_VERSION); std::exit(0);
            default: {
                // Named as given, so a typo is found at a glance.
                std::string what;
                if (optopt == 'j') what = "-j needs a number of jobs";
                else if (optopt == 'F') what = "--format needs text, tsv or jsonl";
                else if (optopt == 'P') what = "--profile needs las, usgs-lbs or stats";
                else if (optopt == 'R') what = "--report needs a file name";
                else if (optopt == 'T') what = "--tile-index needs a file name";
                else if (optopt == 'p') what = "--profile-file needs a file name";
                else if (optopt == 'Q') what = "--quality-level needs QL0, QL1, QL2 or QL3";
                else if (optopt == 'D') what = "--density-raster needs a file name";
                else if (optopt == 'C') what = "--cell needs a size above 0";
                else if (optopt != 0) what = std::string("unknown option -") + static_cast<char>(optopt);
                else what = std::string("unknown option ") + argv[optind - 1];
                usage_error(what.c_str());
            }
        }
    }
    if (profile_file && profile_given) usage_error("--profile-file names its base profile: not with --profile");
    lidar::ProfileFile contract;
    if (profile_file) {
        std::string why;
        if (!lidar::read_profile_file(profile_file, contract, why)) {
            std::fprintf(stderr, "Vexholt-audit: profile file %s: %s\n", escape_text(profile_file).c_str(), why.c_str());
            std::exit(2);
        }
        lidar::set_severities(contract.severities);
        o.how.profile = contract.base;
        o.how.classes = contract.classes;
        o.how.quality_level = contract.quality_level;
    }
    if (quality_level != lidar::QualityLevel::none) o.how.quality_level = quality_level;
    if (list) {
        const bool roff = !std::strcmp(list, "roff");
        std::fputs((rules_table(roff) + (profile_file ? lidar::profile_listing(contract, roff) : "")).c_str(), stdout);
        std::exit(0);
    }
    for (int i = optind; i < argc; ++i) o.paths.emplace_back(argv[i]);
    if (o.paths.empty()) usage_error("no PATH given");
    if (o.how.fix && o.how.headers_only) usage_error("--fix needs the points: not with --headers-only");
    if (o.how.accept_lost_points && !o.how.fix) usage_error("--accept-lost-points goes with --fix");
    if (!x.raster.empty() && o.how.headers_only) usage_error("--density-raster needs the points: not with --headers-only");
    o.how.cell_counts = !x.raster.empty();
    o.how.now_gps = gps_now();
    if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
    return o;
}

// Writes what make hands to f, piece by piece.
bool write_to(std::FILE* f, const std::function<bool(const Sink&)>& make, std::string& why) {
    bool ok = make([&](const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), f) == text.size()) return true;
        why = std::strerror(errno);
        return false;
    });
    // A full disk may show only when the buffer is flushed.
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        why = std::strerror(errno);
    }
    return ok;
}

// Writes what make hands to its writer into a file beside path, which
// takes path's place only when whole: a full disk or a file-size limit
// leaves what was there, never a page cut short. What is not a regular
// file (a terminal, a pipe) is written to as it is; through a link, the
// file it leads to is replaced.
// make writes the file named, a new one unless it is path itself.
using Maker = std::function<bool(const std::string& name, bool fresh, std::string& why)>;
bool place_file(const std::string& path, const Maker& make, std::string& why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (fs::exists(st) && !fs::is_regular_file(st)) return make(path, false, why);
    fs::path target = path;
    if (fs::is_symlink(path, ec)) {
        const fs::path to = fs::canonical(path, ec);
        if (!ec) target = to;
    }
    const fs::path part = target.string() + "." + std::to_string(process_id()) + ".part";
    bool ok = make(part.string(), true, why);
    if (ok) {
        fs::rename(part, target, ec);
        ok = !ec;
        if (!ok) why = ec.message();
    }
    if (!ok) fs::remove(part, ec);
    return ok;
}

bool write_file(const std::string& path, const std::function<bool(const Sink&)>& make, std::string& why) {
    return place_file(path, [&](const std::string& name, bool fresh, std::string& error) {
        std::FILE* f = std::fopen(name.c_str(), fresh ? "wbx" : "wb");
        if (!f) {
            error = std::strerror(errno);
            return false;
        }
        return write_to(f, make, error);
    }, why);
}

// Writes the files asked for; 2 if one cannot be, else 0.
int write_extra(const Extra& x, Collected& c, DensityGrid& g, bool quiet) {
    finish(c);
    int status = 0;
    std::string written;
    auto write = [&](const std::string& path, const char* what, const auto& make) {
        std::string why;
        if (!write_file(path, make, why)) {
            std::fprintf(stderr, "Vexholt-audit: cannot write the %s %s: %s\n", what, escape_text(path).c_str(), why.c_str());
            status = 2;
            return;
        }
        written += (written.empty() ? "" : ", ") + escape_text(path) + " (" + what + ")";
    };
    if (!x.report.empty())
        write(x.report, "report", [&](const auto& to) { return to(html_report(c)); });
    if (!x.index.empty()) {
        std::size_t unplaced = 0;
        const std::size_t before = written.size();
        write(x.index, "tile index", [&](const auto& to) { return tile_index(c, unplaced, to); });
        // Counted, not named: each feature says why, and a delivery without
        // a system must not flood the terminal.
        if (!quiet && unplaced && written.size() > before)
            std::fprintf(stderr,
                         "Vexholt-audit: %s of %s files have no geometry in the tile index; "
                         "each feature's reason says why\n",
                         std::to_string(unplaced).c_str(), std::to_string(c.tiles.size()).c_str());
    }
    if (!x.raster.empty()) {
        std::string why;
        if (!place_file(x.raster, [&](const std::string& name, bool, std::string& error) {
                return write_density_raster(g, name, error);
            }, why)) {
            std::fprintf(stderr, "Vexholt-audit: cannot write the density raster %s: %s\n", escape_text(x.raster).c_str(),
                         why.c_str());
            status = 2;
        } else {
            written += (written.empty() ? "" : ", ") + escape_text(x.raster) + " (density raster)";
            // Its pixel follows from the delivery's size: say what it came to.
            if (!quiet)
                std::fprintf(stderr, "Vexholt-audit: the density raster's pixels are %g units square (%u x %u cells of %g)\n",
                             g.cell * g.factor, g.factor, g.factor, g.cell);
        }
        if (g.other_cell)
            std::fprintf(stderr, "Vexholt-audit: the density raster leaves out %zu tiles whose coverage cell is not %g, the first tile's\n",
                         g.other_cell, g.cell);
        if (g.other_system)
            std::fprintf(stderr, "Vexholt-audit: the density raster leaves out %zu tiles in another coordinate system than the first tile's\n",
                         g.other_system);
    }
    if (!quiet && !written.empty()) std::fprintf(stderr, "Vexholt-audit: wrote %s\n", written.c_str());
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
#ifdef __GLIBC__
    // Each worker's arena otherwise grows a page at a time and gives pages
    // back as results are freed, then grows again: 190 mprotect calls over
    // 2,000 tiles, a twentieth of a header-only pass.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_TOP_PAD, 1 << 20);
    // A tile's coverage grid, up to 16 MiB, comes from the arena and is
    // used again by the next tile: mapped afresh for each, its pages cost
    // more to touch than the tile to read.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
    try {
        Extra x;
        Options o = parse(argc, argv, x);
        if (!x.index.empty() && !lidar::crs_uses_proj()) {
            std::fputs("Vexholt-audit: --tile-index needs PROJ to place the tiles in longitude and latitude, "
                       "and PROJ is not available\n",
                       stderr);
            return 2;
        }
        if (std::string why; !x.raster.empty() && !density_raster_possible(why)) {
            std::fprintf(stderr, "Vexholt-audit: --density-raster needs GDAL to write a GeoTIFF: %s\n", why.c_str());
            return 2;
        }
        Collected c;
        o.delivery = &c.delivery;
        DensityGrid g;
        const bool outputs = !x.report.empty() || !x.index.empty();
        if (outputs || !x.raster.empty())
            o.observe = [&](const Result& r) {
                if (outputs) collect(c, r);
                if (!x.raster.empty()) add_density(g, r);
            };
        int status = audit::run(o);
        // A run cut short by a signal is not the delivery: nothing claims to show it.
        if (o.observe && status < 128) status = std::max(status, write_extra(x, c, g, o.quiet));
        return status;
    } catch (const std::bad_alloc&) {
        std::fputs("Vexholt-audit: out of memory\n", stderr);
        return 2;
    }
}
