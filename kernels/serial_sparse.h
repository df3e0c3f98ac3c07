#pragma once
// Portable intersection of two sorted identifier sets (u16, u32). Both math modes give the same code: the count
// involves no square roots or logarithms; the template parameter only keeps the naming uniform with the other
// serial kernels.

#include <cstdint>

#include "kernels/kernel_lookup.h"
#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

/// Counts the common members of two strictly increasing arrays. When the longer array is at least 64 times the
/// shorter one, each member of the shorter array is found by an exponential then a binary search from the position
/// of the previous one; otherwise the two arrays are merged. Unsorted input gives some count, but no element outside
/// either array is ever read.
template <typename id_at>
std::uint64_t intersect_count_(id_at const* a, id_at const* b, std::uint64_t a_length,
                               std::uint64_t b_length) noexcept {
    // Equal lengths take a as the shorter set.
    id_at const* shorter = a_length <= b_length ? a : b;
    id_at const* longer = a_length <= b_length ? b : a;
    std::uint64_t const s = a_length <= b_length ? a_length : b_length;
    std::uint64_t const l = a_length <= b_length ? b_length : a_length;
    std::uint64_t count = 0;
    if (s == 0)
        return 0;

    if (l < (s << 6)) {
        std::uint64_t i = 0, j = 0;
        while (i < s && j < l) {
            id_at const x = shorter[i], y = longer[j];
            count += x == y;
            if (x < y)
                ++i;
            else
                ++j;
        }
        return count;
    }

    // p is the first position of the longer array that may still hold a member; it only moves forward.
    std::uint64_t p = 0;
    for (std::uint64_t i = 0; i < s && p < l; ++i) {
        id_at const x = shorter[i];
        std::uint64_t hi = p + 1;
        while (hi < l && longer[hi] < x) {
            p = hi;
            hi = 2 * hi < l ? 2 * hi : l;
        }
        while (p < hi) {
            std::uint64_t const mid = p + (hi - p) / 2;
            if (longer[mid] < x)
                p = mid + 1;
            else
                hi = mid;
        }
        if (p < l && longer[p] == x)
            ++count;
    }
    return count;
}

template <math_mode_t mode_ak>
void serial_intersect_u16(void const* a, void const* b, std::uint64_t a_length, std::uint64_t b_length,
                          vexlane_distance_t* result) noexcept {
    *result = static_cast<vexlane_distance_t>(intersect_count_(static_cast<std::uint16_t const*>(a),
                                                               static_cast<std::uint16_t const*>(b), a_length,
                                                               b_length));
}

template <math_mode_t mode_ak>
void serial_intersect_u32(void const* a, void const* b, std::uint64_t a_length, std::uint64_t b_length,
                          vexlane_distance_t* result) noexcept {
    *result = static_cast<vexlane_distance_t>(intersect_count_(static_cast<std::uint32_t const*>(a),
                                                               static_cast<std::uint32_t const*>(b), a_length,
                                                               b_length));
}

} // namespace korvane
} // namespace vemo
