// Capability detection and the implementation table behind both kernel lookups: the exported one (serial
// kernels of the approximate build) and the metric layer's (serial kernels of the math-library build).

#include "kernels/kernel_lookup.h"

#include <cpuid.h>

#include "kernels/capability_detection.h"
#include "kernels/haswell_dense.h"
#include "kernels/haswell_kernels2.h"
#include "kernels/serial_binary.h"
#include "kernels/serial_curved.h"
#include "kernels/serial_dense.h"
#include "kernels/serial_elementwise.h"
#include "kernels/serial_sparse.h"

namespace vemo {
namespace korvane {

cpuid_registers_t read_cpuid_registers() noexcept {
    // Only these leaves are asked; the library needs AVX2 throughout, so a processor or system without it
    // cannot run it at all and no further query (highest leaf, OS support of the wide registers) is made.
    cpuid_registers_t registers;
    unsigned eax, ebx, ecx, edx;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    registers.leaf1_ecx = ecx;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    registers.leaf7_ebx = ebx;
    registers.leaf7_ecx = ecx;
    registers.leaf7_edx = edx;
    __cpuid_count(7, 1, eax, ebx, ecx, edx);
    registers.leaf7_1_eax = eax;
    return registers;
}

vexlane_capability_t compose_capabilities(cpuid_registers_t const& registers) noexcept {
    auto bit = [](std::uint32_t word, unsigned index) { return ((word >> index) & 1u) != 0; };
    bool const fma = bit(registers.leaf1_ecx, 12);
    bool const f16c = bit(registers.leaf1_ecx, 29);
    bool const avx2 = bit(registers.leaf7_ebx, 5);
    bool const avx512f = bit(registers.leaf7_ebx, 16);
    bool const ifma = bit(registers.leaf7_ebx, 21);
    bool const vbmi2 = bit(registers.leaf7_ecx, 6);
    bool const vnni = bit(registers.leaf7_ecx, 11);
    bool const bitalg = bit(registers.leaf7_ecx, 12);
    bool const vpopcntdq = bit(registers.leaf7_ecx, 14);
    bool const vp2intersect = bit(registers.leaf7_edx, 8);
    bool const fp16 = bit(registers.leaf7_edx, 23);
    bool const bf16 = bit(registers.leaf7_1_eax, 5);

    vexlane_capability_t word = vexlane_cap_serial;
    if (avx2 && fma && f16c)
        word |= vexlane_cap_haswell;
    if (avx512f)
        word |= vexlane_cap_skylake;
    if (vnni && ifma && vbmi2 && bitalg && vpopcntdq)
        word |= vexlane_cap_ice;
    if (bf16)
        word |= vexlane_cap_genoa;
    if (fp16)
        word |= vexlane_cap_sapphire;
    if (bf16 && vp2intersect)
        word |= vexlane_cap_turin;
    return word;
}

vexlane_capability_t detect_capabilities() noexcept { return compose_capabilities(read_cpuid_registers()); }

namespace {

struct implementation_row_t {
    vexlane_metric_kind_t kind;
    vexlane_datatype_t datatype;
    vexlane_kernel_punned_t serial_approximate;
    vexlane_kernel_punned_t serial_math_library;
    vexlane_kernel_punned_t haswell; // null where no haswell kernel exists
};

template <typename function_at> vexlane_kernel_punned_t punned(function_at* function) noexcept {
    return reinterpret_cast<vexlane_kernel_punned_t>(function);
}

#define KORVANE_ROW_(kind, family, datatype, haswell)                                                             \
    implementation_row_t {                                                                                         \
        vexlane_metric_##kind, vexlane_datatype_##datatype,                                                        \
            punned(&serial_##family##_##datatype<math_mode_t::approximate>),                                       \
            punned(&serial_##family##_##datatype<math_mode_t::math_library>), haswell                              \
    }
#define KORVANE_ROW_SH_(kind, family, datatype) KORVANE_ROW_(kind, family, datatype, punned(&haswell_##family##_##datatype))
#define KORVANE_ROW_S_(kind, family, datatype) KORVANE_ROW_(kind, family, datatype, nullptr)

implementation_row_t const* implementation_table(std::size_t& count) noexcept {
    static implementation_row_t const rows[] = {
        KORVANE_ROW_SH_(dot, dot, i8),
        KORVANE_ROW_SH_(dot, dot, u8),
        KORVANE_ROW_S_(dot, dot, f64),
        KORVANE_ROW_SH_(dot, dot, f32),
        KORVANE_ROW_SH_(dot, dot, f16),
        KORVANE_ROW_SH_(dot, dot, bf16),
        KORVANE_ROW_S_(dot, dot, f64c),
        KORVANE_ROW_SH_(dot, dot, f32c),
        KORVANE_ROW_SH_(dot, dot, f16c),
        KORVANE_ROW_S_(dot, dot, bf16c),

        KORVANE_ROW_S_(vdot, vdot, f64c),
        KORVANE_ROW_SH_(vdot, vdot, f32c),
        KORVANE_ROW_SH_(vdot, vdot, f16c),
        KORVANE_ROW_S_(vdot, vdot, bf16c),

        KORVANE_ROW_SH_(cos, cos, i8),
        KORVANE_ROW_SH_(cos, cos, u8),
        KORVANE_ROW_SH_(cos, cos, f64),
        KORVANE_ROW_SH_(cos, cos, f32),
        KORVANE_ROW_SH_(cos, cos, f16),
        KORVANE_ROW_SH_(cos, cos, bf16),

        KORVANE_ROW_SH_(l2sq, l2sq, i8),
        KORVANE_ROW_SH_(l2sq, l2sq, u8),
        KORVANE_ROW_SH_(l2sq, l2sq, f64),
        KORVANE_ROW_SH_(l2sq, l2sq, f32),
        KORVANE_ROW_SH_(l2sq, l2sq, f16),
        KORVANE_ROW_SH_(l2sq, l2sq, bf16),

        KORVANE_ROW_SH_(l2, l2, i8),
        KORVANE_ROW_SH_(l2, l2, u8),
        KORVANE_ROW_SH_(l2, l2, f64),
        KORVANE_ROW_SH_(l2, l2, f32),
        KORVANE_ROW_SH_(l2, l2, f16),
        KORVANE_ROW_SH_(l2, l2, bf16),

        KORVANE_ROW_SH_(hamming, hamming, b8),
        KORVANE_ROW_SH_(jaccard, jaccard, b8),

        KORVANE_ROW_S_(kl, kl, f64),
        KORVANE_ROW_S_(kl, kl, f32),
        KORVANE_ROW_SH_(kl, kl, f16),
        KORVANE_ROW_S_(kl, kl, bf16),
        KORVANE_ROW_S_(js, js, f64),
        KORVANE_ROW_S_(js, js, f32),
        KORVANE_ROW_SH_(js, js, f16),
        KORVANE_ROW_S_(js, js, bf16),

        KORVANE_ROW_S_(intersect, intersect, u16),
        KORVANE_ROW_S_(intersect, intersect, u32),

        KORVANE_ROW_S_(bilinear, bilinear, f64),
        KORVANE_ROW_S_(bilinear, bilinear, f32),
        KORVANE_ROW_SH_(bilinear, bilinear, f16),
        KORVANE_ROW_SH_(bilinear, bilinear, bf16),
        KORVANE_ROW_S_(bilinear, bilinear, f64c),
        KORVANE_ROW_S_(bilinear, bilinear, f32c),
        KORVANE_ROW_S_(bilinear, bilinear, f16c),
        KORVANE_ROW_S_(bilinear, bilinear, bf16c),
        KORVANE_ROW_S_(mahalanobis, mahalanobis, f64),
        KORVANE_ROW_S_(mahalanobis, mahalanobis, f32),
        KORVANE_ROW_SH_(mahalanobis, mahalanobis, f16),
        KORVANE_ROW_SH_(mahalanobis, mahalanobis, bf16),

        KORVANE_ROW_SH_(fma, fma, f64),
        KORVANE_ROW_SH_(fma, fma, f32),
        KORVANE_ROW_SH_(fma, fma, f16),
        KORVANE_ROW_SH_(fma, fma, bf16),
        KORVANE_ROW_SH_(fma, fma, i8),
        KORVANE_ROW_SH_(fma, fma, u8),
        KORVANE_ROW_SH_(wsum, wsum, f64),
        KORVANE_ROW_SH_(wsum, wsum, f32),
        KORVANE_ROW_SH_(wsum, wsum, f16),
        KORVANE_ROW_SH_(wsum, wsum, bf16),
        KORVANE_ROW_SH_(wsum, wsum, i8),
        KORVANE_ROW_SH_(wsum, wsum, u8),
    };
    count = sizeof rows / sizeof rows[0];
    return rows;
}

#undef KORVANE_ROW_S_
#undef KORVANE_ROW_SH_
#undef KORVANE_ROW_

bool is_known_datatype(vexlane_datatype_t datatype) noexcept {
    switch (datatype) {
    case vexlane_datatype_b8:
    case vexlane_datatype_i8:
    case vexlane_datatype_u8:
    case vexlane_datatype_u16:
    case vexlane_datatype_u32:
    case vexlane_datatype_f64:
    case vexlane_datatype_f32:
    case vexlane_datatype_f16:
    case vexlane_datatype_bf16:
    case vexlane_datatype_f64c:
    case vexlane_datatype_f32c:
    case vexlane_datatype_f16c:
    case vexlane_datatype_bf16c: return true;
    default: return false;
    }
}

} // namespace

void find_kernel(math_mode_t mode, vexlane_metric_kind_t kind, vexlane_datatype_t datatype,
                 vexlane_capability_t supported, vexlane_capability_t allowed, vexlane_kernel_punned_t* kernel_out,
                 vexlane_capability_t* capability_out) noexcept {
    vexlane_capability_t const viable = supported & allowed;
    if (!is_known_datatype(datatype)) {
        *kernel_out = nullptr;
        *capability_out = 0;
        return;
    }
    std::size_t count = 0;
    implementation_row_t const* rows = implementation_table(count);
    for (std::size_t i = 0; i != count; ++i) {
        implementation_row_t const& row = rows[i];
        if (row.kind != kind || row.datatype != datatype)
            continue;
        if ((viable & vexlane_cap_haswell) && row.haswell) {
            *kernel_out = row.haswell;
            *capability_out = vexlane_cap_haswell;
            return;
        }
        vexlane_kernel_punned_t const serial =
            mode == math_mode_t::approximate ? row.serial_approximate : row.serial_math_library;
        if ((viable & vexlane_cap_serial) && serial) {
            *kernel_out = serial;
            *capability_out = vexlane_cap_serial;
        }
        return;
    }
}

} // namespace korvane
} // namespace vemo
