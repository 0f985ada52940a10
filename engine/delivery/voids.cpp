#include "voids.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <tuple>
#include <utility>

namespace audit {

namespace {

// c's runs of empty cells, row by row, where next(r, k, held) is the first
// column from k on in row r whose cell is held or not as asked (c.cols if
// none); false, as soon as they are more than most.
template <class Next>
bool find_runs(TileCoverage& c, Next next, std::size_t most) {
    for (std::uint32_t r = 0; r < c.rows; ++r)
        for (std::uint32_t k = next(r, 0, false); k < c.cols; k = next(r, k, false)) {
            const std::uint32_t end = next(r, k, true);
            // Rows start to be indexed at the first empty cell: a covered
            // tile keeps no index at all.
            if (c.row_start.empty()) c.row_start.assign(r + 1, 0);
            while (c.row_start.size() < r + 1) c.row_start.push_back(static_cast<std::uint32_t>(c.runs.size()));
            if (c.runs.size() / 2 == most) return false;
            c.runs.push_back(k);
            c.runs.push_back(end);
            k = end;
        }
    if (!c.row_start.empty()) c.row_start.resize(std::size_t{c.rows} + 1, static_cast<std::uint32_t>(c.runs.size()));
    c.row_start.shrink_to_fit();
    c.runs.shrink_to_fit();
    return true;
}

// next for find_runs from a test of one cell.
template <class Held>
auto one_by_one(std::uint32_t cols, Held held) {
    return [cols, held](std::uint32_t r, std::uint32_t k, bool want) {
        while (k < cols && held(r, k) != want) ++k;
        return k;
    };
}

// The first of bits from..to - 1 that is set (or clear), else to: a word
// at a time, so a covered tile's 2.4 million cells take 37,000 steps.
std::size_t next_bit(const std::uint64_t* bits, std::size_t from, std::size_t to, bool set) {
    while (from < to) {
        const std::uint64_t w = (set ? bits[from >> 6] : ~bits[from >> 6]) >> (from & 63);
        if (w) return std::min(to, from + static_cast<std::size_t>(std::countr_zero(w)));
        from = (from | 63) + 1;
    }
    return to;
}

}  // namespace

TileCoverage coverage_of(const SurveyGrid& g, std::size_t file, std::size_t most_runs) {
    TileCoverage c;
    c.file = file;
    const GridShape laid = laid_shape(g);
    const std::size_t cells = std::size_t{laid.cols} * laid.rows;
    // Which cells hold a first return: the bits of a grid counted coarser,
    // else its counts; a grid coarsened once judged has neither.
    const bool bits = !g.bits.empty();
    if (!(g.cell > 0) || (bits ? g.bits.size() != (cells + 63) / 64 : g.shift > 0 || g.first.size() != cells))
        return c;
    const auto held = [&](std::size_t i) { return bits ? (g.bits[i >> 6] >> (i & 63) & 1) != 0 : g.first[i] != 0; };
    c.cell = g.cell;
    c.col0 = laid.col0;
    c.row0 = laid.row0;
    c.cols = laid.cols;
    c.rows = laid.rows;
    // Points sparser than the cells leave empty cells scattered all over a
    // tile, a run each: its cells are doubled (held where any part is)
    // until its runs fit, so the delivery's memory stays bounded whatever
    // the data. Voids in it are then judged at that cell, on its own.
    const auto in_bits = [&](std::uint32_t r, std::uint32_t k, bool want) {
        const std::size_t row = std::size_t{r} * laid.cols;
        return static_cast<std::uint32_t>(next_bit(g.bits.data(), row + k, row + laid.cols, want) - row);
    };
    const auto held_at = [&](std::uint32_t r, std::uint32_t k) { return held(std::size_t{r} * laid.cols + k); };
    if (bits ? find_runs(c, in_bits, most_runs) : find_runs(c, one_by_one(laid.cols, held_at), most_runs)) return c;
    for (unsigned s = 1; s < 32; ++s) {
        const GridShape to = summed_shape(laid, s);
        c = TileCoverage{file, std::ldexp(g.cell, static_cast<int>(s)), to.col0, to.row0, to.cols, to.rows, {}, {}};
        std::vector<std::uint8_t> any(std::size_t{c.cols} * c.rows, 0);
        for (std::uint32_t r = 0; r < laid.rows; ++r)
            for (std::uint32_t k = 0; k < laid.cols; ++k)
                if (held(std::size_t{r} * laid.cols + k))
                    any[static_cast<std::size_t>(((laid.row0 + r) >> s) - c.row0) * c.cols +
                        static_cast<std::size_t>(((laid.col0 + k) >> s) - c.col0)] = 1;
        if (find_runs(c, one_by_one(c.cols, [&](std::uint32_t r, std::uint32_t k) { return any[std::size_t{r} * c.cols + k] != 0; }),
                      s == 31 ? SIZE_MAX : most_runs))
            break;
    }
    return c;
}

void extend_coverage(TileCoverage& c, double x0, double y0, double x1, double y1) {
    if (!(c.cell > 0) || !(x1 > x0) || !(y1 > y0)) return;
    // The cells the box reaches into, a cell on its edge included.
    const auto first = [&](double v) { return static_cast<std::int64_t>(std::floor(v / c.cell)); };
    const auto last = [&](double v) { return static_cast<std::int64_t>(std::ceil(v / c.cell)) - 1; };
    const std::int64_t col0 = std::min(c.col0, first(x0)), row0 = std::min(c.row0, first(y0));
    const std::int64_t col1 = std::max(c.col0 + c.cols - 1, last(x1)), row1 = std::max(c.row0 + c.rows - 1, last(y1));
    if (col0 == c.col0 && row0 == c.row0 && col1 == c.col0 + c.cols - 1 && row1 == c.row0 + c.rows - 1) return;
    // A place of more cells than a survey lays is not the place of the
    // points the grid was laid for: a stored box they overran (a stale
    // header of zeros took 5 s and 390 MB for one 36 KiB tile).
    if (col1 - col0 >= 0xffffffffll || row1 - row0 >= 0xffffffffll) return;
    const auto cols = static_cast<std::uint32_t>(col1 - col0 + 1), rows = static_cast<std::uint32_t>(row1 - row0 + 1);
    if (std::uint64_t{cols} * rows > std::max(GridPlan{}.max_cells, std::uint64_t{c.cols} * c.rows)) return;
    const auto shift = static_cast<std::uint32_t>(c.col0 - col0);
    TileCoverage out;
    out.file = c.file, out.cell = c.cell, out.col0 = col0, out.row0 = row0, out.cols = cols, out.rows = rows;
    out.row_start.reserve(std::size_t{rows} + 1);
    auto add = [&](std::uint32_t a, std::uint32_t b) {
        if (a >= b) return;
        if (out.runs.size() > std::size_t{out.row_start.back()} && out.runs.back() == a) out.runs.back() = b;
        else out.runs.insert(out.runs.end(), {a, b});
    };
    for (std::uint32_t r = 0; r < rows; ++r) {
        out.row_start.push_back(static_cast<std::uint32_t>(out.runs.size()));
        const std::int64_t own = row0 + r - c.row0;
        if (own < 0 || own >= c.rows) {
            add(0, cols);
            continue;
        }
        add(0, shift);
        if (!c.row_start.empty())
            for (std::uint32_t k = c.row_start[own]; k < c.row_start[own + 1]; k += 2)
                add(c.runs[k] + shift, c.runs[k + 1] + shift);
        add(shift + c.cols, cols);
    }
    out.row_start.push_back(static_cast<std::uint32_t>(out.runs.size()));
    if (out.runs.empty()) out.row_start.clear();
    c = std::move(out);
}

namespace {

struct Interval {
    std::int64_t a, b;  // columns [a, b)
};

// Sorted, with touching intervals joined.
void merge(std::vector<Interval>& v) {
    std::sort(v.begin(), v.end(), [](const Interval& p, const Interval& q) { return p.a < q.a; });
    std::size_t n = 0;
    for (const Interval& x : v) {
        if (n && x.a <= v[n - 1].b) v[n - 1].b = std::max(v[n - 1].b, x.b);
        else v[n++] = x;
    }
    v.resize(n);
}

// Whether [a, b) lies inside one of the merged intervals v.
bool inside(const std::vector<Interval>& v, std::int64_t a, std::int64_t b) {
    auto it = std::upper_bound(v.begin(), v.end(), a, [](std::int64_t x, const Interval& i) { return x < i.a; });
    return it != v.begin() && (--it)->b >= b;
}

// A set of connected empty cells, as far as the rows swept so far show it.
struct Part {
    std::uint32_t parent;
    bool edge;  // next to a cell outside every tile: never a void
    std::uint64_t cells;
    std::int64_t c0, c1, r0, r1;     // its cells' box, inclusive
    std::vector<std::uint32_t> tiles;  // indices into the tiles given, sorted
};

struct Run {
    std::int64_t a, b;
    std::uint32_t part;
};

struct Sweep {
    std::vector<Part> parts;

    std::uint32_t find(std::uint32_t p) {
        while (parts[p].parent != p) p = parts[p].parent = parts[parts[p].parent].parent;
        return p;
    }
    void mark_edge(std::uint32_t p) {
        Part& x = parts[find(p)];
        x.edge = true;
        x.tiles = {};
    }
    void join(std::uint32_t p, std::uint32_t q) {
        p = find(p), q = find(q);
        if (p == q) return;
        Part &a = parts[p], &b = parts[q];
        b.parent = p;
        a.edge = a.edge || b.edge;
        a.cells += b.cells;
        a.c0 = std::min(a.c0, b.c0), a.c1 = std::max(a.c1, b.c1);
        a.r0 = std::min(a.r0, b.r0), a.r1 = std::max(a.r1, b.r1);
        if (a.edge) {
            a.tiles = {};
        } else {
            std::vector<std::uint32_t> t;
            std::set_union(a.tiles.begin(), a.tiles.end(), b.tiles.begin(), b.tiles.end(), std::back_inserter(t));
            a.tiles = std::move(t);
        }
        b.tiles = {};
    }
};

}  // namespace

std::vector<Void> find_voids(std::span<const TileCoverage> tiles, double min_area) {
    std::vector<Void> out;
    std::vector<std::uint32_t> order;
    double cell = 0;
    for (std::size_t k = 0; k < tiles.size(); ++k) {
        const TileCoverage& t = tiles[k];
        if (!(t.cell > 0) || !t.cols || !t.rows) continue;
        if (cell == 0) cell = t.cell;
        if (t.cell == cell) order.push_back(static_cast<std::uint32_t>(k));
    }
    std::sort(order.begin(), order.end(), [&](std::uint32_t p, std::uint32_t q) { return tiles[p].row0 < tiles[q].row0; });

    Sweep s;
    auto finish = [&](const Part& p) {
        const double area = static_cast<double>(p.cells) * cell * cell;
        if (p.edge || area < min_area) return;
        Void v;
        v.min_x = static_cast<double>(p.c0) * cell, v.max_x = static_cast<double>(p.c1 + 1) * cell;
        v.min_y = static_cast<double>(p.r0) * cell, v.max_y = static_cast<double>(p.r1 + 1) * cell;
        v.area = area;
        v.cells = p.cells;
        for (std::uint32_t t : p.tiles) v.files.push_back(tiles[t].file);
        std::sort(v.files.begin(), v.files.end());
        out.push_back(std::move(v));
    };

    // Rows are swept upward, each as intervals of columns: those inside
    // some tile's grid, those some tile covers, and the empty rest, joined
    // to the empty runs of the row below where they share a column.
    std::vector<std::uint32_t> active;  // tiles holding the row, by first column
    std::vector<Interval> in_row, in_below, covered;
    std::vector<Run> runs, below;
    std::int64_t widest = 0;
    std::size_t next = 0;
    std::int64_t y = order.empty() ? 0 : tiles[order[0]].row0;
    for (;;) {
        const auto ended = std::remove_if(active.begin(), active.end(), [&](std::uint32_t t) {
            return tiles[t].row0 + static_cast<std::int64_t>(tiles[t].rows) <= y;
        });
        bool changed = ended != active.end();
        active.erase(ended, active.end());
        for (; next < order.size() && tiles[order[next]].row0 <= y; ++next, changed = true) active.push_back(order[next]);
        if (active.empty()) {
            // A row no tile holds: the runs below it are on the edge.
            for (const Run& r : below) s.mark_edge(r.part);
            below.clear();
            in_below.clear();
            if (next == order.size()) break;
            y = tiles[order[next]].row0;
            continue;
        }
        if (changed) {
            std::sort(active.begin(), active.end(), [&](std::uint32_t p, std::uint32_t q) { return tiles[p].col0 < tiles[q].col0; });
            widest = 0;
            for (std::uint32_t t : active) widest = std::max<std::int64_t>(widest, tiles[t].cols);
        }

        in_row.clear();
        covered.clear();
        for (std::uint32_t t : active) {
            const TileCoverage& c = tiles[t];
            in_row.push_back({c.col0, c.col0 + c.cols});
            const std::size_t r = static_cast<std::size_t>(y - c.row0);
            std::uint32_t at = 0;
            if (!c.row_start.empty())
                for (std::uint32_t k = c.row_start[r]; k < c.row_start[r + 1]; k += 2) {
                    if (c.runs[k] > at) covered.push_back({c.col0 + at, c.col0 + c.runs[k]});
                    at = c.runs[k + 1];
                }
            if (at < c.cols) covered.push_back({c.col0 + at, c.col0 + c.cols});
        }
        merge(in_row);
        merge(covered);

        runs.clear();
        std::size_t j = 0;
        for (const Interval& in : in_row) {
            std::int64_t at = in.a;
            auto add = [&](std::int64_t a, std::int64_t b) {
                const auto id = static_cast<std::uint32_t>(s.parts.size());
                Part p{id, a == in.a || b == in.b || !inside(in_below, a, b), static_cast<std::uint64_t>(b - a), a, b - 1, y, y, {}};
                if (!p.edge) {
                    auto t = std::lower_bound(active.begin(), active.end(), a - widest,
                                              [&](std::uint32_t x, std::int64_t v) { return tiles[x].col0 <= v; });
                    for (; t != active.end() && tiles[*t].col0 < b; ++t)
                        if (tiles[*t].col0 + tiles[*t].cols > a) p.tiles.push_back(*t);
                    std::sort(p.tiles.begin(), p.tiles.end());
                }
                s.parts.push_back(std::move(p));
                runs.push_back({a, b, id});
            };
            for (; j < covered.size() && covered[j].a < in.b; ++j) {
                if (covered[j].a > at) add(at, covered[j].a);
                at = covered[j].b;
            }
            if (at < in.b) add(at, in.b);
        }
        for (const Run& r : below)
            if (!inside(in_row, r.a, r.b)) s.mark_edge(r.part);
        for (std::size_t p = 0, q = 0; p < below.size() && q < runs.size();) {
            if (below[p].b <= runs[q].a) ++p;
            else if (runs[q].b <= below[p].a) ++q;
            else {
                s.join(below[p].part, runs[q].part);
                below[p].b < runs[q].b ? ++p : ++q;
            }
        }
        std::swap(below, runs);
        std::swap(in_below, in_row);

        // Parts the row just swept does not reach are whole: judged and
        // let go, so what is kept follows a row rather than the delivery.
        if (s.parts.size() > 4 * below.size() + 4096) {
            std::vector<std::uint32_t> live(s.parts.size(), UINT32_MAX);
            std::vector<Part> kept;
            for (Run& r : below) {
                const std::uint32_t root = s.find(r.part);
                if (live[root] == UINT32_MAX) {
                    live[root] = static_cast<std::uint32_t>(kept.size());
                    kept.push_back(std::move(s.parts[root]));
                    kept.back().parent = live[root];
                }
                r.part = live[root];
            }
            for (std::uint32_t p = 0; p < s.parts.size(); ++p)
                if (s.parts[p].parent == p && live[p] == UINT32_MAX) finish(s.parts[p]);
            s.parts = std::move(kept);
        }

        ++y;
    }
    for (std::uint32_t p = 0; p < s.parts.size(); ++p)
        if (s.parts[p].parent == p) finish(s.parts[p]);
    std::sort(out.begin(), out.end(), [](const Void& a, const Void& b) {
        return std::tie(a.min_y, a.min_x) < std::tie(b.min_y, b.min_x);
    });
    return out;
}

}  // namespace audit
