// Index-carrying sorts: exact final value and index arrays against a plain
// recursive reference for every entry point, the depth-counting ones included,
// and an input that defeats the middle pivot sorted on a small stack.
#include "LiDAR.h"
#include "sanitized.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <pthread.h>
#include <random>
#include <vector>

namespace {

// The partition of the family's sort, recursing left then right, with the
// deepest level it reached.
template <class T, class Less>
void ref_qs(T* p, int32_t left, int32_t right, int32_t* ind, Less less, int depth, int& max_depth) {
    if (depth > max_depth) max_depth = depth;
    const T v = p[(left + right) / 2];
    int32_t i = left, j = right;
    do {
        while (less(p[i], v) && i < right) ++i;
        while (less(v, p[j]) && j > left) --j;
        if (i <= j) {
            std::swap(p[i], p[j]);
            std::swap(ind[i], ind[j]);
            ++i;
            --j;
        }
    } while (i <= j);
    if (left < j) ref_qs(p, left, j, ind, less, depth + 1, max_depth);
    if (i < right) ref_qs(p, i, right, ind, less, depth + 1, max_depth);
}

template <class T>
struct Sorted {
    std::vector<T> v;
    std::vector<int32_t> ind;
};

// Values compared by their bits, so -0.0 differs from 0.0 and NaN equals NaN.
template <class T>
std::vector<uint64_t> bits(const std::vector<T>& v) {
    std::vector<uint64_t> b(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) std::memcpy(&b[k], &v[k], sizeof(T));
    return b;
}

template <class T>
void expect_same(const Sorted<T>& got, const Sorted<T>& want, const char* what) {
    EXPECT_EQ(bits(got.v), bits(want.v)) << what;
    EXPECT_EQ(got.ind, want.ind) << what;
}

template <class T>
Sorted<T> reference(std::vector<T> v, int* depth = nullptr) {
    std::vector<int32_t> ind(v.size());
    std::iota(ind.begin(), ind.end(), 0);
    int max_depth = 0;
    if (!v.empty())
        ref_qs(v.data(), 0, int32_t(v.size()) - 1, ind.data(), [](T a, T b) { return a < b; }, 0, max_depth);
    if (depth) *depth = max_depth;
    return {v, ind};
}

// The eight routines seen as four ways to sort a whole array of either type.
void whole(int32_t* p, int32_t n, int32_t* ind, int way, int32_t deep) {
    switch (way) {
        case 0: l_quicksort(p, n, ind); break;
        case 1: l_qs(p, 0, n - 1, ind); break;
        case 2: l_parallel_quicksort(p, n, ind); break;
        default: l_parallel_qs(p, 0, n - 1, ind, deep); break;
    }
}
void whole(double* p, int32_t n, int32_t* ind, int way, int32_t deep) {
    switch (way) {
        case 0: d_quicksort(p, n, ind); break;
        case 1: d_qs(p, 0, n - 1, ind); break;
        case 2: d_parallel_quicksort(p, n, ind); break;
        default: d_parallel_qs(p, 0, n - 1, ind, deep); break;
    }
}
const char* const kWay[] = {"quicksort", "qs", "parallel_quicksort", "parallel_qs"};

template <class T>
Sorted<T> sorted_by(std::vector<T> v, int way, int32_t deep = 15) {
    std::vector<int32_t> ind(v.size());
    std::iota(ind.begin(), ind.end(), 0);
    whole(v.data(), int32_t(v.size()), ind.data(), way, deep);
    return {v, ind};
}

template <class T>
void expect_all_ways(const std::vector<T>& in, const Sorted<T>& want) {
    for (int way = 0; way < 4; ++way)
        for (int32_t deep : {15, 0, 3, 40, -1}) {
            if (way != 3 && deep != 15) continue;
            SCOPED_TRACE(testing::Message() << kWay[way] << " deep " << deep << " n " << in.size());
            expect_same(sorted_by(in, way, deep), want, "");
        }
}

// Runs fn on a thread with the given stack size; an unbounded recursion
// there ends the whole test program.
void on_stack(std::size_t bytes, const std::function<void()>& fn) {
    pthread_attr_t a;
    pthread_attr_init(&a);
    ASSERT_EQ(pthread_attr_setstacksize(&a, bytes), 0);
    pthread_t t;
    auto run = +[](void* f) -> void* {
        (*static_cast<const std::function<void()>*>(f))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&t, &a, run, const_cast<std::function<void()>*>(&fn)), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&a);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Sort, ExamplesGiveTheseExactValuesAndIndices) {
    struct Case {
        std::vector<int32_t> in, out, ind;
    };
    const int32_t lo = INT32_MIN, hi = INT32_MAX;
    const Case cases[] = {
        {{3, 1, 2}, {1, 2, 3}, {1, 2, 0}},
        {{2, 1}, {1, 2}, {1, 0}},
        {{1, 2}, {1, 2}, {0, 1}},
        {{7}, {7}, {0}},
        {{5, 5, 5}, {5, 5, 5}, {2, 1, 0}},
        {{4, 4, 4, 4}, {4, 4, 4, 4}, {2, 3, 0, 1}},
        {{2, 1, 2, 1, 2}, {1, 1, 2, 2, 2}, {3, 1, 4, 0, 2}},
        {{5, 4, 3, 2, 1}, {1, 2, 3, 4, 5}, {4, 3, 2, 1, 0}},
        {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, {0, 1, 2, 3, 4, 5}},
        {{hi, 0, lo, -1, 1}, {lo, -1, 0, 1, hi}, {2, 3, 1, 4, 0}},
    };
    for (const Case& c : cases) {
        expect_all_ways(c.in, Sorted<int32_t>{c.out, c.ind});
        expect_same(reference(c.in), Sorted<int32_t>{c.out, c.ind}, "reference");
    }
    expect_all_ways<double>({kNaN, 2.0, 1.0, 0.0}, {{0.0, 1.0, kNaN, 2.0}, {3, 2, 0, 1}});
    expect_all_ways<double>({0.0, -0.0}, {{-0.0, 0.0}, {1, 0}});
}

TEST(Sort, EmptyAndReversedRangesAreNotTouched) {
    // Null arrays: any read or write would crash.
    for (int32_t n : {0, -1, INT32_MIN}) {
        l_quicksort(nullptr, n, nullptr);
        d_quicksort(nullptr, n, nullptr);
        l_parallel_quicksort(nullptr, n, nullptr);
        d_parallel_quicksort(nullptr, n, nullptr);
    }
    l_qs(nullptr, 5, 4, nullptr);
    d_qs(nullptr, 1, 0, nullptr);
    l_parallel_qs(nullptr, 5, 4, nullptr, 15);
    d_parallel_qs(nullptr, INT32_MAX, 0, nullptr, -1);

    // A range sort leaves everything outside the range alone.
    std::vector<int32_t> v = {9, 8, 7, 6, 5, 4, 3, 2}, ind = {0, 1, 2, 3, 4, 5, 6, 7};
    l_qs(v.data(), 2, 5, ind.data());
    EXPECT_EQ(v, (std::vector<int32_t>{9, 8, 4, 5, 6, 7, 3, 2}));
    EXPECT_EQ(ind, (std::vector<int32_t>{0, 1, 5, 4, 3, 2, 6, 7}));
}

TEST(Sort, RandomInputsMatchTheReferenceBitForBit) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 60; ++round) {
        const int n = round < 40 ? int(rng() % 64) + 1 : int(rng() % 20000) + 1;
        const int spread = 1 + int(rng() % (round % 3 == 0 ? 4 : 1000));  // often many duplicates
        std::vector<int32_t> li(n);
        std::vector<double> di(n);
        for (int k = 0; k < n; ++k) {
            li[k] = int32_t(rng() % spread) - spread / 2;
            switch (rng() % 8) {
                case 0: di[k] = kNaN; break;
                case 1: di[k] = -0.0; break;
                case 2: di[k] = 0.0; break;
                default: di[k] = li[k] * 0.5; break;
            }
        }
        expect_all_ways(li, reference(li));
        expect_all_ways(di, reference(di));
    }
}

// McIlroy's adversary against this partition: values are fixed only as the
// comparisons demand, always making the pivot lose. With the long part on
// the left each pivot becomes the largest value of its range, on the right
// the smallest; either way a level cuts one element off the range, and a
// sort that recurses into the long part instead of the short one runs out
// of a small stack.
std::vector<int32_t> middle_pivot_killer(int32_t n, bool long_part_right) {
    const int32_t gas = long_part_right ? n : -1;  // beyond every fixed value
    const int32_t step = long_part_right ? 1 : -1;
    std::vector<int32_t> val(n, gas);
    int32_t next = long_part_right ? 0 : n - 1, candidate = -1;
    auto less = [&](int32_t x, int32_t y) {
        if (val[x] == gas && val[y] == gas) {
            val[x == candidate ? x : y] = next;
            next += step;
        }
        if (val[x] == gas) candidate = x;
        else if (val[y] == gas) candidate = y;
        return val[x] < val[y];
    };
    std::vector<int32_t> items(n), ind(n);
    std::iota(items.begin(), items.end(), 0);
    int depth = 0;
    ref_qs(items.data(), 0, n - 1, ind.data(), less, 0, depth);
    return val;
}

TEST(Sort, InputThatDefeatsTheMiddlePivotSortsOnASmallStack) {
    // The reference sort takes quadratic time on this input: a sanitizer's
    // build, twenty times slower, sorts a quarter as many.
    const int32_t n = LASTEST_SANITIZED ? 8192 : 16384;
    for (bool long_part_right : {false, true}) {
        SCOPED_TRACE(long_part_right ? "long part on the right" : "long part on the left");
        std::vector<int32_t> in;
        Sorted<int32_t> want;
        int depth = 0;
        on_stack(std::size_t(512) << 20, [&] {
            in = middle_pivot_killer(n, long_part_right);
            want = reference(in, &depth);
        });
        ASSERT_GT(depth, n / 4) << "the input is not adversarial";

        std::vector<double> din(in.begin(), in.end());
        Sorted<double> dwant{std::vector<double>(want.v.begin(), want.v.end()), want.ind};
        for (int way = 0; way < 4; ++way) {
            Sorted<int32_t> l;
            Sorted<double> d;
            on_stack(64 << 10, [&] {
                l = sorted_by(in, way, -1);
                d = sorted_by(din, way, -1);
            });
            expect_same(l, want, kWay[way]);
            expect_same(d, dwant, kWay[way]);
        }
    }
}

}  // namespace
