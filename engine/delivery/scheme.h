// The tile scheme of a delivery, found from its tiles' extents: the usual
// tile size and grid, and the tiles that break it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace audit {

struct TileBox {
    std::size_t file = 0;  // the tile's index in the delivery's list
    double min_x = 0, min_y = 0, max_x = 0, max_y = 0;  // its points' extents
    std::uint64_t points = 0;
    std::uint64_t record_hash = 0;
    int system = -1;  // coordinate system class (lidar::Crs::system)
};

struct Scheme {
    bool found = false;  // a majority size and grid
    double size_x = 0, size_y = 0, origin_x = 0, origin_y = 0;
    std::vector<std::size_t> off_size, off_grid;           // files
    std::vector<std::pair<std::size_t, std::size_t>> overlaps;  // pairs of files
    std::vector<std::vector<std::size_t>> duplicates;       // groups of files with identical points
    struct Hole {
        double min_x, min_y, max_x, max_y;  // the missing tile's extent
    };
    std::vector<Hole> holes;
};

// cell: the coverage grid's cell, the tolerance of sizes, grid and overlaps.
Scheme tile_scheme(std::span<const TileBox> tiles, double cell);

}  // namespace audit
