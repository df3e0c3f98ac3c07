#pragma once
// Scalar half-precision conversions and the cheap square-root and logarithm approximations of the serial
// kernels. Every function is branch-free (comparisons become masks) so that loops calling them stay
// straight-line and vectorisable.
//
// Rounding: f32 to f16 and f32 to bf16 round to nearest with ties away from zero. Non-finite values keep
// their class both ways: an infinity stays an infinity, a NaN stays a NaN, and a finite f32 that rounds
// beyond the largest half becomes an infinity; this keeps the serial kernels in agreement with the F16C
// conversions of the haswell kernels.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/kernel_lookup.h"

namespace vemo {
namespace korvane {

inline std::uint32_t f32_bits(float value) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float f32_from_bits(std::uint32_t bits) noexcept {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// All-ones when `condition` holds, else zero.
inline std::uint32_t bit_mask(bool condition) noexcept { return 0u - static_cast<std::uint32_t>(condition); }

/// Exact for every half: normal and subnormal numbers, signed zeros, infinities and NaNs (payload kept).
inline float f16_to_f32(std::uint16_t half) noexcept {
    std::uint32_t const h = half;
    std::uint32_t const sign = (h & 0x8000u) << 16;
    std::uint32_t const exponent = (h >> 10) & 0x1Fu;
    std::uint32_t const mantissa = h & 0x3FFu;

    // Exponent 31 (infinity, NaN) maps to the f32 exponent 255, every other non-zero one is rebiased.
    std::uint32_t const wide_exponent = (exponent + 112u) | (bit_mask(exponent == 31u) & 0xFFu);
    std::uint32_t const normal = (wide_exponent << 23) | (mantissa << 13);

    // A subnormal half is mantissa * 2^-24: the float conversion of the shifted mantissa finds its leading
    // bit k (as a biased exponent), which gives exponent k - 37 and the remaining bits shifted into place.
    std::uint32_t const shifted = mantissa << 13;
    std::uint32_t const leading = f32_bits(static_cast<float>(shifted)) >> 23;
    std::uint32_t const subnormal =
        ((leading - 37u) << 23) | ((shifted << ((150u - leading) & 31u)) & 0x7FE000u);

    std::uint32_t const is_normal = bit_mask(exponent != 0u);
    std::uint32_t const is_subnormal = bit_mask(exponent == 0u && mantissa != 0u);
    return f32_from_bits(sign | (normal & is_normal) | (subnormal & is_subnormal));
}

/// Rounds to the nearest half, ties away from zero; magnitudes below 2^-25 become signed zero, magnitudes
/// that round to 65520 or more become a signed infinity, NaNs become a quiet NaN with the sign kept.
inline std::uint16_t f32_to_f16(float value) noexcept {
    std::uint32_t const bits = f32_bits(value);
    std::uint32_t const sign = (bits >> 16) & 0x8000u;
    std::uint32_t const magnitude = bits & 0x7FFFFFFFu;
    // Adding half of the dropped part rounds the mantissa (ties away from zero); a carry moves into the
    // exponent. Taken on the magnitude so that no NaN pattern can wrap into the sign.
    std::uint32_t const rounded = magnitude + 0x1000u;
    std::uint32_t const exponent = (rounded >> 23) & 0xFFu;
    std::uint32_t const mantissa = rounded & 0x7FFFFFu;

    std::uint32_t const normal = (((exponent - 112u) << 10) & 0x7C00u) | (mantissa >> 13);
    std::uint32_t const subnormal = (((mantissa + 0x7FF000u) >> ((125u - exponent) & 31u)) + 1u) >> 1;

    std::uint32_t const is_normal = bit_mask(exponent > 112u && exponent < 143u);
    std::uint32_t const is_subnormal = bit_mask(exponent >= 102u && exponent <= 112u);
    std::uint32_t const is_overflow = bit_mask(exponent >= 143u && magnitude <= 0x7F800000u);
    std::uint32_t const is_nan = bit_mask(magnitude > 0x7F800000u);
    std::uint32_t const h = (normal & is_normal) | (subnormal & is_subnormal) | (0x7C00u & is_overflow) |
                            (0x7E00u & is_nan);
    return static_cast<std::uint16_t>(sign | h);
}

inline float bf16_to_f32(std::uint16_t brain) noexcept { return f32_from_bits(static_cast<std::uint32_t>(brain) << 16); }

/// Rounds to nearest, ties away from zero; finite values beyond the largest bfloat16 become infinities.
/// A NaN keeps its upper bits with the quiet bit set, so that no payload rounds into an infinity or wraps
/// into a zero.
inline std::uint16_t f32_to_bf16(float value) noexcept {
    std::uint32_t const bits = f32_bits(value);
    std::uint32_t const is_nan = bit_mask((bits & 0x7FFFFFFFu) > 0x7F800000u);
    std::uint32_t const rounded = (bits + 0x8000u) >> 16;
    std::uint32_t const quiet = (bits >> 16) | 0x40u;
    return static_cast<std::uint16_t>((rounded & ~is_nan) | (quiet & is_nan));
}

/// The two factors of the reciprocal square root approximation: rsqrt(x) ~ 0.703952253 * y * t. Kernels
/// group the three factors to suit their own formulas.
struct approx_rsqrt_parts_t {
    float y;
    float t;
};

inline approx_rsqrt_parts_t approx_rsqrt_parts(float x) noexcept {
    float const y = f32_from_bits(0x5F1FFFF9u - (f32_bits(x) >> 1));
    float const t = std::fma(-x, y * y, 2.38924456f);
    return {y, t};
}

/// 1 / sqrt(x) within about 0.1 percent; an argument of 0 gives a huge finite value.
inline float approx_rsqrt(float x) noexcept {
    approx_rsqrt_parts_t const parts = approx_rsqrt_parts(x);
    return 0.703952253f * parts.y * parts.t;
}

/// sqrt(x) as x * rsqrt(x), grouped so that an argument of 0 gives exactly 0.
inline float approx_sqrt(float x) noexcept {
    approx_rsqrt_parts_t const parts = approx_rsqrt_parts(x);
    return (x * 0.703952253f) * (parts.y * parts.t);
}

/// Natural logarithm by the third-order series around 1; the error grows quickly away from x = 1.
inline float approx_log(float x) noexcept {
    float const u = x - 1.0f;
    float const p = std::fma(u, 0.333333343f, -0.5f);
    return std::fma(p, u * u, u);
}

// Square root, reciprocal square root and natural logarithm in the two builds of the serial kernels. The
// approximate build evaluates the approximations in 32-bit floats whatever the operand type; the
// math-library build calls the platform's functions, square roots in the operand's precision and the
// logarithm in 64-bit.

template <math_mode_t mode_ak> inline float kernel_sqrt(float x) noexcept {
    if constexpr (mode_ak == math_mode_t::approximate)
        return approx_sqrt(x);
    else
        return std::sqrt(x);
}

template <math_mode_t mode_ak> inline double kernel_sqrt(double x) noexcept {
    if constexpr (mode_ak == math_mode_t::approximate)
        return approx_sqrt(static_cast<float>(x));
    else
        return std::sqrt(x);
}

template <math_mode_t mode_ak> inline float kernel_rsqrt(float x) noexcept {
    if constexpr (mode_ak == math_mode_t::approximate)
        return approx_rsqrt(x);
    else
        return 1.0f / std::sqrt(x);
}

template <math_mode_t mode_ak> inline double kernel_rsqrt(double x) noexcept {
    if constexpr (mode_ak == math_mode_t::approximate)
        return approx_rsqrt(static_cast<float>(x));
    else
        return 1.0 / std::sqrt(x);
}

template <math_mode_t mode_ak> inline float kernel_log(float x) noexcept {
    if constexpr (mode_ak == math_mode_t::approximate)
        return approx_log(x);
    else
        return static_cast<float>(std::log(static_cast<double>(x)));
}

template <math_mode_t mode_ak> inline double kernel_log(double x) noexcept {
    if constexpr (mode_ak == math_mode_t::approximate)
        return approx_log(static_cast<float>(x));
    else
        return std::log(x);
}

} // namespace korvane
} // namespace vemo
