// A coverage grid's first returns as tests count them: by the cells'
// indices on the delivery's grid, or summed into blocks of factor x factor
// cells as a coarsened grid or a raster's pixels hold them.
#pragma once

#include "survey.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

namespace lastest {

using Cells = std::map<std::pair<std::int64_t, std::int64_t>, std::uint64_t>;

// The block of factor cells that holds cell k, whichever side of 0 it lies.
inline std::int64_t block_of(std::int64_t k, std::int64_t factor) {
    return k >= 0 ? k / factor : -((factor - 1 - k) / factor);
}

// Adds g's first returns into their blocks; a block with none only with
// keep_empty.
inline void add_cells(Cells& to, const audit::SurveyGrid& g, std::int64_t factor = 1, bool keep_empty = false) {
    for (std::uint32_t r = 0; r < g.rows; ++r)
        for (std::uint32_t c = 0; c < g.cols; ++c)
            if (const std::uint32_t n = g.first[std::size_t{r} * g.cols + c]; n || keep_empty)
                to[{block_of(g.col0 + c, factor), block_of(g.row0 + r, factor)}] += n;
}

inline Cells cells_of(const audit::SurveyGrid& g, std::int64_t factor = 1) {
    Cells m;
    add_cells(m, g, factor);
    return m;
}

}  // namespace lastest
