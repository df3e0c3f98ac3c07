#pragma once
// Portable bit-set kernels on packed bytes (b8): Hamming and Jaccard distances; and portable divergences of
// discrete distributions (f64, f32, f16, bf16): Kullback-Leibler and Jensen-Shannon.

#include <cstdint>
#include <type_traits>

#include "kernels/half.h"
#include "kernels/kernel_lookup.h"
#include "kernels/kernels2_scalar_io.h"
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

/// Added to every probability so that zeros give finite ratios.
inline constexpr double divergence_epsilon = 1e-7;

/// sum += weight * ln, in the sum's width. The 32-bit sums fuse the product with the addition: in 32-bit with the
/// approximate logarithm, in 64-bit with the library one (rounded back to 32 bits at every step).
template <math_mode_t mode_ak, typename sum_at>
inline sum_at accumulate_weighted_log_(sum_at sum, double weight, double ln) noexcept {
    if constexpr (std::is_same<sum_at, double>::value)
        return sum + weight * ln;
    else if constexpr (mode_ak == math_mode_t::approximate)
        return std::fma(static_cast<float>(weight), static_cast<float>(ln), sum);
    else
        return static_cast<float>(std::fma(weight, ln, static_cast<double>(sum)));
}

template <math_mode_t mode_ak, typename io_at>
void kl_serial_(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    using scalar_t = typename io_at::scalar_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    typename io_at::value_t sum = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        double const a_i = io_at::widen(a_values[i]), b_i = io_at::widen(b_values[i]);
        double const ratio = (a_i + divergence_epsilon) / (b_i + divergence_epsilon);
        sum = accumulate_weighted_log_<mode_ak>(sum, a_i, kernel_log<mode_ak>(ratio));
    }
    *result = static_cast<vexlane_distance_t>(sum);
}

template <math_mode_t mode_ak, typename io_at>
void js_serial_(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    using scalar_t = typename io_at::scalar_t;
    using value_t = typename io_at::value_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    value_t sum = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        value_t const a_i = io_at::widen(a_values[i]), b_i = io_at::widen(b_values[i]);
        double denominator;
        if constexpr (std::is_same<value_t, double>::value && mode_ak == math_mode_t::math_library)
            denominator = std::fma(a_i + b_i, 0.5, divergence_epsilon);
        else
            denominator = static_cast<double>((a_i + b_i) * value_t(0.5)) + divergence_epsilon;
        double const ln_a = kernel_log<mode_ak>((static_cast<double>(a_i) + divergence_epsilon) / denominator);
        double const ln_b = kernel_log<mode_ak>((static_cast<double>(b_i) + divergence_epsilon) / denominator);
        if constexpr (std::is_same<value_t, double>::value)
            sum += a_i * ln_a + b_i * ln_b;
        else
            sum = accumulate_weighted_log_<mode_ak>(accumulate_weighted_log_<mode_ak>(sum, a_i, ln_a), b_i, ln_b);
    }
    double const divergence = 0.5 * static_cast<double>(sum);
    *result = divergence > 0 ? static_cast<vexlane_distance_t>(kernel_sqrt<mode_ak>(divergence)) : 0.0;
}

template <math_mode_t mode_ak>
void serial_kl_f64(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    kl_serial_<mode_ak, f64_io_t>(a, b, n, result);
}
template <math_mode_t mode_ak>
void serial_kl_f32(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    kl_serial_<mode_ak, f32_io_t>(a, b, n, result);
}
template <math_mode_t mode_ak>
void serial_kl_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    kl_serial_<mode_ak, f16_io_t>(a, b, n, result);
}
template <math_mode_t mode_ak>
void serial_kl_bf16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    kl_serial_<mode_ak, bf16_io_t>(a, b, n, result);
}
template <math_mode_t mode_ak>
void serial_js_f64(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    js_serial_<mode_ak, f64_io_t>(a, b, n, result);
}
template <math_mode_t mode_ak>
void serial_js_f32(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    js_serial_<mode_ak, f32_io_t>(a, b, n, result);
}
template <math_mode_t mode_ak>
void serial_js_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    js_serial_<mode_ak, f16_io_t>(a, b, n, result);
}
template <math_mode_t mode_ak>
void serial_js_bf16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    js_serial_<mode_ak, bf16_io_t>(a, b, n, result);
}

} // namespace korvane
} // namespace vemo
