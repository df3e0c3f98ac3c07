// AVX2/FMA/F16C elementwise kernels: weighted sums and scaled products, 4 doubles or 8 narrower elements per step.
// Narrow datatypes compute in 32-bit floats with the weights narrowed once, one fused multiply-add per element.
// Full blocks store the way the processor converts (halves and bytes round to nearest even, bfloat16 truncates);
// the last n mod 8 elements go one by one through the portable stores (ties away from zero), so nothing is read or
// written past the end of any array.

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernels/haswell_kernels2.h"
#include "kernels/kernels2_scalar_io.h"

namespace vemo {
namespace korvane {

namespace {

struct f32_lanes_t {
    using scalar_t = float;
    using io_t = f32_io_t;
    static constexpr bool is_byte = false;
    static __m256 load8(float const* values) noexcept { return _mm256_loadu_ps(values); }
    static void store8(__m256 lanes, float* values) noexcept { _mm256_storeu_ps(values, lanes); }
};

struct f16_lanes_t {
    using scalar_t = std::uint16_t;
    using io_t = f16_io_t;
    static constexpr bool is_byte = false;
    static __m256 load8(std::uint16_t const* values) noexcept {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(values)));
    }
    static void store8(__m256 lanes, std::uint16_t* values) noexcept {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values),
                         _mm256_cvtps_ph(lanes, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }
};

struct bf16_lanes_t {
    using scalar_t = std::uint16_t;
    using io_t = bf16_io_t;
    static constexpr bool is_byte = false;
    static __m256 load8(std::uint16_t const* values) noexcept {
        __m256i const wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(values)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
    }
    /// Keeps the upper 16 bits of every lane (truncation).
    static void store8(__m256 lanes, std::uint16_t* values) noexcept {
        __m256i const upper = _mm256_srli_epi32(_mm256_castps_si256(lanes), 16);
        __m128i const packed = _mm_packus_epi32(_mm256_castsi256_si128(upper), _mm256_extracti128_si256(upper, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values), packed);
    }
};

/// Lanes rounded to nearest even and clamped to [low, high] as 32-bit integers; NaN lanes become 0. The clamp comes
/// before the conversion, so that magnitudes beyond 2^31 saturate instead of wrapping to the integer minimum.
inline __m256i round_clamped(__m256 lanes, float low, float high) noexcept {
    __m256 const ordered = _mm256_and_ps(lanes, _mm256_cmp_ps(lanes, lanes, _CMP_ORD_Q));
    __m256 const clamped = _mm256_min_ps(_mm256_max_ps(ordered, _mm256_set1_ps(low)), _mm256_set1_ps(high));
    return _mm256_cvttps_epi32(_mm256_round_ps(clamped, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}

struct i8_lanes_t {
    using scalar_t = std::int8_t;
    using io_t = i8_io_t;
    static constexpr bool is_byte = true;
    static __m256 load8(std::int8_t const* values) noexcept {
        return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<__m128i const*>(values))));
    }
    static void store8(__m256 lanes, std::int8_t* values) noexcept {
        __m256i const integers = round_clamped(lanes, -128.0f, 127.0f);
        __m128i const words = _mm_packs_epi32(_mm256_castsi256_si128(integers), _mm256_extracti128_si256(integers, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(values), _mm_packs_epi16(words, words));
    }
    static __m256i add_saturated32(__m256i a, __m256i b) noexcept { return _mm256_adds_epi8(a, b); }
    static std::int8_t add_saturated(std::int8_t a, std::int8_t b) noexcept {
        int const sum = a + b;
        return static_cast<std::int8_t>(sum > 127 ? 127 : sum < -128 ? -128 : sum);
    }
};

struct u8_lanes_t {
    using scalar_t = std::uint8_t;
    using io_t = u8_io_t;
    static constexpr bool is_byte = true;
    static __m256 load8(std::uint8_t const* values) noexcept {
        return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<__m128i const*>(values))));
    }
    static void store8(__m256 lanes, std::uint8_t* values) noexcept {
        __m256i const integers = round_clamped(lanes, 0.0f, 255.0f);
        __m128i const words = _mm_packs_epi32(_mm256_castsi256_si128(integers), _mm256_extracti128_si256(integers, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(values), _mm_packus_epi16(words, words));
    }
    static __m256i add_saturated32(__m256i a, __m256i b) noexcept { return _mm256_adds_epu8(a, b); }
    static std::uint8_t add_saturated(std::uint8_t a, std::uint8_t b) noexcept {
        int const sum = a + b;
        return static_cast<std::uint8_t>(sum > 255 ? 255 : sum);
    }
};

/// Writes out[0, n): full blocks of 8 from `block(i)`, the rest one by one from `element(i)` (a 32-bit float)
/// through the portable store.
template <typename lanes_at, typename block_at, typename element_at>
inline void write_blocks(std::uint64_t n, typename lanes_at::scalar_t* out, block_at block,
                         element_at element) noexcept {
    std::uint64_t i = 0;
    for (; i + 8 <= n; i += 8)
        lanes_at::store8(block(i), out + i);
    for (; i != n; ++i)
        out[i] = lanes_at::io_t::store(element(i));
}

template <typename lanes_at>
void wsum_haswell(void const* a, void const* b, std::uint64_t n, double alpha, double beta, void* result) noexcept {
    using scalar_t = typename lanes_at::scalar_t;
    using io_t = typename lanes_at::io_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    auto* out = static_cast<scalar_t*>(result);
    float const alpha_f = static_cast<float>(alpha), beta_f = static_cast<float>(beta);
    __m256 const alpha_v = _mm256_set1_ps(alpha_f), beta_v = _mm256_set1_ps(beta_f);

    // A NaN weight fails both "equals 1" and "equals 0", so it always reaches the general formula and every
    // result is NaN, as in the portable kernel.
    if (alpha == 1.0 && beta == 1.0) {
        if constexpr (lanes_at::is_byte) {
            std::uint64_t i = 0;
            for (; i + 32 <= n; i += 32) {
                __m256i const a_block = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(a_values + i));
                __m256i const b_block = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(b_values + i));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), lanes_at::add_saturated32(a_block, b_block));
            }
            for (; i != n; ++i)
                out[i] = lanes_at::add_saturated(a_values[i], b_values[i]);
        } else {
            write_blocks<lanes_at>(
                n, out,
                [&](std::uint64_t i) { return _mm256_add_ps(lanes_at::load8(a_values + i), lanes_at::load8(b_values + i)); },
                [&](std::uint64_t i) { return io_t::widen(a_values[i]) + io_t::widen(b_values[i]); });
        }
    } else if (alpha != 0.0 && beta != 0.0) {
        write_blocks<lanes_at>(
            n, out,
            [&](std::uint64_t i) {
                return _mm256_fmadd_ps(beta_v, lanes_at::load8(b_values + i),
                                       _mm256_mul_ps(alpha_v, lanes_at::load8(a_values + i)));
            },
            [&](std::uint64_t i) {
                return std::fma(beta_f, io_t::widen(b_values[i]), alpha_f * io_t::widen(a_values[i]));
            });
    } else if (beta != 0.0) {
        write_blocks<lanes_at>(
            n, out, [&](std::uint64_t i) { return _mm256_mul_ps(beta_v, lanes_at::load8(b_values + i)); },
            [&](std::uint64_t i) { return beta_f * io_t::widen(b_values[i]); });
    } else {
        write_blocks<lanes_at>(
            n, out, [&](std::uint64_t i) { return _mm256_mul_ps(alpha_v, lanes_at::load8(a_values + i)); },
            [&](std::uint64_t i) { return alpha_f * io_t::widen(a_values[i]); });
    }
}

template <typename lanes_at>
void fma_haswell(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                 void* result) noexcept {
    using scalar_t = typename lanes_at::scalar_t;
    using io_t = typename lanes_at::io_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    auto const* c_values = static_cast<scalar_t const*>(c);
    auto* out = static_cast<scalar_t*>(result);
    float const alpha_f = static_cast<float>(alpha), beta_f = static_cast<float>(beta);
    __m256 const alpha_v = _mm256_set1_ps(alpha_f), beta_v = _mm256_set1_ps(beta_f);
    // Half-precision remainders are computed in 64-bit with the caller's weights, then rounded to 32 bits.
    constexpr bool wide_remainder = std::is_same<io_t, f16_io_t>::value || std::is_same<io_t, bf16_io_t>::value;

    write_blocks<lanes_at>(
        n, out,
        [&](std::uint64_t i) {
            __m256 const product = _mm256_mul_ps(lanes_at::load8(a_values + i), lanes_at::load8(b_values + i));
            return _mm256_fmadd_ps(beta_v, lanes_at::load8(c_values + i), _mm256_mul_ps(alpha_v, product));
        },
        [&](std::uint64_t i) {
            float const a_i = io_t::widen(a_values[i]), b_i = io_t::widen(b_values[i]);
            float const c_i = io_t::widen(c_values[i]);
            if constexpr (wide_remainder)
                return static_cast<float>(std::fma(beta, static_cast<double>(c_i),
                                                   (static_cast<double>(a_i) * static_cast<double>(b_i)) * alpha));
            else
                return std::fma(beta_f, c_i, alpha_f * (a_i * b_i));
        });
}

} // namespace

void haswell_wsum_f64(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept {
    auto const* a_values = static_cast<double const*>(a);
    auto const* b_values = static_cast<double const*>(b);
    auto* out = static_cast<double*>(result);
    __m256d const alpha_v = _mm256_set1_pd(alpha), beta_v = _mm256_set1_pd(beta);
    std::uint64_t i = 0;
    if (alpha == 1.0 && beta == 1.0) {
        for (; i + 4 <= n; i += 4)
            _mm256_storeu_pd(out + i, _mm256_add_pd(_mm256_loadu_pd(a_values + i), _mm256_loadu_pd(b_values + i)));
        for (; i != n; ++i)
            out[i] = a_values[i] + b_values[i];
    } else if (alpha != 0.0 && beta != 0.0) {
        for (; i + 4 <= n; i += 4)
            _mm256_storeu_pd(out + i, _mm256_fmadd_pd(beta_v, _mm256_loadu_pd(b_values + i),
                                                      _mm256_mul_pd(alpha_v, _mm256_loadu_pd(a_values + i))));
        for (; i != n; ++i)
            out[i] = std::fma(beta, b_values[i], alpha * a_values[i]);
    } else if (beta != 0.0) {
        for (; i + 4 <= n; i += 4)
            _mm256_storeu_pd(out + i, _mm256_mul_pd(beta_v, _mm256_loadu_pd(b_values + i)));
        for (; i != n; ++i)
            out[i] = beta * b_values[i];
    } else {
        for (; i + 4 <= n; i += 4)
            _mm256_storeu_pd(out + i, _mm256_mul_pd(alpha_v, _mm256_loadu_pd(a_values + i)));
        for (; i != n; ++i)
            out[i] = alpha * a_values[i];
    }
}

void haswell_fma_f64(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept {
    auto const* a_values = static_cast<double const*>(a);
    auto const* b_values = static_cast<double const*>(b);
    auto const* c_values = static_cast<double const*>(c);
    auto* out = static_cast<double*>(result);
    __m256d const alpha_v = _mm256_set1_pd(alpha), beta_v = _mm256_set1_pd(beta);
    std::uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m256d const product = _mm256_mul_pd(_mm256_loadu_pd(a_values + i), _mm256_loadu_pd(b_values + i));
        _mm256_storeu_pd(out + i,
                         _mm256_fmadd_pd(beta_v, _mm256_loadu_pd(c_values + i), _mm256_mul_pd(product, alpha_v)));
    }
    for (; i != n; ++i)
        out[i] = std::fma(beta, c_values[i], (a_values[i] * b_values[i]) * alpha);
}

void haswell_wsum_f32(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept {
    wsum_haswell<f32_lanes_t>(a, b, n, alpha, beta, result);
}
void haswell_wsum_f16(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept {
    wsum_haswell<f16_lanes_t>(a, b, n, alpha, beta, result);
}
void haswell_wsum_bf16(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                       void* result) noexcept {
    wsum_haswell<bf16_lanes_t>(a, b, n, alpha, beta, result);
}
void haswell_wsum_i8(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept {
    wsum_haswell<i8_lanes_t>(a, b, n, alpha, beta, result);
}
void haswell_wsum_u8(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept {
    wsum_haswell<u8_lanes_t>(a, b, n, alpha, beta, result);
}

void haswell_fma_f32(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept {
    fma_haswell<f32_lanes_t>(a, b, c, n, alpha, beta, result);
}
void haswell_fma_f16(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept {
    fma_haswell<f16_lanes_t>(a, b, c, n, alpha, beta, result);
}
void haswell_fma_bf16(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept {
    fma_haswell<bf16_lanes_t>(a, b, c, n, alpha, beta, result);
}
void haswell_fma_i8(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                    void* result) noexcept {
    fma_haswell<i8_lanes_t>(a, b, c, n, alpha, beta, result);
}
void haswell_fma_u8(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                    void* result) noexcept {
    fma_haswell<u8_lanes_t>(a, b, c, n, alpha, beta, result);
}

} // namespace korvane
} // namespace vemo
