#include "LiDAR.h"

#include <cstddef>
#include <utility>

namespace {

// One partitioning step around the value at the lower middle position.
// Elements equal to the pivot stop both scans and are exchanged, which
// splits runs of equal values evenly. For doubles the comparisons are the
// ordered ones: a NaN compares false and so stops a scan as an equal value
// does. On return j < i; the ranges still to sort are left..j and i..right.
template <class T>
void partition(T* p, int32_t* p_ind, std::ptrdiff_t left, std::ptrdiff_t right,
               std::ptrdiff_t& i_out, std::ptrdiff_t& j_out) {
    const T v = p[left + (right - left) / 2];
    std::ptrdiff_t i = left, j = right;
    do {
        while (p[i] < v && i < right) ++i;
        while (p[j] > v && j > left) --j;
        if (i <= j) {
            std::swap(p[i], p[j]);
            std::swap(p_ind[i], p_ind[j]);
            ++i;
            --j;
        }
    } while (i <= j);
    i_out = i;
    j_out = j;
}

// The two sub-ranges are disjoint, so sorting them in either order leaves the
// same arrays. Recursing into the smaller and looping on the larger keeps the
// stack at about log2 of the range length whatever the input.
template <class T>
void sort_range(T* p, int32_t* p_ind, std::ptrdiff_t left, std::ptrdiff_t right) {
    while (left < right) {
        std::ptrdiff_t i, j;
        partition(p, p_ind, left, right, i, j);
        if (j - left < right - i) {
            sort_range(p, p_ind, left, j);
            left = i;
        } else {
            sort_range(p, p_ind, i, right);
            right = j;
        }
    }
}

template <class T>
void sort_all(T* p, int32_t count, int32_t* p_ind) {
    if (count > 0) sort_range(p, p_ind, 0, count - 1);
}

}  // namespace

void l_quicksort(int32_t* p, int32_t count, int32_t* p_ind) { sort_all(p, count, p_ind); }
void l_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind) { sort_range(p, p_ind, left, right); }
void d_quicksort(double* p, int32_t count, int32_t* p_ind) { sort_all(p, count, p_ind); }
void d_qs(double* p, int32_t left, int32_t right, int32_t* p_ind) { sort_range(p, p_ind, left, right); }

// The depth-counting entries partition exactly as the plain ones, so which
// routine handles a level never changes the arrays: they share the one sort,
// and the depth is kept in their signatures for the family's callers.
void l_parallel_quicksort(int32_t* p, int32_t count, int32_t* p_ind) { sort_all(p, count, p_ind); }
void l_parallel_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind, int32_t /*deep*/) {
    sort_range(p, p_ind, left, right);
}
void d_parallel_quicksort(double* p, int32_t count, int32_t* p_ind) { sort_all(p, count, p_ind); }
void d_parallel_qs(double* p, int32_t left, int32_t right, int32_t* p_ind, int32_t /*deep*/) {
    sort_range(p, p_ind, left, right);
}
