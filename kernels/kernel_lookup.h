#pragma once
// Internal C++ interface of the kernel library for the layers above it. The exported C functions
// (vexlane.h) use the approximate build of the serial kernels; the metric layer asks here for the
// math-library build, with the same lookup rule and the same implementation table.

#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

enum class math_mode_t { approximate, math_library };

/// Runs the CPUID detection of the capability word (serial always set). Not cached, primes nothing.
vexlane_capability_t detect_capabilities() noexcept;

/// The lookup of vexlane_find_kernel_punned over the kernel set built in `mode`: haswell when viable and
/// present, else serial when viable and present, else nothing is stored (an unknown datatype stores a
/// null kernel and capability 0).
void find_kernel(math_mode_t mode, vexlane_metric_kind_t kind, vexlane_datatype_t datatype,
                 vexlane_capability_t supported, vexlane_capability_t allowed, vexlane_kernel_punned_t* kernel_out,
                 vexlane_capability_t* capability_out) noexcept;

} // namespace korvane
} // namespace vemo
