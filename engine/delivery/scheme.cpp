#include "scheme.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

namespace audit {

namespace {

// The roundest number in [lo, hi]: a multiple of the largest step of the
// series 1, 2, 2.5, 5 times a power of ten that has one there. Points stop
// short of a tile's edges by up to about a cell, so a tile's size lies
// within a cell above its points' width, and its corner within a cell
// below their minimum; tiles are cut on round numbers, and the roundest
// value in that reach is the one they were cut on.
double roundest(double lo, double hi) {
    if (!(hi > lo)) return lo;
    const double top = std::max(std::abs(lo), std::abs(hi));
    for (double p = std::pow(10.0, std::ceil(std::log10(top)) + 1); p >= (hi - lo) * 1e-3; p /= 10)
        for (double f : {5.0, 2.5, 2.0, 1.0}) {
            const double step = p * f;
            const double m = std::ceil(lo / step) * step;
            if (m <= hi) return m == 0 ? 0 : m;  // no -0
        }
    return lo;
}

// The most common value; on a tie, the first to reach that count (the
// tiles come in report order, so the same delivery gives the same scheme).
template <typename T>
T majority(const std::vector<T>& v) {
    std::map<T, std::size_t> n;
    T best{};
    std::size_t most = 0;
    for (const T& x : v)
        if (const std::size_t c = ++n[x]; c > most) most = c, best = x;
    return best;
}

using Pos = std::pair<std::int64_t, std::int64_t>;
struct PosHash {
    std::size_t operator()(const Pos& p) const noexcept {
        return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(p.first) * 0x9e3779b97f4a7c15ull ^
                                          static_cast<std::uint64_t>(p.second));
    }
};

// A tile spanning more grid positions than this a side is compared with
// every tile rather than entered at each: one stray point far off must not
// fill the map.
constexpr std::int64_t kMaxSpan = 8;

}  // namespace

Scheme tile_scheme(std::span<const TileBox> tiles, double cell) {
    Scheme s;
    if (tiles.empty()) return s;
    const double tol = cell > 0 ? cell : 0;

    // Identical points, whatever the files are called or how they are stored.
    std::map<std::tuple<std::uint64_t, double, double, double, double, std::uint64_t, int>, std::vector<std::size_t>> same;
    for (std::size_t k = 0; k < tiles.size(); ++k) {
        const TileBox& t = tiles[k];
        if (t.points) same[{t.points, t.min_x, t.min_y, t.max_x, t.max_y, t.record_hash, t.system}].push_back(k);
    }
    std::vector<std::size_t> group(tiles.size(), SIZE_MAX);  // the first duplicate's index
    std::vector<std::vector<std::size_t>> groups;
    for (auto& [key, ks] : same)
        if (ks.size() > 1) {
            for (std::size_t k : ks) group[k] = ks[0];
            groups.push_back(std::move(ks));
        }
    std::sort(groups.begin(), groups.end());
    for (const auto& g : groups) {
        std::vector<std::size_t> files;
        for (std::size_t k : g) files.push_back(tiles[k].file);
        s.duplicates.push_back(std::move(files));
    }

    std::vector<std::pair<double, double>> sizes;
    sizes.reserve(tiles.size());
    for (const TileBox& t : tiles)
        sizes.emplace_back(roundest(t.max_x - t.min_x, t.max_x - t.min_x + tol),
                           roundest(t.max_y - t.min_y, t.max_y - t.min_y + tol));
    std::tie(s.size_x, s.size_y) = majority(sizes);
    // Files of all sizes are no tiled delivery: a size shared by a quarter
    // of them (two at least, unless there is one) makes one.
    const auto usual = static_cast<std::size_t>(std::count(sizes.begin(), sizes.end(), std::make_pair(s.size_x, s.size_y)));
    if (!(s.size_x > 0) || !(s.size_y > 0) || usual < std::min<std::size_t>(2, tiles.size()) || 4 * usual < tiles.size()) {
        s.size_x = s.size_y = 0;
        return s;
    }

    // The grid's phase from the tiles of the usual size: each places its
    // grid line between its points' maximum less the size and their minimum.
    auto phase = [&](double min, double max, double size) {
        const double k = std::floor(min / size) * size;
        const double r = roundest(max - size - k, min - k);
        return r < 0 ? r + size : r >= size ? r - size : r;
    };
    std::vector<std::pair<double, double>> phases;
    for (std::size_t k = 0; k < tiles.size(); ++k)
        if (sizes[k] == std::make_pair(s.size_x, s.size_y))
            phases.emplace_back(phase(tiles[k].min_x, tiles[k].max_x, s.size_x),
                                phase(tiles[k].min_y, tiles[k].max_y, s.size_y));
    const auto [px, py] = majority(phases);
    double low_x = tiles[0].min_x, low_y = tiles[0].min_y;
    for (const TileBox& t : tiles) low_x = std::min(low_x, t.min_x), low_y = std::min(low_y, t.min_y);
    // The grid's south-west corner: positions count from 0 there.
    s.origin_x = px + std::floor((low_x + tol - px) / s.size_x) * s.size_x;
    s.origin_y = py + std::floor((low_y + tol - py) / s.size_y) * s.size_y;
    s.found = true;

    // The positions each tile takes up by more than a cell.
    auto index = [](double v) { return static_cast<std::int64_t>(std::clamp(std::floor(v), -1e15, 1e15)); };
    auto first = [&](double v, double o, double size) { return index((v - o + tol) / size); };
    auto last = [&](double v, double o, double size) { return index((v - o - tol) / size); };
    struct Span {
        std::int64_t i0, i1, j0, j1;
    };
    std::vector<Span> spans(tiles.size());
    std::unordered_map<Pos, std::vector<std::size_t>, PosHash> at;  // tiles by position
    std::vector<std::size_t> wide;                                    // beyond kMaxSpan
    for (std::size_t k = 0; k < tiles.size(); ++k) {
        const TileBox& t = tiles[k];
        Span& p = spans[k];
        p = {first(t.min_x, s.origin_x, s.size_x), std::max(first(t.min_x, s.origin_x, s.size_x), last(t.max_x, s.origin_x, s.size_x)),
             first(t.min_y, s.origin_y, s.size_y), std::max(first(t.min_y, s.origin_y, s.size_y), last(t.max_y, s.origin_y, s.size_y))};
        if (p.i1 - p.i0 >= kMaxSpan || p.j1 - p.j0 >= kMaxSpan) {
            wide.push_back(k);
            continue;
        }
        for (std::int64_t i = p.i0; i <= p.i1; ++i)
            for (std::int64_t j = p.j0; j <= p.j1; ++j) at[{i, j}].push_back(k);
    }
    auto taken = [&](std::int64_t i, std::int64_t j) {
        if (at.count({i, j})) return true;
        return std::any_of(wide.begin(), wide.end(), [&](std::size_t k) {
            return spans[k].i0 <= i && i <= spans[k].i1 && spans[k].j0 <= j && j <= spans[k].j1;
        });
    };

    // Larger than the size is another size; smaller is too, unless the tile
    // may be cut by the project's boundary: a position missing beside it.
    for (std::size_t k = 0; k < tiles.size(); ++k) {
        const TileBox& t = tiles[k];
        const Span& p = spans[k];
        const double w = t.max_x - t.min_x, h = t.max_y - t.min_y;
        const bool fits = p.i0 == p.i1 && p.j0 == p.j1;
        if (w > s.size_x + tol || h > s.size_y + tol) {
            s.off_size.push_back(t.file);
        } else if (!fits) {
            s.off_grid.push_back(t.file);
        } else if (w < s.size_x - tol || h < s.size_y - tol) {
            const bool inner = taken(p.i0 - 1, p.j0) && taken(p.i0 + 1, p.j0) && taken(p.i0, p.j0 - 1) &&
                               taken(p.i0, p.j0 + 1);
            if (inner) s.off_size.push_back(t.file);
        }
    }

    // Pairs sharing more than a cell each way, met where they share a
    // position; duplicates are named as such, not again as overlaps.
    auto overlap = [&](std::size_t a, std::size_t b) {
        const TileBox &p = tiles[a], &q = tiles[b];
        const double w = std::min(p.max_x, q.max_x) - std::max(p.min_x, q.min_x);
        const double h = std::min(p.max_y, q.max_y) - std::max(p.min_y, q.min_y);
        return w > tol && h > tol && (group[a] == SIZE_MAX || group[a] != group[b]);
    };
    std::set<std::pair<std::size_t, std::size_t>> pairs;
    for (const auto& [pos, ks] : at)
        for (std::size_t x = 0; x < ks.size(); ++x)
            for (std::size_t y = x + 1; y < ks.size(); ++y)
                if (overlap(ks[x], ks[y])) pairs.emplace(std::min(ks[x], ks[y]), std::max(ks[x], ks[y]));
    for (std::size_t a : wide)
        for (std::size_t b = 0; b < tiles.size(); ++b)
            if (b != a && overlap(a, b)) pairs.emplace(std::min(a, b), std::max(a, b));
    for (const auto& [a, b] : pairs) s.overlaps.emplace_back(tiles[a].file, tiles[b].file);

    // Holes: a free position with tiles on all four sides, looked for next
    // to each taken one.
    std::set<Pos> holes;
    for (const auto& [pos, ks] : at) {
        const auto [i, j] = pos;
        for (const Pos& q : {Pos{i - 1, j}, Pos{i + 1, j}, Pos{i, j - 1}, Pos{i, j + 1}}) {
            const auto [qi, qj] = q;
            if (!taken(qi, qj) && taken(qi - 1, qj) && taken(qi + 1, qj) && taken(qi, qj - 1) && taken(qi, qj + 1))
                holes.insert(q);
        }
    }
    for (const auto& [i, j] : holes)
        s.holes.push_back({s.origin_x + static_cast<double>(i) * s.size_x, s.origin_y + static_cast<double>(j) * s.size_y,
                           s.origin_x + static_cast<double>(i + 1) * s.size_x,
                           s.origin_y + static_cast<double>(j + 1) * s.size_y});
    return s;
}

}  // namespace audit
