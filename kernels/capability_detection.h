#pragma once
// The CPUID registers the capability word is computed from, kept apart from the instruction itself so that
// the composition can be checked against made-up processors.

#include <cstdint>

#include "kernels/vexlane_types.h"

namespace vemo {
namespace korvane {

struct cpuid_registers_t {
    std::uint32_t leaf1_ecx = 0;   // FMA (bit 12), F16C (bit 29)
    std::uint32_t leaf7_ebx = 0;   // AVX2 (5), AVX512F (16), AVX512_IFMA (21)
    std::uint32_t leaf7_ecx = 0;   // AVX512_VBMI2 (6), AVX512_VNNI (11), AVX512_BITALG (12), AVX512_VPOPCNTDQ (14)
    std::uint32_t leaf7_edx = 0;   // AVX512_VP2INTERSECT (8), AVX512_FP16 (23)
    std::uint32_t leaf7_1_eax = 0; // AVX512_BF16 (5)
};

/// Runs CPUID leaf 1, leaf 7 sub-leaf 0 and leaf 7 sub-leaf 1.
cpuid_registers_t read_cpuid_registers() noexcept;

/// The capability word of a processor with these registers; `serial` is always set.
vexlane_capability_t compose_capabilities(cpuid_registers_t const& registers) noexcept;

} // namespace korvane
} // namespace vemo
