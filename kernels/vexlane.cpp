// The exported kernel library: the cached capability word, the name tables, the lookup and the 68 entry
// points, each of which resolves its kernel once and then forwards every call to it.
//
// The caches are atomics accessed with relaxed ordering: on x86-64 that is a plain load or store. Threads
// racing on a first call each detect or look up and store the same value, so no lock is needed.

#include "kernels/vexlane.h"

#include <immintrin.h>

#include <atomic>
#include <cstring>

#include "kernels/half.h"
#include "kernels/kernel_lookup.h"

namespace vemo {
namespace korvane {
namespace {

constexpr vexlane_capability_t capabilities_not_detected = vexlane_cap_any;

/// The detected capability word, or the sentinel until the first vexlane_capabilities call stores it.
std::atomic<vexlane_capability_t> vexlane_capabilities_cache{capabilities_not_detected};

vexlane_named_value_t const capability_names[] = {
    {vexlane_cap_serial, "serial"},       {vexlane_cap_haswell, "haswell"},     {vexlane_cap_skylake, "skylake"},
    {vexlane_cap_ice, "ice"},             {vexlane_cap_genoa, "genoa"},         {vexlane_cap_sapphire, "sapphire"},
    {vexlane_cap_turin, "turin"},         {vexlane_cap_sierra, "sierra"},       {vexlane_cap_neon, "neon"},
    {vexlane_cap_neon_i8, "neon_i8"},     {vexlane_cap_neon_f16, "neon_f16"},   {vexlane_cap_neon_bf16, "neon_bf16"},
    {vexlane_cap_sve, "sve"},             {vexlane_cap_sve_i8, "sve_i8"},       {vexlane_cap_sve_f16, "sve_f16"},
    {vexlane_cap_sve_bf16, "sve_bf16"},   {vexlane_cap_sve2, "sve2"},           {vexlane_cap_sve2p1, "sve2p1"},
};

vexlane_named_value_t const compiled_capabilities[] = {
    {1, "serial"},   {1, "haswell"},  {0, "skylake"},  {0, "ice"},     {0, "genoa"},    {0, "sapphire"},
    {0, "turin"},    {0, "sierra"},   {0, "neon"},     {0, "neon_i8"}, {0, "neon_f16"}, {0, "neon_bf16"},
    {0, "sve"},      {0, "sve_i8"},   {0, "sve_f16"},  {0, "sve_bf16"}, {0, "sve2"},
};

int uses(vexlane_capability_t bit) noexcept { return (vexlane_capabilities() & bit) != 0; }

/// Looks up the entry point's kernel for this processor and caches it when one exists.
template <typename kernel_at>
kernel_at resolve(std::atomic<kernel_at>& cache, vexlane_metric_kind_t kind, vexlane_datatype_t datatype) noexcept {
    vexlane_kernel_punned_t kernel = nullptr;
    vexlane_capability_t capability = 0;
    vexlane_find_kernel_punned(kind, datatype, vexlane_capabilities(), vexlane_cap_any, &kernel, &capability);
    kernel_at const typed = reinterpret_cast<kernel_at>(kernel);
    if (typed)
        cache.store(typed, std::memory_order_relaxed);
    return typed;
}

void store_missing_kernel(vexlane_distance_t* result) noexcept {
    std::uint64_t const bits = VEXLANE_MISSING_KERNEL_BITS;
    std::memcpy(result, &bits, sizeof bits);
}

} // namespace
} // namespace korvane
} // namespace vemo

using namespace vemo::korvane;

extern "C" {

vexlane_capability_t vexlane_capabilities(void) {
    vexlane_capability_t const cached = vexlane_capabilities_cache.load(std::memory_order_relaxed);
    if (cached != capabilities_not_detected)
        return cached;
    vexlane_capability_t const detected = detect_capabilities();
    // Stored before priming, so that the entry points' own calls of this function return at once.
    vexlane_capabilities_cache.store(detected, std::memory_order_relaxed);

    // Scratch for every input and output of the priming calls: length 0 reads nothing, and the largest
    // result written is one complex 64-bit pair.
    alignas(64) unsigned char scratch[64] = {};
    auto* distances = reinterpret_cast<vexlane_distance_t*>(scratch);
    vexlane_dot_i8(scratch, scratch, 0, distances);
    vexlane_dot_u8(scratch, scratch, 0, distances);
    vexlane_dot_f16(scratch, scratch, 0, distances);
    vexlane_dot_bf16(scratch, scratch, 0, distances);
    vexlane_dot_f32(scratch, scratch, 0, distances);
    vexlane_dot_f64(scratch, scratch, 0, distances);
    vexlane_dot_f16c(scratch, scratch, 0, distances);
    vexlane_dot_bf16c(scratch, scratch, 0, distances);
    vexlane_dot_f32c(scratch, scratch, 0, distances);
    vexlane_dot_f64c(scratch, scratch, 0, distances);
    vexlane_vdot_f16c(scratch, scratch, 0, distances);
    vexlane_vdot_bf16c(scratch, scratch, 0, distances);
    vexlane_vdot_f32c(scratch, scratch, 0, distances);
    vexlane_vdot_f64c(scratch, scratch, 0, distances);
    vexlane_cos_i8(scratch, scratch, 0, distances);
    vexlane_cos_u8(scratch, scratch, 0, distances);
    vexlane_cos_f16(scratch, scratch, 0, distances);
    vexlane_cos_bf16(scratch, scratch, 0, distances);
    vexlane_cos_f32(scratch, scratch, 0, distances);
    vexlane_cos_f64(scratch, scratch, 0, distances);
    vexlane_l2sq_i8(scratch, scratch, 0, distances);
    vexlane_l2sq_u8(scratch, scratch, 0, distances);
    vexlane_l2sq_f16(scratch, scratch, 0, distances);
    vexlane_l2sq_bf16(scratch, scratch, 0, distances);
    vexlane_l2sq_f32(scratch, scratch, 0, distances);
    vexlane_l2sq_f64(scratch, scratch, 0, distances);
    vexlane_l2_i8(scratch, scratch, 0, distances);
    vexlane_l2_u8(scratch, scratch, 0, distances);
    vexlane_l2_f16(scratch, scratch, 0, distances);
    vexlane_l2_bf16(scratch, scratch, 0, distances);
    vexlane_l2_f32(scratch, scratch, 0, distances);
    vexlane_l2_f64(scratch, scratch, 0, distances);
    vexlane_hamming_b8(scratch, scratch, 0, distances);
    vexlane_jaccard_b8(scratch, scratch, 0, distances);
    vexlane_kl_f16(scratch, scratch, 0, distances);
    vexlane_kl_bf16(scratch, scratch, 0, distances);
    vexlane_kl_f32(scratch, scratch, 0, distances);
    vexlane_kl_f64(scratch, scratch, 0, distances);
    vexlane_js_f16(scratch, scratch, 0, distances);
    vexlane_js_bf16(scratch, scratch, 0, distances);
    vexlane_js_f32(scratch, scratch, 0, distances);
    vexlane_js_f64(scratch, scratch, 0, distances);
    vexlane_intersect_u16(scratch, scratch, 0, 0, distances);
    vexlane_intersect_u32(scratch, scratch, 0, 0, distances);
    vexlane_bilinear_f64(scratch, scratch, scratch, 0, distances);
    vexlane_mahalanobis_f64(scratch, scratch, scratch, 0, distances);
    vexlane_bilinear_f32(scratch, scratch, scratch, 0, distances);
    vexlane_mahalanobis_f32(scratch, scratch, scratch, 0, distances);
    vexlane_bilinear_f16(scratch, scratch, scratch, 0, distances);
    vexlane_mahalanobis_f16(scratch, scratch, scratch, 0, distances);
    vexlane_bilinear_bf16(scratch, scratch, scratch, 0, distances);
    vexlane_mahalanobis_bf16(scratch, scratch, scratch, 0, distances);
    vexlane_wsum_f64(scratch, scratch, 0, 0, 0, scratch);
    vexlane_wsum_f32(scratch, scratch, 0, 0, 0, scratch);
    vexlane_wsum_f16(scratch, scratch, 0, 0, 0, scratch);
    vexlane_wsum_bf16(scratch, scratch, 0, 0, 0, scratch);
    vexlane_wsum_i8(scratch, scratch, 0, 0, 0, scratch);
    vexlane_wsum_u8(scratch, scratch, 0, 0, 0, scratch);
    vexlane_fma_f64(scratch, scratch, scratch, 0, 0, 0, scratch);
    vexlane_fma_f32(scratch, scratch, scratch, 0, 0, 0, scratch);
    vexlane_fma_f16(scratch, scratch, scratch, 0, 0, 0, scratch);
    vexlane_fma_bf16(scratch, scratch, scratch, 0, 0, 0, scratch);
    vexlane_fma_i8(scratch, scratch, scratch, 0, 0, 0, scratch);
    vexlane_fma_u8(scratch, scratch, scratch, 0, 0, 0, scratch);
    return detected;
}

int vexlane_uses_neon(void) { return uses(vexlane_cap_neon); }
int vexlane_uses_neon_f16(void) { return uses(vexlane_cap_neon_f16); }
int vexlane_uses_neon_bf16(void) { return uses(vexlane_cap_neon_bf16); }
int vexlane_uses_neon_i8(void) { return uses(vexlane_cap_neon_i8); }
int vexlane_uses_sve(void) { return uses(vexlane_cap_sve); }
int vexlane_uses_sve_f16(void) { return uses(vexlane_cap_sve_f16); }
int vexlane_uses_sve_bf16(void) { return uses(vexlane_cap_sve_bf16); }
int vexlane_uses_sve_i8(void) { return uses(vexlane_cap_sve_i8); }
int vexlane_uses_haswell(void) { return uses(vexlane_cap_haswell); }
int vexlane_uses_skylake(void) { return uses(vexlane_cap_skylake); }
int vexlane_uses_ice(void) { return uses(vexlane_cap_ice); }
int vexlane_uses_genoa(void) { return uses(vexlane_cap_genoa); }
int vexlane_uses_sapphire(void) { return uses(vexlane_cap_sapphire); }
int vexlane_uses_turin(void) { return uses(vexlane_cap_turin); }
int vexlane_uses_sierra(void) { return uses(vexlane_cap_sierra); }

int vexlane_uses_dynamic_dispatch(void) { return 1; }

int vexlane_flush_denormals(void) {
    _mm_setcsr(_mm_getcsr() | 0x8040u);
    return 1;
}

vexlane_named_value_t const* vexlane_capability_names(size_t* count) {
    if (count)
        *count = sizeof capability_names / sizeof capability_names[0];
    return capability_names;
}

vexlane_named_value_t const* vexlane_compiled_capabilities(size_t* count) {
    if (count)
        *count = sizeof compiled_capabilities / sizeof compiled_capabilities[0];
    return compiled_capabilities;
}

char const* vexlane_capability_name(vexlane_capability_t capability) {
    switch (capability) {
    case vexlane_cap_serial: return "serial";
    case vexlane_cap_haswell: return "haswell";
    case vexlane_cap_skylake: return "skylake";
    case vexlane_cap_ice: return "ice";
    case vexlane_cap_genoa: return "genoa";
    case vexlane_cap_sapphire: return "sapphire";
    case vexlane_cap_neon: return "neon";
    case vexlane_cap_neon_f16: return "neon_f16";
    case vexlane_cap_neon_bf16: return "neon_bf16";
    case vexlane_cap_neon_i8: return "neon_i8";
    case vexlane_cap_sve: return "sve";
    case vexlane_cap_sve_f16: return "sve_f16";
    case vexlane_cap_sve_bf16: return "sve_bf16";
    case vexlane_cap_sve_i8: return "sve_i8";
    default: return "unknown";
    }
}

void vexlane_find_kernel_punned(vexlane_metric_kind_t kind, vexlane_datatype_t datatype,
                                vexlane_capability_t supported, vexlane_capability_t allowed,
                                vexlane_kernel_punned_t* kernel_out, vexlane_capability_t* capability_out) {
    find_kernel(math_mode_t::approximate, kind, datatype, supported, allowed, kernel_out, capability_out);
}

// Distance entry points store the missing-kernel NaN while no kernel exists. fma and wsum have a serial
// kernel for every datatype and the serial bit is always detected, so their lookup does not fail; should it
// ever, they write nothing rather than call through a null pointer.

#define VEXLANE_DENSE_ENTRY_(family, datatype)                                                                      \
    void vexlane_##family##_##datatype(void const* a, void const* b, uint64_t n, vexlane_distance_t* result) {      \
        static std::atomic<vexlane_metric_dense_punned_t> cache{nullptr};                                            \
        vexlane_metric_dense_punned_t kernel = cache.load(std::memory_order_relaxed);                               \
        if (!kernel && !(kernel = resolve(cache, vexlane_metric_##family, vexlane_datatype_##datatype)))            \
            return store_missing_kernel(result);                                                                    \
        kernel(a, b, n, result);                                                                                    \
    }

#define VEXLANE_SPARSE_ENTRY_(family, datatype)                                                                     \
    void vexlane_##family##_##datatype(void const* a, void const* b, uint64_t a_length, uint64_t b_length,         \
                                       vexlane_distance_t* result) {                                                \
        static std::atomic<vexlane_metric_sparse_punned_t> cache{nullptr};                                           \
        vexlane_metric_sparse_punned_t kernel = cache.load(std::memory_order_relaxed);                              \
        if (!kernel && !(kernel = resolve(cache, vexlane_metric_##family, vexlane_datatype_##datatype)))            \
            return store_missing_kernel(result);                                                                    \
        kernel(a, b, a_length, b_length, result);                                                                   \
    }

#define VEXLANE_CURVED_ENTRY_(family, datatype)                                                                     \
    void vexlane_##family##_##datatype(void const* a, void const* b, void const* c, uint64_t n,                    \
                                       vexlane_distance_t* result) {                                                \
        static std::atomic<vexlane_metric_curved_punned_t> cache{nullptr};                                           \
        vexlane_metric_curved_punned_t kernel = cache.load(std::memory_order_relaxed);                              \
        if (!kernel && !(kernel = resolve(cache, vexlane_metric_##family, vexlane_datatype_##datatype)))            \
            return store_missing_kernel(result);                                                                    \
        kernel(a, b, c, n, result);                                                                                 \
    }

#define VEXLANE_FMA_ENTRY_(datatype)                                                                                \
    void vexlane_fma_##datatype(void const* a, void const* b, void const* c, uint64_t n, double alpha, double beta, \
                                void* result) {                                                                     \
        static std::atomic<vexlane_kernel_fma_punned_t> cache{nullptr};                                              \
        vexlane_kernel_fma_punned_t kernel = cache.load(std::memory_order_relaxed);                                 \
        if (!kernel && !(kernel = resolve(cache, vexlane_metric_fma, vexlane_datatype_##datatype)))               \
            return;                                                                                                 \
        kernel(a, b, c, n, alpha, beta, result);                                                                    \
    }

#define VEXLANE_WSUM_ENTRY_(datatype)                                                                               \
    void vexlane_wsum_##datatype(void const* a, void const* b, uint64_t n, double alpha, double beta,               \
                                 void* result) {                                                                    \
        static std::atomic<vexlane_kernel_wsum_punned_t> cache{nullptr};                                             \
        vexlane_kernel_wsum_punned_t kernel = cache.load(std::memory_order_relaxed);                                \
        if (!kernel && !(kernel = resolve(cache, vexlane_metric_wsum, vexlane_datatype_##datatype)))              \
            return;                                                                                                 \
        kernel(a, b, n, alpha, beta, result);                                                                       \
    }

VEXLANE_DENSE_ENTRY_(dot, i8)
VEXLANE_DENSE_ENTRY_(dot, u8)
VEXLANE_DENSE_ENTRY_(dot, f16)
VEXLANE_DENSE_ENTRY_(dot, bf16)
VEXLANE_DENSE_ENTRY_(dot, f32)
VEXLANE_DENSE_ENTRY_(dot, f64)
VEXLANE_DENSE_ENTRY_(dot, f16c)
VEXLANE_DENSE_ENTRY_(dot, bf16c)
VEXLANE_DENSE_ENTRY_(dot, f32c)
VEXLANE_DENSE_ENTRY_(dot, f64c)
VEXLANE_DENSE_ENTRY_(vdot, f16c)
VEXLANE_DENSE_ENTRY_(vdot, bf16c)
VEXLANE_DENSE_ENTRY_(vdot, f32c)
VEXLANE_DENSE_ENTRY_(vdot, f64c)
VEXLANE_DENSE_ENTRY_(cos, i8)
VEXLANE_DENSE_ENTRY_(cos, u8)
VEXLANE_DENSE_ENTRY_(cos, f16)
VEXLANE_DENSE_ENTRY_(cos, bf16)
VEXLANE_DENSE_ENTRY_(cos, f32)
VEXLANE_DENSE_ENTRY_(cos, f64)
VEXLANE_DENSE_ENTRY_(l2sq, i8)
VEXLANE_DENSE_ENTRY_(l2sq, u8)
VEXLANE_DENSE_ENTRY_(l2sq, f16)
VEXLANE_DENSE_ENTRY_(l2sq, bf16)
VEXLANE_DENSE_ENTRY_(l2sq, f32)
VEXLANE_DENSE_ENTRY_(l2sq, f64)
VEXLANE_DENSE_ENTRY_(l2, i8)
VEXLANE_DENSE_ENTRY_(l2, u8)
VEXLANE_DENSE_ENTRY_(l2, f16)
VEXLANE_DENSE_ENTRY_(l2, bf16)
VEXLANE_DENSE_ENTRY_(l2, f32)
VEXLANE_DENSE_ENTRY_(l2, f64)
VEXLANE_DENSE_ENTRY_(hamming, b8)
VEXLANE_DENSE_ENTRY_(jaccard, b8)
VEXLANE_DENSE_ENTRY_(kl, f16)
VEXLANE_DENSE_ENTRY_(kl, bf16)
VEXLANE_DENSE_ENTRY_(kl, f32)
VEXLANE_DENSE_ENTRY_(kl, f64)
VEXLANE_DENSE_ENTRY_(js, f16)
VEXLANE_DENSE_ENTRY_(js, bf16)
VEXLANE_DENSE_ENTRY_(js, f32)
VEXLANE_DENSE_ENTRY_(js, f64)
VEXLANE_SPARSE_ENTRY_(intersect, u16)
VEXLANE_SPARSE_ENTRY_(intersect, u32)
VEXLANE_CURVED_ENTRY_(bilinear, f64)
VEXLANE_CURVED_ENTRY_(bilinear, f64c)
VEXLANE_CURVED_ENTRY_(mahalanobis, f64)
VEXLANE_CURVED_ENTRY_(bilinear, f32)
VEXLANE_CURVED_ENTRY_(bilinear, f32c)
VEXLANE_CURVED_ENTRY_(mahalanobis, f32)
VEXLANE_CURVED_ENTRY_(bilinear, f16)
VEXLANE_CURVED_ENTRY_(bilinear, f16c)
VEXLANE_CURVED_ENTRY_(mahalanobis, f16)
VEXLANE_CURVED_ENTRY_(bilinear, bf16)
VEXLANE_CURVED_ENTRY_(bilinear, bf16c)
VEXLANE_CURVED_ENTRY_(mahalanobis, bf16)
VEXLANE_FMA_ENTRY_(f64)
VEXLANE_FMA_ENTRY_(f32)
VEXLANE_FMA_ENTRY_(f16)
VEXLANE_FMA_ENTRY_(bf16)
VEXLANE_FMA_ENTRY_(i8)
VEXLANE_FMA_ENTRY_(u8)
VEXLANE_WSUM_ENTRY_(f64)
VEXLANE_WSUM_ENTRY_(f32)
VEXLANE_WSUM_ENTRY_(f16)
VEXLANE_WSUM_ENTRY_(bf16)
VEXLANE_WSUM_ENTRY_(i8)
VEXLANE_WSUM_ENTRY_(u8)

float vexlane_f16_to_f32(vexlane_f16_t const* half) { return f16_to_f32(*half); }
void vexlane_f32_to_f16(float value, vexlane_f16_t* half) { *half = f32_to_f16(value); }
float vexlane_bf16_to_f32(vexlane_bf16_t const* brain) { return bf16_to_f32(*brain); }
void vexlane_f32_to_bf16(float value, vexlane_bf16_t* brain) { *brain = f32_to_bf16(value); }

} // extern "C"
