// AVX2/FMA/F16C kernels for bit sets and probability distributions.

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels/haswell_kernels2.h"

namespace vemo {
namespace korvane {

namespace {

inline std::uint64_t load_u64(std::uint8_t const* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof(word));
    return word;
}

} // namespace

void haswell_hamming_b8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    auto const* a_bytes = static_cast<std::uint8_t const*>(a);
    auto const* b_bytes = static_cast<std::uint8_t const*>(b);
    std::uint64_t differences = 0, i = 0;
    for (; i + 8 <= n; i += 8)
        differences += static_cast<std::uint64_t>(_mm_popcnt_u64(load_u64(a_bytes + i) ^ load_u64(b_bytes + i)));
    for (; i != n; ++i)
        differences += static_cast<std::uint64_t>(_mm_popcnt_u32(static_cast<unsigned>(a_bytes[i] ^ b_bytes[i])));
    *result = static_cast<vexlane_distance_t>(differences);
}

void haswell_jaccard_b8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    auto const* a_bytes = static_cast<std::uint8_t const*>(a);
    auto const* b_bytes = static_cast<std::uint8_t const*>(b);
    std::uint64_t intersection = 0, union_ = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t const a_word = load_u64(a_bytes + i), b_word = load_u64(b_bytes + i);
        intersection += static_cast<std::uint64_t>(_mm_popcnt_u64(a_word & b_word));
        union_ += static_cast<std::uint64_t>(_mm_popcnt_u64(a_word | b_word));
    }
    for (; i != n; ++i) {
        intersection += static_cast<std::uint64_t>(_mm_popcnt_u32(static_cast<unsigned>(a_bytes[i] & b_bytes[i])));
        union_ += static_cast<std::uint64_t>(_mm_popcnt_u32(static_cast<unsigned>(a_bytes[i] | b_bytes[i])));
    }
    *result = union_ == 0 ? 1.0 : 1.0 - static_cast<double>(intersection) / static_cast<double>(union_);
}

} // namespace korvane
} // namespace vemo
