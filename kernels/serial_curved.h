#pragma once
// Portable curved-space kernels: the bilinear form a^T C b (real and complex, without conjugation) and the
// Mahalanobis distance sqrt((a - b)^T C (a - b)). C is an n by n row-major matrix of the input datatype; sums run in
// 64-bit for f64 data and in 32-bit floats for everything narrower.

#include <cstdint>

#include "kernels/half.h"
#include "kernels/kernel_lookup.h"
#include "kernels/kernels2_scalar_io.h"
#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

template <typename io_at>
void bilinear_serial_(void const* a, void const* b, void const* c, std::uint64_t n,
                      vexlane_distance_t* result) noexcept {
    using scalar_t = typename io_at::scalar_t;
    using value_t = typename io_at::value_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    auto const* matrix = static_cast<scalar_t const*>(c);
    value_t sum = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        scalar_t const* row = matrix + i * n;
        value_t partial = 0;
        for (std::uint64_t j = 0; j != n; ++j)
            partial += io_at::widen(row[j]) * io_at::widen(b_values[j]);
        sum += io_at::widen(a_values[i]) * partial;
    }
    *result = static_cast<vexlane_distance_t>(sum);
}

/// Complex numbers are (real, imaginary) pairs of scalars; n counts pairs.
template <typename io_at>
void bilinear_complex_serial_(void const* a, void const* b, void const* c, std::uint64_t n,
                              vexlane_distance_t* result) noexcept {
    using scalar_t = typename io_at::scalar_t;
    using value_t = typename io_at::value_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    auto const* matrix = static_cast<scalar_t const*>(c);
    value_t sum_real = 0, sum_imag = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        scalar_t const* row = matrix + 2 * i * n;
        value_t partial_real = 0, partial_imag = 0;
        for (std::uint64_t j = 0; j != n; ++j) {
            value_t const c_real = io_at::widen(row[2 * j]), c_imag = io_at::widen(row[2 * j + 1]);
            value_t const b_real = io_at::widen(b_values[2 * j]), b_imag = io_at::widen(b_values[2 * j + 1]);
            partial_real += c_real * b_real - c_imag * b_imag;
            partial_imag += c_real * b_imag + c_imag * b_real;
        }
        value_t const a_real = io_at::widen(a_values[2 * i]), a_imag = io_at::widen(a_values[2 * i + 1]);
        sum_real += a_real * partial_real - a_imag * partial_imag;
        sum_imag += a_real * partial_imag + a_imag * partial_real;
    }
    result[0] = static_cast<vexlane_distance_t>(sum_real);
    result[1] = static_cast<vexlane_distance_t>(sum_imag);
}

/// The square root follows the math mode in the sum's own width; a matrix that is not positive semi-definite can
/// give a negative form, whose root is not defined (NaN with the math library).
template <math_mode_t mode_ak, typename io_at>
void mahalanobis_serial_(void const* a, void const* b, void const* c, std::uint64_t n,
                         vexlane_distance_t* result) noexcept {
    using scalar_t = typename io_at::scalar_t;
    using value_t = typename io_at::value_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    auto const* matrix = static_cast<scalar_t const*>(c);
    value_t form = 0;
    for (std::uint64_t i = 0; i != n; ++i) {
        scalar_t const* row = matrix + i * n;
        value_t partial = 0;
        for (std::uint64_t j = 0; j != n; ++j) {
            value_t const difference = io_at::widen(a_values[j]) - io_at::widen(b_values[j]);
            partial += difference * io_at::widen(row[j]);
        }
        value_t const difference = io_at::widen(a_values[i]) - io_at::widen(b_values[i]);
        form += difference * partial;
    }
    *result = static_cast<vexlane_distance_t>(kernel_sqrt<mode_ak>(form));
}

template <math_mode_t mode_ak>
void serial_bilinear_f64(void const* a, void const* b, void const* c, std::uint64_t n,
                         vexlane_distance_t* result) noexcept {
    bilinear_serial_<f64_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_bilinear_f32(void const* a, void const* b, void const* c, std::uint64_t n,
                         vexlane_distance_t* result) noexcept {
    bilinear_serial_<f32_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_bilinear_f16(void const* a, void const* b, void const* c, std::uint64_t n,
                         vexlane_distance_t* result) noexcept {
    bilinear_serial_<f16_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_bilinear_bf16(void const* a, void const* b, void const* c, std::uint64_t n,
                          vexlane_distance_t* result) noexcept {
    bilinear_serial_<bf16_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_bilinear_f64c(void const* a, void const* b, void const* c, std::uint64_t n,
                          vexlane_distance_t* result) noexcept {
    bilinear_complex_serial_<f64_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_bilinear_f32c(void const* a, void const* b, void const* c, std::uint64_t n,
                          vexlane_distance_t* result) noexcept {
    bilinear_complex_serial_<f32_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_bilinear_f16c(void const* a, void const* b, void const* c, std::uint64_t n,
                          vexlane_distance_t* result) noexcept {
    bilinear_complex_serial_<f16_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_bilinear_bf16c(void const* a, void const* b, void const* c, std::uint64_t n,
                           vexlane_distance_t* result) noexcept {
    bilinear_complex_serial_<bf16_io_t>(a, b, c, n, result);
}

template <math_mode_t mode_ak>
void serial_mahalanobis_f64(void const* a, void const* b, void const* c, std::uint64_t n,
                            vexlane_distance_t* result) noexcept {
    mahalanobis_serial_<mode_ak, f64_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_mahalanobis_f32(void const* a, void const* b, void const* c, std::uint64_t n,
                            vexlane_distance_t* result) noexcept {
    mahalanobis_serial_<mode_ak, f32_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_mahalanobis_f16(void const* a, void const* b, void const* c, std::uint64_t n,
                            vexlane_distance_t* result) noexcept {
    mahalanobis_serial_<mode_ak, f16_io_t>(a, b, c, n, result);
}
template <math_mode_t mode_ak>
void serial_mahalanobis_bf16(void const* a, void const* b, void const* c, std::uint64_t n,
                             vexlane_distance_t* result) noexcept {
    mahalanobis_serial_<mode_ak, bf16_io_t>(a, b, c, n, result);
}

} // namespace korvane
} // namespace vemo
