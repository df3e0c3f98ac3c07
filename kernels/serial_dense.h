#pragma once
// Portable dense similarity kernels: dot, vdot (complex), cos, l2sq and l2. One template source gives both
// math modes: approximate (the exported entry points) and math-library (the metric layer). These are also the
// reference the haswell kernels are tested against.
//
// Integer sums are 64-bit, so that no length an index can hold overflows them; every other accumulator has
// the precision of the element type (32-bit floats for f16, bf16 and f32, 64-bit for f64).

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernels/half.h"
#include "kernels/kernel_lookup.h"
#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

/// How each element type is read and in which type it is summed.
template <typename element_at> struct dense_traits_t;

template <> struct dense_traits_t<std::int8_t> {
    using accumulator_t = std::int64_t;
    static std::int64_t load(std::int8_t x) noexcept { return x; }
};
template <> struct dense_traits_t<std::uint8_t> {
    using accumulator_t = std::int64_t;
    static std::int64_t load(std::uint8_t x) noexcept { return x; }
};
template <> struct dense_traits_t<float> {
    using accumulator_t = float;
    static float load(float x) noexcept { return x; }
};
template <> struct dense_traits_t<double> {
    using accumulator_t = double;
    static double load(double x) noexcept { return x; }
};

/// Raw bits of a bfloat16; a distinct type from the f16 bits so that the traits can tell them apart.
struct bf16_element_t {
    std::uint16_t bits;
};
/// Raw bits of an IEEE half.
struct f16_element_t {
    std::uint16_t bits;
};

template <> struct dense_traits_t<f16_element_t> {
    using accumulator_t = float;
    static float load(f16_element_t x) noexcept { return f16_to_f32(x.bits); }
};
template <> struct dense_traits_t<bf16_element_t> {
    using accumulator_t = float;
    static float load(bf16_element_t x) noexcept { return bf16_to_f32(x.bits); }
};

template <typename element_at>
void serial_dot_(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    using traits_t = dense_traits_t<element_at>;
    auto const* a_elements = static_cast<element_at const*>(a);
    auto const* b_elements = static_cast<element_at const*>(b);
    typename traits_t::accumulator_t sum = 0;
    for (std::uint64_t i = 0; i != n; ++i)
        sum += traits_t::load(a_elements[i]) * traits_t::load(b_elements[i]);
    *result = static_cast<vexlane_distance_t>(sum);
}

template <typename element_at>
void serial_l2sq_sum_(void const* a, void const* b, std::uint64_t n,
                      typename dense_traits_t<element_at>::accumulator_t& sum) noexcept {
    using traits_t = dense_traits_t<element_at>;
    auto const* a_elements = static_cast<element_at const*>(a);
    auto const* b_elements = static_cast<element_at const*>(b);
    sum = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        auto const difference = traits_t::load(a_elements[i]) - traits_t::load(b_elements[i]);
        sum += difference * difference;
    }
}

template <typename element_at>
void serial_l2sq_(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    typename dense_traits_t<element_at>::accumulator_t sum;
    serial_l2sq_sum_<element_at>(a, b, n, sum);
    *result = static_cast<vexlane_distance_t>(sum);
}

template <typename element_at, math_mode_t mode_ak>
void serial_l2_(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    typename dense_traits_t<element_at>::accumulator_t sum;
    serial_l2sq_sum_<element_at>(a, b, n, sum);
    if constexpr (mode_ak == math_mode_t::approximate && !std::is_same_v<element_at, double>)
        *result = static_cast<vexlane_distance_t>(approx_sqrt(static_cast<float>(sum)));
    else
        // f64 keeps its range: narrowing a sum beyond the float range would turn any large distance into
        // infinity and any tiny one into zero.
        *result = std::sqrt(static_cast<double>(sum));
}

/// Zero tests and clamp shared by every cosine: two empty norms give 0, an empty product gives 1 (a NaN
/// counts as zero in both tests), and a negative or NaN distance becomes 0. No clamp from above.
template <typename sum_at> inline bool cos_both_norms_empty(sum_at a2, sum_at b2) noexcept {
    return !(a2 != 0) && !(b2 != 0);
}
template <typename sum_at> inline bool cos_product_empty(sum_at ab) noexcept { return !(ab != 0); }
inline vexlane_distance_t cos_clamp(double distance) noexcept { return distance > 0 ? distance : 0; }

template <typename element_at, math_mode_t mode_ak>
void serial_cos_(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    using traits_t = dense_traits_t<element_at>;
    using accumulator_t = typename traits_t::accumulator_t;
    auto const* a_elements = static_cast<element_at const*>(a);
    auto const* b_elements = static_cast<element_at const*>(b);
    accumulator_t ab = 0, a2 = 0, b2 = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        auto const x = traits_t::load(a_elements[i]);
        auto const y = traits_t::load(b_elements[i]);
        ab += x * y;
        a2 += x * x;
        b2 += y * y;
    }
    if (cos_both_norms_empty(a2, b2)) {
        *result = 0;
        return;
    }
    if (cos_product_empty(ab)) {
        *result = 1;
        return;
    }

    constexpr bool is_f64 = std::is_same_v<element_at, double>;
    constexpr bool is_integer = std::is_integral_v<element_at>;
    double distance;
    if constexpr (mode_ak == math_mode_t::approximate && !is_f64) {
        // 0.495548785 is the square of the approximation's scale 0.703952253, folded into one factor.
        auto const pa = approx_rsqrt_parts(static_cast<float>(a2));
        auto const pb = approx_rsqrt_parts(static_cast<float>(b2));
        float const ab_f = static_cast<float>(ab);
        distance = std::fma(-(pa.t * pb.t), (0.495548785f * ab_f) * (pa.y * pb.y), 1.0f);
    } else if constexpr (mode_ak == math_mode_t::approximate) {
        // The norms of f64 data can lie far outside the float range, where the float approximation would
        // give 0 or infinity; the 64-bit square root keeps the distance right.
        distance = std::fma(-ab, (1.0 / std::sqrt(a2)) * (1.0 / std::sqrt(b2)), 1.0);
    } else if constexpr (is_f64 || is_integer) {
        double const ab_d = static_cast<double>(ab);
        double const a2_d = static_cast<double>(a2);
        double const b2_d = static_cast<double>(b2);
        distance = 1.0 - ab_d * ((1.0 / std::sqrt(a2_d)) * (1.0 / std::sqrt(b2_d)));
    } else {
        float const ra = 1.0f / std::sqrt(static_cast<float>(a2));
        float const rb = 1.0f / std::sqrt(static_cast<float>(b2));
        distance = 1.0f - static_cast<float>(ab) * (ra * rb);
    }
    *result = cos_clamp(distance);
}

/// Complex dot (conjugate_ak false) or vdot, the conjugate of a (conjugate_ak true). Pairs are (real,
/// imaginary); f16, bf16 and f32 pairs are summed in 32-bit floats, f64 pairs in 64-bit.
template <typename element_at, bool conjugate_ak>
void serial_complex_dot_(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    using traits_t = dense_traits_t<element_at>;
    auto const* a_elements = static_cast<element_at const*>(a);
    auto const* b_elements = static_cast<element_at const*>(b);
    typename traits_t::accumulator_t real = 0, imaginary = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        auto const ar = traits_t::load(a_elements[2 * i]);
        auto const ai = traits_t::load(a_elements[2 * i + 1]);
        auto const br = traits_t::load(b_elements[2 * i]);
        auto const bi = traits_t::load(b_elements[2 * i + 1]);
        if constexpr (conjugate_ak) {
            real += ar * br + ai * bi;
            imaginary += ar * bi - ai * br;
        } else {
            real += ar * br - ai * bi;
            imaginary += ar * bi + ai * br;
        }
    }
    result[0] = static_cast<vexlane_distance_t>(real);
    result[1] = static_cast<vexlane_distance_t>(imaginary);
}

// The named kernels, one per (family, datatype), in the shape of vexlane_metric_dense_punned_t.

#define KORVANE_SERIAL_REAL_DENSE_(datatype, element)                                                                 \
    template <math_mode_t mode_ak>                                                                                   \
    void serial_dot_##datatype(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept { \
        serial_dot_<element>(a, b, n, result);                                                                       \
    }                                                                                                                \
    template <math_mode_t mode_ak>                                                                                   \
    void serial_cos_##datatype(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept { \
        serial_cos_<element, mode_ak>(a, b, n, result);                                                              \
    }                                                                                                                \
    template <math_mode_t mode_ak>                                                                                   \
    void serial_l2sq_##datatype(void const* a, void const* b, std::uint64_t n,                                       \
                                vexlane_distance_t* result) noexcept {                                               \
        serial_l2sq_<element>(a, b, n, result);                                                                      \
    }                                                                                                                \
    template <math_mode_t mode_ak>                                                                                   \
    void serial_l2_##datatype(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {  \
        serial_l2_<element, mode_ak>(a, b, n, result);                                                               \
    }

KORVANE_SERIAL_REAL_DENSE_(i8, std::int8_t)
KORVANE_SERIAL_REAL_DENSE_(u8, std::uint8_t)
KORVANE_SERIAL_REAL_DENSE_(f16, f16_element_t)
KORVANE_SERIAL_REAL_DENSE_(bf16, bf16_element_t)
KORVANE_SERIAL_REAL_DENSE_(f32, float)
KORVANE_SERIAL_REAL_DENSE_(f64, double)
#undef KORVANE_SERIAL_REAL_DENSE_

#define KORVANE_SERIAL_COMPLEX_DENSE_(datatype, element)                                                            \
    template <math_mode_t mode_ak>                                                                                  \
    void serial_dot_##datatype(void const* a, void const* b, std::uint64_t n,                                       \
                               vexlane_distance_t* result) noexcept {                                               \
        serial_complex_dot_<element, false>(a, b, n, result);                                                       \
    }                                                                                                               \
    template <math_mode_t mode_ak>                                                                                  \
    void serial_vdot_##datatype(void const* a, void const* b, std::uint64_t n,                                      \
                                vexlane_distance_t* result) noexcept {                                              \
        serial_complex_dot_<element, true>(a, b, n, result);                                                        \
    }

KORVANE_SERIAL_COMPLEX_DENSE_(f16c, f16_element_t)
KORVANE_SERIAL_COMPLEX_DENSE_(bf16c, bf16_element_t)
KORVANE_SERIAL_COMPLEX_DENSE_(f32c, float)
KORVANE_SERIAL_COMPLEX_DENSE_(f64c, double)
#undef KORVANE_SERIAL_COMPLEX_DENSE_

} // namespace korvane
} // namespace vemo
