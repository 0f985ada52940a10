// The delivery's first-return density as a GeoTIFF a GIS opens: the tiles'
// coverage grids summed into pixels of a whole number of cells, in the
// files' coordinate system, written with GDAL where the build has it.
#pragma once

#include "audit.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace audit {

// First returns per square unit of the area the tile's grid finds covered;
// below 0 where it has no grid or nothing covered.

// Whether --density-raster can be written here: GDAL built in and found at
// run time; else why not.
bool density_raster_possible(std::string& why);

// A tile's grid summed into pixels of factor x factor cells. Pixels are
// numbered on the delivery's grid as cells are, so the tiles' pixels add
// up where tiles share one.
struct DensityTile {
    std::int64_t col0 = 0, row0 = 0;  // the first pixel's indices
    std::uint32_t cols = 0, rows = 0;
    std::vector<std::uint32_t> first;  // first returns, row by row from row0 up
};

// What the raster keeps of the delivery, tile by tile in report order: only
// the pixels, never a whole grid, and no more than max_kept of them; past
// that, the factor doubles.
struct DensityGrid {
    double cell = 0;      // the first gridded tile's cell; 0 until then
    int system = -1;      // and its coordinate system's class
    lidar::Crs crs;
    std::uint32_t factor = 1;
    std::vector<DensityTile> tiles;
    std::uint64_t kept = 0;  // pixels over all tiles
    std::uint64_t max_kept = std::uint64_t{1} << 25;
    // The raster's own bound in pixels: a sparse delivery spanning a
    // country must not make one of a size no disk holds.
    std::uint64_t max_pixels = std::uint64_t{1} << 28;
    // Tiles with a grid left out: another cell, another system.
    std::size_t other_cell = 0, other_system = 0;
};

// Folds r's grid into g; starts g at the first tile with a grid.
void add_density(DensityGrid& g, const Result& r);

// The raster's place: pixel (0, 0) is the north-west one.
struct DensityLayout {
    double pixel = 0;                 // side, in the files' units
    std::int64_t col0 = 0, row0 = 0;  // the south-west pixel's indices
    std::uint32_t width = 0, height = 0;
    double transform[6] = {};         // GDAL's geotransform
};
// Coarser first if the raster would exceed g.max_pixels; false where no
// tile has a grid.
bool density_layout(DensityGrid& g, DensityLayout& out);

// The value where no tile lies.
constexpr float kNoDensity = -9999.0f;

// Writes the raster to path (Float32, first returns per square unit of
// each pixel, kNoDensity outside every tile); false and why if it cannot.
bool write_density_raster(DensityGrid& g, const std::string& path, std::string& why);

}  // namespace audit
