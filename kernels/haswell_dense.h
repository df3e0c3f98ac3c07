#pragma once
// AVX2/FMA/F16C dense similarity kernels. They are the same in both math modes, never read past the end of
// either input and need no alignment. Their scalar references are the serial kernels of serial_dense.h.

#include <cstdint>

#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

#define KORVANE_HASWELL_DENSE_(family, datatype)                                                                  \
    void haswell_##family##_##datatype(void const* a, void const* b, std::uint64_t n,                             \
                                       vexlane_distance_t* result) noexcept;

KORVANE_HASWELL_DENSE_(dot, i8)
KORVANE_HASWELL_DENSE_(dot, u8)
KORVANE_HASWELL_DENSE_(dot, f16)
KORVANE_HASWELL_DENSE_(dot, bf16)
KORVANE_HASWELL_DENSE_(dot, f32)
KORVANE_HASWELL_DENSE_(dot, f16c)
KORVANE_HASWELL_DENSE_(dot, f32c)
KORVANE_HASWELL_DENSE_(vdot, f16c)
KORVANE_HASWELL_DENSE_(vdot, f32c)

KORVANE_HASWELL_DENSE_(cos, i8)
KORVANE_HASWELL_DENSE_(cos, u8)
KORVANE_HASWELL_DENSE_(cos, f16)
KORVANE_HASWELL_DENSE_(cos, bf16)
KORVANE_HASWELL_DENSE_(cos, f32)
KORVANE_HASWELL_DENSE_(cos, f64)

KORVANE_HASWELL_DENSE_(l2sq, i8)
KORVANE_HASWELL_DENSE_(l2sq, u8)
KORVANE_HASWELL_DENSE_(l2sq, f16)
KORVANE_HASWELL_DENSE_(l2sq, bf16)
KORVANE_HASWELL_DENSE_(l2sq, f32)
KORVANE_HASWELL_DENSE_(l2sq, f64)

KORVANE_HASWELL_DENSE_(l2, i8)
KORVANE_HASWELL_DENSE_(l2, u8)
KORVANE_HASWELL_DENSE_(l2, f16)
KORVANE_HASWELL_DENSE_(l2, bf16)
KORVANE_HASWELL_DENSE_(l2, f32)
KORVANE_HASWELL_DENSE_(l2, f64)

#undef KORVANE_HASWELL_DENSE_

} // namespace korvane
} // namespace vemo
