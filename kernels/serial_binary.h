#pragma once
// Portable bit-set kernels on packed bytes (b8): Hamming distance and Jaccard distance.

#include <cstdint>

#include "kernels/kernel_lookup.h"
#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

struct byte_popcount_table_t {
    std::uint8_t counts[256];
    constexpr byte_popcount_table_t() noexcept : counts() {
        for (unsigned k = 0; k != 256; ++k)
            counts[k] = static_cast<std::uint8_t>((k & 1u) + ((k >> 1) & 1u) + ((k >> 2) & 1u) + ((k >> 3) & 1u) +
                                                  ((k >> 4) & 1u) + ((k >> 5) & 1u) + ((k >> 6) & 1u) + (k >> 7));
    }
};

/// Number of set bits of every byte value.
inline constexpr byte_popcount_table_t byte_popcount_table{};

// The counters are 64-bit: a 32-bit count of bits wraps once the vectors reach 2^29 bytes.

template <math_mode_t mode_ak>
void serial_hamming_b8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    auto const* a_bytes = static_cast<std::uint8_t const*>(a);
    auto const* b_bytes = static_cast<std::uint8_t const*>(b);
    std::uint64_t differences = 0;
    for (std::uint64_t i = 0; i != n; ++i)
        differences += byte_popcount_table.counts[a_bytes[i] ^ b_bytes[i]];
    *result = static_cast<vexlane_distance_t>(differences);
}

template <math_mode_t mode_ak>
void serial_jaccard_b8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    auto const* a_bytes = static_cast<std::uint8_t const*>(a);
    auto const* b_bytes = static_cast<std::uint8_t const*>(b);
    std::uint64_t intersection = 0, union_ = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        intersection += byte_popcount_table.counts[a_bytes[i] & b_bytes[i]];
        union_ += byte_popcount_table.counts[a_bytes[i] | b_bytes[i]];
    }
    // An empty union stores 1 instead of dividing 0 by 0.
    *result = union_ == 0 ? 1.0
                          : 1.0 - static_cast<double>(intersection) / static_cast<double>(union_);
}

} // namespace korvane
} // namespace vemo
