#pragma once
// Portable elementwise kernels that write a vector of the input datatype: the weighted sum
// result_i = alpha * a_i + beta * b_i and the scaled product result_i = alpha * a_i * b_i + beta * c_i.
// result may be one of the inputs: every element is read before it is written.

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernels/kernel_lookup.h"
#include "kernels/kernels2_scalar_io.h"

namespace vemo {
namespace korvane {

// f64 fuses the second weighting with the addition. Narrower datatypes work in 32-bit floats: each weighted term
// is formed in 64-bit and rounded to 32 bits, the two terms are added in 32-bit, and the sum is rounded back into
// the datatype (ties away from zero, saturating for the integers).

template <typename io_at>
void wsum_serial_(void const* a, void const* b, std::uint64_t n, double alpha, double beta, void* result) noexcept {
    using scalar_t = typename io_at::scalar_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    auto* out = static_cast<scalar_t*>(result);
    for (std::uint64_t i = 0; i != n; ++i) {
        if constexpr (std::is_same<typename io_at::value_t, double>::value) {
            out[i] = std::fma(beta, b_values[i], alpha * a_values[i]);
        } else {
            float const a_term = static_cast<float>(alpha * static_cast<double>(io_at::widen(a_values[i])));
            float const b_term = static_cast<float>(beta * static_cast<double>(io_at::widen(b_values[i])));
            out[i] = io_at::store(a_term + b_term);
        }
    }
}

template <typename io_at>
void fma_serial_(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                 void* result) noexcept {
    using scalar_t = typename io_at::scalar_t;
    auto const* a_values = static_cast<scalar_t const*>(a);
    auto const* b_values = static_cast<scalar_t const*>(b);
    auto const* c_values = static_cast<scalar_t const*>(c);
    auto* out = static_cast<scalar_t*>(result);
    for (std::uint64_t i = 0; i != n; ++i) {
        if constexpr (std::is_same<typename io_at::value_t, double>::value) {
            out[i] = std::fma(beta, c_values[i], (a_values[i] * b_values[i]) * alpha);
        } else {
            float const product = io_at::widen(a_values[i]) * io_at::widen(b_values[i]);
            float const ab_term = static_cast<float>(alpha * static_cast<double>(product));
            float const c_term = static_cast<float>(beta * static_cast<double>(io_at::widen(c_values[i])));
            out[i] = io_at::store(ab_term + c_term);
        }
    }
}

#define KORVANE_SERIAL_ELEMENTWISE_(datatype)                                                                      \
    template <math_mode_t mode_ak>                                                                                 \
    void serial_wsum_##datatype(void const* a, void const* b, std::uint64_t n, double alpha, double beta,          \
                                void* result) noexcept {                                                           \
        wsum_serial_<datatype##_io_t>(a, b, n, alpha, beta, result);                                               \
    }                                                                                                              \
    template <math_mode_t mode_ak>                                                                                 \
    void serial_fma_##datatype(void const* a, void const* b, void const* c, std::uint64_t n, double alpha,        \
                               double beta, void* result) noexcept {                                              \
        fma_serial_<datatype##_io_t>(a, b, c, n, alpha, beta, result);                                             \
    }

KORVANE_SERIAL_ELEMENTWISE_(f64)
KORVANE_SERIAL_ELEMENTWISE_(f32)
KORVANE_SERIAL_ELEMENTWISE_(f16)
KORVANE_SERIAL_ELEMENTWISE_(bf16)
KORVANE_SERIAL_ELEMENTWISE_(i8)
KORVANE_SERIAL_ELEMENTWISE_(u8)

#undef KORVANE_SERIAL_ELEMENTWISE_

} // namespace korvane
} // namespace vemo
