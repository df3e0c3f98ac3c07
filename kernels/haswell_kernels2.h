#pragma once
// AVX2/FMA/F16C kernels for bit sets, probability distributions, curved spaces and elementwise combinations. They
// are the same in both math modes. None of them reads past the end of any input; inputs need no alignment.

#include <cstdint>

#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

// Bit sets on packed bytes (haswell_binary.cpp).
void haswell_hamming_b8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept;
void haswell_jaccard_b8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept;

// Probability distributions of halves (haswell_binary.cpp).
void haswell_kl_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept;
void haswell_js_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept;

// Curved spaces: c is an n by n row-major matrix of the input type (haswell_curved.cpp).
void haswell_bilinear_f16(void const* a, void const* b, void const* c, std::uint64_t n,
                          vexlane_distance_t* result) noexcept;
void haswell_bilinear_bf16(void const* a, void const* b, void const* c, std::uint64_t n,
                           vexlane_distance_t* result) noexcept;
void haswell_mahalanobis_f16(void const* a, void const* b, void const* c, std::uint64_t n,
                             vexlane_distance_t* result) noexcept;
void haswell_mahalanobis_bf16(void const* a, void const* b, void const* c, std::uint64_t n,
                              vexlane_distance_t* result) noexcept;

// Elementwise: result_i = alpha * a_i * b_i + beta * c_i (haswell_elementwise.cpp).
void haswell_fma_f64(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept;
void haswell_fma_f32(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept;
void haswell_fma_f16(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept;
void haswell_fma_bf16(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept;
void haswell_fma_i8(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                    void* result) noexcept;
void haswell_fma_u8(void const* a, void const* b, void const* c, std::uint64_t n, double alpha, double beta,
                    void* result) noexcept;

// Elementwise: result_i = alpha * a_i + beta * b_i (haswell_elementwise.cpp). The loop is chosen from the
// weights: a zero alpha leaves a unread, a zero beta leaves b unread.
void haswell_wsum_f64(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept;
void haswell_wsum_f32(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept;
void haswell_wsum_f16(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                      void* result) noexcept;
void haswell_wsum_bf16(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                       void* result) noexcept;
void haswell_wsum_i8(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept;
void haswell_wsum_u8(void const* a, void const* b, std::uint64_t n, double alpha, double beta,
                     void* result) noexcept;

} // namespace korvane
} // namespace vemo
