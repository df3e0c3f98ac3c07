// AVX2/FMA/F16C kernels for bit sets and probability distributions.

#include <immintrin.h>

#include <cmath>
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

/// Added to every probability so that zeros give finite ratios (the 32-bit rounding of 1e-7).
constexpr float divergence_epsilon_f32 = 1.00000001e-07f;

/// 8 halves starting at `halves`, widened; `count` (1 to 8) of them are read, the missing lanes are zero.
inline __m256 load_f16x8(std::uint16_t const* halves, std::uint64_t count) noexcept {
    if (count >= 8)
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(halves)));
    std::uint16_t block[8] = {};
    std::memcpy(block, halves, count * sizeof(std::uint16_t));
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(block)));
}

/// x / d as x times the processor's approximate reciprocal of d after one Newton step.
inline __m256 divide_approx(__m256 x, __m256 d) noexcept {
    __m256 const r = _mm256_rcp_ps(d);
    __m256 const refined = _mm256_sub_ps(_mm256_add_ps(r, r), _mm256_mul_ps(r, _mm256_mul_ps(r, d)));
    return _mm256_mul_ps(x, refined);
}

/// Base-2 logarithm of positive normal x: exponent plus a fifth-degree polynomial of the mantissa in [1, 2).
inline __m256 log2_approx(__m256 x) noexcept {
    __m256i const bits = _mm256_castps_si256(x);
    __m256 const exponent = _mm256_cvtepi32_ps(_mm256_sub_epi32(
        _mm256_and_si256(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(0xFF)), _mm256_set1_epi32(127)));
    __m256 const mantissa = _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF)),
                                                                _mm256_set1_epi32(0x3F800000)));
    __m256 p = _mm256_fmadd_ps(_mm256_set1_ps(-0.034436006f), mantissa, _mm256_set1_ps(0.31821337f));
    p = _mm256_fmadd_ps(p, mantissa, _mm256_set1_ps(-1.2315303f));
    p = _mm256_fmadd_ps(p, mantissa, _mm256_set1_ps(2.5988452f));
    p = _mm256_fmadd_ps(p, mantissa, _mm256_set1_ps(-3.324199f));
    p = _mm256_fmadd_ps(p, mantissa, _mm256_set1_ps(3.1157899f));
    return _mm256_fmadd_ps(p, _mm256_sub_ps(mantissa, _mm256_set1_ps(1.0f)), exponent);
}

/// Sum of the 8 lanes, added in 64-bit.
inline double reduce_f32x8(__m256 lanes) noexcept {
    __m256d const sum = _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(lanes)),
                                      _mm256_cvtps_pd(_mm256_extractf128_ps(lanes, 1)));
    __m128d const pair = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

/// Accumulates (a + eps) * log2((a + eps) / (b + eps)) per lane.
inline __m256 kl_step(__m256 sum, __m256 a, __m256 b) noexcept {
    __m256 const epsilon = _mm256_set1_ps(divergence_epsilon_f32);
    __m256 const a_shifted = _mm256_add_ps(a, epsilon), b_shifted = _mm256_add_ps(b, epsilon);
    return _mm256_fmadd_ps(a_shifted, log2_approx(divide_approx(a_shifted, b_shifted)), sum);
}

/// Accumulates a * log2((a + eps) / M) + b * log2((b + eps) / M) with M = (a + b) / 2 + eps per lane.
inline __m256 js_step(__m256 sum, __m256 a, __m256 b) noexcept {
    __m256 const epsilon = _mm256_set1_ps(divergence_epsilon_f32);
    __m256 const a_shifted = _mm256_add_ps(a, epsilon), b_shifted = _mm256_add_ps(b, epsilon);
    __m256 const mean = _mm256_fmadd_ps(_mm256_add_ps(a, b), _mm256_set1_ps(0.5f), epsilon);
    sum = _mm256_fmadd_ps(a, log2_approx(divide_approx(a_shifted, mean)), sum);
    return _mm256_fmadd_ps(b, log2_approx(divide_approx(b_shifted, mean)), sum);
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

void haswell_kl_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    auto const* a_halves = static_cast<std::uint16_t const*>(a);
    auto const* b_halves = static_cast<std::uint16_t const*>(b);
    __m256 sum = _mm256_setzero_ps();
    for (std::uint64_t i = 0; i < n; i += 8)
        sum = kl_step(sum, load_f16x8(a_halves + i, n - i), load_f16x8(b_halves + i, n - i));
    float const divergence = static_cast<float>(reduce_f32x8(sum)) * 0.693147182f;
    *result = static_cast<vexlane_distance_t>(divergence);
}

void haswell_js_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    auto const* a_halves = static_cast<std::uint16_t const*>(a);
    auto const* b_halves = static_cast<std::uint16_t const*>(b);
    __m256 sum = _mm256_setzero_ps();
    for (std::uint64_t i = 0; i < n; i += 8)
        sum = js_step(sum, load_f16x8(a_halves + i, n - i), load_f16x8(b_halves + i, n - i));
    float const divergence = static_cast<float>(reduce_f32x8(sum)) * 0.346573591f;
    *result = divergence > 0.0f ? static_cast<vexlane_distance_t>(std::sqrt(divergence)) : 0.0;
}

} // namespace korvane
} // namespace vemo
