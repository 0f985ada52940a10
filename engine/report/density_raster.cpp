#include "density_raster.h"

#include <algorithm>
#include <cmath>
#include <limits>

#ifdef LIDAR_HAVE_GDAL
#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <gdal_frmts.h>
#include <ogr_srs_api.h>
#include <dlfcn.h>
#endif

namespace audit {

namespace {

#ifdef LIDAR_HAVE_GDAL
// GDAL is loaded only when a raster is asked for: linked, its hundred
// libraries took 200 ms off the start of every run.
struct GdalLibrary {
#define VEXHOLT_GDAL_FUNCTIONS(F) \
    F(CPLErrorReset) F(CPLGetLastErrorMsg) F(CPLGetLastErrorType) F(CPLPopErrorHandler) F(CPLPushErrorHandler) \
    F(CPLQuietErrorHandler) F(CPLSetThreadLocalConfigOption) F(GDALClose) F(GDALCreate) F(GDALGetDriverByName) \
    F(GDALGetRasterBand) F(GDALRasterIO) F(GDALRegister_GTiff) F(GDALSetDescription) F(GDALSetGeoTransform) \
    F(GDALSetRasterNoDataValue) F(GDALSetSpatialRef) F(OSRDestroySpatialReference) F(OSRNewSpatialReference) \
    F(OSRSetAxisMappingStrategy) F(OSRSetFromUserInput)
#define VEXHOLT_GDAL_MEMBER(name) decltype(&::name) name = nullptr;
    VEXHOLT_GDAL_FUNCTIONS(VEXHOLT_GDAL_MEMBER)
    bool loaded = false;
    std::string why;
};

const GdalLibrary& gdal() {
    static const GdalLibrary library = [] {
        GdalLibrary l;
        void* h = dlopen(LIDAR_GDAL_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            const char* e = dlerror();
            l.why = std::string("GDAL cannot be loaded: ") + (e ? e : LIDAR_GDAL_SONAME);
            return l;
        }
        std::string missing;
#define VEXHOLT_GDAL_RESOLVE(name) \
    if (!(l.name = reinterpret_cast<decltype(&::name)>(dlsym(h, #name))) && missing.empty()) missing = #name;
        VEXHOLT_GDAL_FUNCTIONS(VEXHOLT_GDAL_RESOLVE)
        l.loaded = missing.empty();
        if (!l.loaded) l.why = "GDAL's " LIDAR_GDAL_SONAME " lacks " + missing;
        return l;
    }();
    return library;
}
#endif

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return a % b != 0 && (a < 0) != (b < 0) ? q - 1 : q;
}

// cells (cols x rows from col0, row0) summed k x k into pixels numbered
// the same way.
DensityTile summed(const std::uint32_t* cells, std::int64_t col0, std::int64_t row0, std::uint32_t cols,
                   std::uint32_t rows, std::uint32_t k) {
    DensityTile t;
    t.col0 = floor_div(col0, k);
    t.row0 = floor_div(row0, k);
    t.cols = static_cast<std::uint32_t>(floor_div(col0 + cols - 1, k) - t.col0 + 1);
    t.rows = static_cast<std::uint32_t>(floor_div(row0 + rows - 1, k) - t.row0 + 1);
    // Summed in 64 bits a row of pixels at a time: this runs on the thread
    // that writes the report, once for every tile.
    std::vector<std::uint32_t> pixel_of(cols);
    for (std::uint32_t c = 0; c < cols; ++c) pixel_of[c] = static_cast<std::uint32_t>(floor_div(col0 + c, k) - t.col0);
    std::vector<std::uint64_t> row(t.cols);
    t.first.assign(std::size_t{t.cols} * t.rows, 0);
    for (std::uint32_t r = 0; r < rows;) {
        const std::int64_t pixel_row = floor_div(row0 + r, k);
        std::fill(row.begin(), row.end(), 0);
        for (; r < rows && floor_div(row0 + r, k) == pixel_row; ++r) {
            const std::uint32_t* from = cells + std::size_t{r} * cols;
            for (std::uint32_t c = 0; c < cols; ++c) row[pixel_of[c]] += from[c];
        }
        std::uint32_t* to = &t.first[static_cast<std::size_t>(pixel_row - t.row0) * t.cols];
        // A pixel of more than four billion first returns is no tile's.
        for (std::uint32_t c = 0; c < t.cols; ++c) to[c] = static_cast<std::uint32_t>(std::min<std::uint64_t>(row[c], 0xffffffffu));
    }
    return t;
}

void coarser(DensityGrid& g) {
    g.kept = 0;
    for (DensityTile& t : g.tiles) {
        t = summed(t.first.data(), t.col0, t.row0, t.cols, t.rows, 2);
        g.kept += t.first.size();
    }
    g.factor *= 2;
}

}  // namespace

bool density_raster_possible(std::string& why) {
#ifdef LIDAR_HAVE_GDAL
    why = gdal().why;
    return gdal().loaded;
#else
    why = "this build has no GDAL";
    return false;
#endif
}

void add_density(DensityGrid& g, const Result& r) {
    const SurveyGrid& s = r.survey.grid;
    if (!r.scanned || s.cell <= 0 || s.cols == 0 || s.rows == 0 || s.first.size() != std::size_t{s.cols} * s.rows)
        return;
    if (g.cell == 0) {
        g.cell = s.cell;
        g.system = r.crs.system;
        g.crs = r.crs;
    } else if (s.cell != g.cell) {
        ++g.other_cell;
        return;
    } else if (r.crs.system != g.system) {
        ++g.other_system;
        return;
    }
    // A result keeps its grid coarsened (coarsen_grid): the raster's pixel
    // is then no finer than its cells.
    while (g.factor < (1u << s.shift)) coarser(g);
    g.tiles.push_back(summed(s.first.data(), s.col0, s.row0, s.cols, s.rows, g.factor >> s.shift));
    g.kept += g.tiles.back().first.size();
    while (g.kept > g.max_kept) coarser(g);
}

bool density_layout(DensityGrid& g, DensityLayout& out) {
    if (g.tiles.empty()) return false;
    constexpr std::int64_t kMaxSide = std::int64_t{1} << 15;
    for (;;) {
        std::int64_t c0 = std::numeric_limits<std::int64_t>::max(), r0 = c0;
        std::int64_t c1 = std::numeric_limits<std::int64_t>::min(), r1 = c1;
        for (const DensityTile& t : g.tiles) {
            c0 = std::min(c0, t.col0), r0 = std::min(r0, t.row0);
            c1 = std::max(c1, t.col0 + t.cols - 1), r1 = std::max(r1, t.row0 + t.rows - 1);
        }
        const std::int64_t w = c1 - c0 + 1, h = r1 - r0 + 1;
        if (w > kMaxSide || h > kMaxSide || static_cast<std::uint64_t>(w * h) > g.max_pixels) {
            coarser(g);
            continue;
        }
        out.pixel = g.cell * g.factor;
        out.col0 = c0, out.row0 = r0;
        out.width = static_cast<std::uint32_t>(w), out.height = static_cast<std::uint32_t>(h);
        const double t[6] = {static_cast<double>(c0) * out.pixel, out.pixel, 0,
                             static_cast<double>(r1 + 1) * out.pixel, 0, -out.pixel};
        std::copy(t, t + 6, out.transform);
        return true;
    }
}

bool write_density_raster(DensityGrid& g, const std::string& path, std::string& why) {
#ifdef LIDAR_HAVE_GDAL
    if (!density_raster_possible(why)) return false;
    DensityLayout at;
    if (!density_layout(g, at)) {
        why = "no tile has a coverage grid";
        return false;
    }
    const GdalLibrary& G = gdal();
    G.CPLPushErrorHandler(G.CPLQuietErrorHandler);
    G.CPLErrorReset();
    // Everything the raster says is in the file itself: no .aux.xml beside it.
    G.CPLSetThreadLocalConfigOption("GDAL_PAM_ENABLED", "NO");
    auto failed = [&](const char* what) {
        const char* m = G.CPLGetLastErrorMsg();
        why = std::string(what) + (m && *m ? std::string(": ") + m : std::string());
        return false;
    };
    bool ok = [&] {
        G.GDALRegister_GTiff();
        GDALDriverH driver = G.GDALGetDriverByName("GTiff");
        if (!driver) return failed("GDAL has no GeoTIFF driver");
        const char* const options[] = {"TILED=YES", "COMPRESS=DEFLATE", "PREDICTOR=3", "BIGTIFF=IF_SAFER", nullptr};
        GDALDatasetH ds = G.GDALCreate(driver, path.c_str(), static_cast<int>(at.width), static_cast<int>(at.height), 1,
                                       GDT_Float32, const_cast<char**>(options));
        if (!ds) return failed("GDAL cannot create it");
        bool done = G.GDALSetGeoTransform(ds, at.transform) == CE_None;
        const std::string system = lidar::horizontal_definition(g.crs);
        if (done && !system.empty()) {
            OGRSpatialReferenceH srs = G.OSRNewSpatialReference(nullptr);
            // A file's X is the easting or longitude, whatever the system's axis order.
            G.OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
            done = G.OSRSetFromUserInput(srs, system.c_str()) == OGRERR_NONE && G.GDALSetSpatialRef(ds, srs) == CE_None;
            G.OSRDestroySpatialReference(srs);
        }
        GDALRasterBandH band = G.GDALGetRasterBand(ds, 1);
        done = done && G.GDALSetRasterNoDataValue(band, kNoDensity) == CE_None;
        if (done) G.GDALSetDescription(band, "first returns per square unit");
        // A row of blocks at a time, each tile's pixels added where they
        // fall: rows run south to north in the grids, north to south here.
        constexpr std::uint32_t kRows = 256;
        const std::int64_t top = at.row0 + at.height - 1;
        const double area = at.pixel * at.pixel;
        std::vector<double> sum;
        std::vector<float> out;
        for (std::uint32_t y0 = 0; done && y0 < at.height; y0 += kRows) {
            const std::uint32_t n = std::min(kRows, at.height - y0);
            sum.assign(std::size_t{n} * at.width, -1);
            const std::int64_t north = top - y0, south = north - n + 1;  // grid rows in this strip
            for (const DensityTile& t : g.tiles) {
                const std::int64_t lo = std::max(south, t.row0), hi = std::min(north, t.row0 + t.rows - 1);
                for (std::int64_t r = lo; r <= hi; ++r) {
                    double* to = &sum[static_cast<std::size_t>(north - r) * at.width + static_cast<std::size_t>(t.col0 - at.col0)];
                    const std::uint32_t* from = &t.first[static_cast<std::size_t>(r - t.row0) * t.cols];
                    for (std::uint32_t c = 0; c < t.cols; ++c) to[c] = std::max(to[c], 0.0) + from[c];
                }
            }
            out.resize(sum.size());
            for (std::size_t k = 0; k < sum.size(); ++k)
                out[k] = sum[k] < 0 ? kNoDensity : static_cast<float>(sum[k] / area);
            done = G.GDALRasterIO(band, GF_Write, 0, static_cast<int>(y0), static_cast<int>(at.width),
                                  static_cast<int>(n), out.data(), static_cast<int>(at.width), static_cast<int>(n),
                                  GDT_Float32, 0, 0) == CE_None;
        }
        // A full disk may show only as the last blocks are written.
        G.GDALClose(ds);
        if (!done || G.CPLGetLastErrorType() >= CE_Failure) return failed("GDAL cannot write it");
        return true;
    }();
    G.CPLSetThreadLocalConfigOption("GDAL_PAM_ENABLED", nullptr);
    G.CPLPopErrorHandler();
    return ok;
#else
    (void)g, (void)path;
    return density_raster_possible(why);
#endif
}

}  // namespace audit
