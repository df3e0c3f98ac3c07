#pragma once
// How the serial probability, curved-space and elementwise kernels read and write each datatype: the stored scalar,
// the precision the arithmetic runs in (64-bit for f64, 32-bit for everything narrower) and the rounding store back
// into the datatype.

#include <cstdint>

#include "kernels/half.h"

namespace vemo {
namespace korvane {

/// Rounds half away from zero and saturates to [-128, 127]; a NaN stores 0. The half is added in 64-bit so that a
/// value just below a half (0.49999997) cannot round up by the addition itself.
inline std::int8_t store_i8_rounded(float value) noexcept {
    if (value > 127.0f)
        return 127;
    if (value < -128.0f)
        return -128;
    if (value != value)
        return 0;
    double const shifted = static_cast<double>(value) + (value < 0.0f ? -0.5 : 0.5);
    return static_cast<std::int8_t>(static_cast<int>(shifted));
}

/// Rounds half up and saturates to [0, 255]; a NaN stores 0.
inline std::uint8_t store_u8_rounded(float value) noexcept {
    if (value > 255.0f)
        return 255;
    if (value < 0.0f || value != value)
        return 0;
    return static_cast<std::uint8_t>(static_cast<int>(static_cast<double>(value) + 0.5));
}

struct f64_io_t {
    using scalar_t = double;
    using value_t = double;
    static double widen(double x) noexcept { return x; }
    static double store(double x) noexcept { return x; }
};

struct f32_io_t {
    using scalar_t = float;
    using value_t = float;
    static float widen(float x) noexcept { return x; }
    static float store(float x) noexcept { return x; }
};

struct f16_io_t {
    using scalar_t = std::uint16_t;
    using value_t = float;
    static float widen(std::uint16_t x) noexcept { return f16_to_f32(x); }
    static std::uint16_t store(float x) noexcept { return f32_to_f16(x); }
};

struct bf16_io_t {
    using scalar_t = std::uint16_t;
    using value_t = float;
    static float widen(std::uint16_t x) noexcept { return bf16_to_f32(x); }
    static std::uint16_t store(float x) noexcept { return f32_to_bf16(x); }
};

struct i8_io_t {
    using scalar_t = std::int8_t;
    using value_t = float;
    static float widen(std::int8_t x) noexcept { return static_cast<float>(x); }
    static std::int8_t store(float x) noexcept { return store_i8_rounded(x); }
};

struct u8_io_t {
    using scalar_t = std::uint8_t;
    using value_t = float;
    static float widen(std::uint8_t x) noexcept { return static_cast<float>(x); }
    static std::uint8_t store(float x) noexcept { return store_u8_rounded(x); }
};

} // namespace korvane
} // namespace vemo
