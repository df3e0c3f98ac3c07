#pragma once
// Storage types of the scalar kinds that have no native C++ type, and the scalar conversions between them
// and float. All half-precision arithmetic is done in software on the bit patterns, so results do not
// depend on the floating-point environment (rounding mode, flushing of denormals).

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vemo {
namespace korvane {

/// Raw bits of an IEEE 754 binary16: sign bit 15, exponent bits 10-14, mantissa bits 0-9.
struct f16_bits_t {
    std::uint16_t bits;
};

/// Raw bits of a bfloat16: the upper half of an IEEE 754 binary32.
struct bf16_bits_t {
    std::uint16_t bits;
};

/// Eight consecutive scalars of a bit vector; scalar 0 of the byte is its most significant bit.
struct b1x8_t {
    std::uint8_t bits;
};

static_assert(sizeof(f16_bits_t) == 2 && std::is_trivially_copyable<f16_bits_t>::value, "f16 layout");
static_assert(sizeof(bf16_bits_t) == 2 && std::is_trivially_copyable<bf16_bits_t>::value, "bf16 layout");
static_assert(sizeof(b1x8_t) == 1 && std::is_trivially_copyable<b1x8_t>::value, "b1x8 layout");

inline std::uint32_t float_bits(float value) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

inline float float_from_bits(std::uint32_t bits) noexcept {
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

/// Reads one scalar at an address of any alignment: vectors may come straight from a caller's buffer.
template <typename scalar_at> inline scalar_at load_unaligned(void const* address) noexcept {
    scalar_at value;
    std::memcpy(&value, address, sizeof(value));
    return value;
}

/// Writes one scalar at an address of any alignment.
template <typename scalar_at> inline void store_unaligned(void* address, scalar_at value) noexcept {
    std::memcpy(address, &value, sizeof(value));
}

/// Exact widening: normal and subnormal halves, signed zeros, infinities and NaNs keep their values.
inline float f16_to_float(f16_bits_t half) noexcept {
    std::uint32_t const sign = std::uint32_t(half.bits & 0x8000u) << 16;
    std::uint32_t const exponent = (half.bits >> 10) & 0x1Fu;
    std::uint32_t const mantissa = half.bits & 0x3FFu;
    if (exponent == 0x1F)
        return float_from_bits(sign | 0x7F800000u | (mantissa << 13));
    if (exponent != 0)
        return float_from_bits(sign | ((exponent + 112) << 23) | (mantissa << 13));
    // Subnormal half: mantissa * 2^-24 is exact in float, and the product of two normal floats never
    // falls into the float denormal range, so flush-to-zero cannot touch it.
    return float_from_bits(sign | float_bits(float(mantissa) * 0x1p-24f));
}

/// IEEE 754 narrowing with round to nearest, ties to even. Magnitudes of 65520 and above become infinity,
/// every NaN becomes the quiet NaN 0x7E00 with the sign of the input.
inline f16_bits_t float_to_f16(float value) noexcept {
    std::uint32_t const bits = float_bits(value);
    std::uint16_t const sign = std::uint16_t((bits >> 16) & 0x8000u);
    std::uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u)
        return {std::uint16_t(sign | 0x7E00u)};
    if (magnitude >= 0x477FF000u) // 65520, the midpoint between 65504 and 2^16
        return {std::uint16_t(sign | 0x7C00u)};
    if (magnitude >= 0x38800000u) { // 2^-14, the smallest normal half
        std::uint32_t const odd = (magnitude >> 13) & 1u;
        magnitude += 0xFFFu + odd;
        return {std::uint16_t(sign | ((magnitude - 0x38000000u) >> 13))};
    }
    // Subnormal half: computed in integers so that neither the rounding mode nor denormal flushing of the
    // calling thread can change it. A float below 2^-14 is a mantissa m (with its implicit bit) scaled by
    // 2^(e-150); the half counts units of 2^-24, so m is shifted right by 126 - e with ties to even.
    std::uint32_t const exponent = magnitude >> 23;
    if (exponent < 102) // below 2^-25: nearer to zero than to 2^-24
        return {sign};
    std::uint32_t const mantissa = (magnitude & 0x7FFFFFu) | 0x800000u;
    std::uint32_t const shift = 126u - exponent;
    std::uint32_t const kept = mantissa >> shift;
    std::uint32_t const rest = mantissa & ((1u << shift) - 1u);
    std::uint32_t const half_unit = 1u << (shift - 1u);
    std::uint32_t const rounded = kept + ((rest > half_unit || (rest == half_unit && (kept & 1u))) ? 1u : 0u);
    return {std::uint16_t(sign | rounded)};
}

/// Exact widening: the 16 bits become the upper half of the float.
inline float bf16_to_float(bf16_bits_t value) noexcept { return float_from_bits(std::uint32_t(value.bits) << 16); }

/// Rounds to nearest with ties away from zero by adding half a unit to the pattern (wrapping), the same
/// rule for NaN patterns; finite values past the largest bfloat16 become infinity.
inline bf16_bits_t float_to_bf16(float value) noexcept {
    return {std::uint16_t((float_bits(value) + 0x8000u) >> 16)};
}

/// Widening of every element type the formulas and conversions read; double rounds to nearest.
inline float scalar_to_float(float value) noexcept { return value; }
inline float scalar_to_float(double value) noexcept { return static_cast<float>(value); }
inline float scalar_to_float(f16_bits_t value) noexcept { return f16_to_float(value); }
inline float scalar_to_float(bf16_bits_t value) noexcept { return bf16_to_float(value); }
inline float scalar_to_float(signed char value) noexcept { return static_cast<float>(value); }

} // namespace korvane
} // namespace vemo
