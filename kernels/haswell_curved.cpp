// AVX2/FMA/F16C curved-space kernels on halves and bfloat16: the bilinear form a^T C b and the Mahalanobis
// distance. Rows are walked one at a time over full 8-column blocks; the n mod 8 last columns of every row are taken
// afterwards in a second pass through zero-padded blocks, so no load reaches past the matrix or either vector.

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/half.h"
#include "kernels/haswell_kernels2.h"

namespace vemo {
namespace korvane {

namespace {

struct f16_lanes_t {
    static __m256 load8(std::uint16_t const* values) noexcept {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(values)));
    }
    static float widen(std::uint16_t value) noexcept { return f16_to_f32(value); }
};

struct bf16_lanes_t {
    static __m256 load8(std::uint16_t const* values) noexcept {
        __m256i const wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(values)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
    }
    static float widen(std::uint16_t value) noexcept { return bf16_to_f32(value); }
};

/// Copies the `count` (0 to 7) last values of a row or vector into a zeroed block of 8 and widens it.
template <typename lanes_at> __m256 load_partial8(std::uint16_t const* values, std::uint64_t count) noexcept {
    std::uint16_t block[8] = {};
    std::memcpy(block, values, count * sizeof(std::uint16_t));
    return lanes_at::load8(block);
}

/// Sum of the 8 lanes, added in 64-bit.
inline double reduce_f32x8(__m256 lanes) noexcept {
    __m256d const sum = _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(lanes)),
                                      _mm256_cvtps_pd(_mm256_extractf128_ps(lanes, 1)));
    __m128d const pair = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

/// The form x^T C y in 32-bit lanes, with x = a and y = b (bilinear) or x = y = a - b (Mahalanobis).
template <typename lanes_at, bool difference_ak>
float curved_form(void const* a, void const* b, void const* c, std::uint64_t n) noexcept {
    auto const* a_values = static_cast<std::uint16_t const*>(a);
    auto const* b_values = static_cast<std::uint16_t const*>(b);
    auto const* matrix = static_cast<std::uint16_t const*>(c);
    std::uint64_t const full = n - n % 8;

    // The column vector y: b, or a - b; and the weight of row i: a_i, or a_i - b_i.
    auto const column_block = [&](std::uint64_t j) noexcept {
        if constexpr (difference_ak)
            return _mm256_sub_ps(lanes_at::load8(a_values + j), lanes_at::load8(b_values + j));
        else
            return lanes_at::load8(b_values + j);
    };
    auto const column_tail = [&](std::uint64_t j, std::uint64_t count) noexcept {
        if constexpr (difference_ak)
            return _mm256_sub_ps(load_partial8<lanes_at>(a_values + j, count),
                                 load_partial8<lanes_at>(b_values + j, count));
        else
            return load_partial8<lanes_at>(b_values + j, count);
    };
    auto const row_weight = [&](std::uint64_t i) noexcept {
        float const a_i = lanes_at::widen(a_values[i]);
        return _mm256_set1_ps(difference_ak ? a_i - lanes_at::widen(b_values[i]) : a_i);
    };

    __m256 sum = _mm256_setzero_ps();
    if (full != 0)
        for (std::uint64_t i = 0; i != n; ++i) {
            std::uint16_t const* row = matrix + i * n;
            __m256 row_sum = _mm256_setzero_ps();
            for (std::uint64_t j = 0; j != full; j += 8) {
                row_sum = _mm256_fmadd_ps(lanes_at::load8(row + j), column_block(j), row_sum);
            }
            sum = _mm256_fmadd_ps(row_weight(i), row_sum, sum);
        }

    std::uint64_t const tail = n - full;
    if (tail != 0) {
        __m256 const y = column_tail(full, tail);
        for (std::uint64_t i = 0; i != n; ++i) {
            __m256 const row_block = _mm256_mul_ps(load_partial8<lanes_at>(matrix + i * n + full, tail), y);
            sum = _mm256_fmadd_ps(row_weight(i), row_block, sum);
        }
    }
    return static_cast<float>(reduce_f32x8(sum));
}

} // namespace

void haswell_bilinear_f16(void const* a, void const* b, void const* c, std::uint64_t n,
                          vexlane_distance_t* result) noexcept {
    *result = static_cast<vexlane_distance_t>(curved_form<f16_lanes_t, false>(a, b, c, n));
}

void haswell_bilinear_bf16(void const* a, void const* b, void const* c, std::uint64_t n,
                           vexlane_distance_t* result) noexcept {
    *result = static_cast<vexlane_distance_t>(curved_form<bf16_lanes_t, false>(a, b, c, n));
}

void haswell_mahalanobis_f16(void const* a, void const* b, void const* c, std::uint64_t n,
                             vexlane_distance_t* result) noexcept {
    *result = static_cast<vexlane_distance_t>(std::sqrt(curved_form<f16_lanes_t, true>(a, b, c, n)));
}

void haswell_mahalanobis_bf16(void const* a, void const* b, void const* c, std::uint64_t n,
                              vexlane_distance_t* result) noexcept {
    *result = static_cast<vexlane_distance_t>(std::sqrt(curved_form<bf16_lanes_t, true>(a, b, c, n)));
}

} // namespace korvane
} // namespace vemo
