#ifndef VEXLANE_H
#define VEXLANE_H
/* The exported C interface of the vexlane kernel library: capability detection, kernel lookup, one entry
 * point per (family, datatype) that picks its kernel on first use, and the half-precision conversions.
 * The library reports no errors; a distance entry point without a kernel stores VEXLANE_MISSING_KERNEL_BITS
 * as its first result. Inputs need no alignment and are never written; lengths are not validated. */

#include "kernels/vexlane_types.h"

#define VEXLANE_EXPORT __attribute__((visibility("default")))

/* Bit pattern of the double a distance entry point stores when no kernel exists: a signalling NaN with
 * payload 1. */
#define VEXLANE_MISSING_KERNEL_BITS 0x7FF0000000000001ull

#ifdef __cplusplus
extern "C" {
#endif

/* Capabilities */

/* The capability word of this processor. The first call detects it, caches it and resolves every entry
 * point below except the complex bilinear ones; later calls return the cached word. Thread-safe. */
VEXLANE_EXPORT vexlane_capability_t vexlane_capabilities(void);

/* 1 when the family's bit is set in vexlane_capabilities(), else 0. */
VEXLANE_EXPORT int vexlane_uses_neon(void);
VEXLANE_EXPORT int vexlane_uses_neon_f16(void);
VEXLANE_EXPORT int vexlane_uses_neon_bf16(void);
VEXLANE_EXPORT int vexlane_uses_neon_i8(void);
VEXLANE_EXPORT int vexlane_uses_sve(void);
VEXLANE_EXPORT int vexlane_uses_sve_f16(void);
VEXLANE_EXPORT int vexlane_uses_sve_bf16(void);
VEXLANE_EXPORT int vexlane_uses_sve_i8(void);
VEXLANE_EXPORT int vexlane_uses_haswell(void);
VEXLANE_EXPORT int vexlane_uses_skylake(void);
VEXLANE_EXPORT int vexlane_uses_ice(void);
VEXLANE_EXPORT int vexlane_uses_genoa(void);
VEXLANE_EXPORT int vexlane_uses_sapphire(void);
VEXLANE_EXPORT int vexlane_uses_turin(void);
VEXLANE_EXPORT int vexlane_uses_sierra(void);

/* Always 1: kernels are chosen at run time. */
VEXLANE_EXPORT int vexlane_uses_dynamic_dispatch(void);

/* Sets flush-to-zero and denormals-are-zero in the calling thread's MXCSR (ORs in 0x8040); returns 1. */
VEXLANE_EXPORT int vexlane_flush_denormals(void);

/* One row of a name table. */
typedef struct vexlane_named_value_t {
    uint64_t value;
    char const* name;
} vexlane_named_value_t;

/* The 18 capability names with their bits, in listing order; a name is available when its bit is set in
 * vexlane_capabilities(). Stores the row count in *count when count is not null. Static storage. */
VEXLANE_EXPORT vexlane_named_value_t const* vexlane_capability_names(size_t* count);

/* The 17 processor families with 1 when this build has kernels for them, else 0. Static storage. */
VEXLANE_EXPORT vexlane_named_value_t const* vexlane_compiled_capabilities(size_t* count);

/* The name of one capability value ("serial", "haswell", ...), "unknown" for anything else, including
 * combinations of bits. Static storage. */
VEXLANE_EXPORT char const* vexlane_capability_name(vexlane_capability_t capability);

/* Lookup */

/* Stores in *kernel_out the best kernel of (kind, datatype) among (supported & allowed), and its capability
 * in *capability_out: haswell before serial. An unknown datatype stores null and 0; a kind without a kernel
 * for the datatype, or no viable capability, stores nothing, so callers preset null and 0. */
VEXLANE_EXPORT void vexlane_find_kernel_punned(vexlane_metric_kind_t kind, vexlane_datatype_t datatype,
                                               vexlane_capability_t supported, vexlane_capability_t allowed,
                                               vexlane_kernel_punned_t* kernel_out,
                                               vexlane_capability_t* capability_out);

/* Entry points. Complex dot, vdot and complex bilinear store two results (real, imaginary); fma and wsum
 * store n elements of the input datatype into result, which may be one of the inputs. */

VEXLANE_EXPORT void vexlane_dot_i8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_u8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_f16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_bf16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_f32(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_f64(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_f16c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_bf16c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_f32c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_dot_f64c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_vdot_f16c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_vdot_bf16c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_vdot_f32c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_vdot_f64c(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_cos_i8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_cos_u8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_cos_f16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_cos_bf16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_cos_f32(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_cos_f64(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_l2sq_i8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2sq_u8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2sq_f16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2sq_bf16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2sq_f32(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2sq_f64(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_l2_i8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2_u8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2_f16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2_bf16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2_f32(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_l2_f64(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_hamming_b8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_jaccard_b8(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_kl_f16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_kl_bf16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_kl_f32(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_kl_f64(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_js_f16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_js_bf16(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_js_f32(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_js_f64(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_intersect_u16(void const* a, void const* b, uint64_t a_length, uint64_t b_length,
                                          vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_intersect_u32(void const* a, void const* b, uint64_t a_length, uint64_t b_length,
                                          vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_bilinear_f64(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_bilinear_f64c(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_bilinear_f32(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_bilinear_f32c(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_bilinear_f16(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_bilinear_f16c(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_bilinear_bf16(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_bilinear_bf16c(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_mahalanobis_f64(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_mahalanobis_f32(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_mahalanobis_f16(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);
VEXLANE_EXPORT void vexlane_mahalanobis_bf16(void const* a, void const* b, void const* c, uint64_t n,
                                     vexlane_distance_t* result);

VEXLANE_EXPORT void vexlane_fma_f64(void const* a, void const* b, void const* c, uint64_t n, double alpha,
                                   double beta, void* result);
VEXLANE_EXPORT void vexlane_fma_f32(void const* a, void const* b, void const* c, uint64_t n, double alpha,
                                   double beta, void* result);
VEXLANE_EXPORT void vexlane_fma_f16(void const* a, void const* b, void const* c, uint64_t n, double alpha,
                                   double beta, void* result);
VEXLANE_EXPORT void vexlane_fma_bf16(void const* a, void const* b, void const* c, uint64_t n, double alpha,
                                   double beta, void* result);
VEXLANE_EXPORT void vexlane_fma_i8(void const* a, void const* b, void const* c, uint64_t n, double alpha,
                                   double beta, void* result);
VEXLANE_EXPORT void vexlane_fma_u8(void const* a, void const* b, void const* c, uint64_t n, double alpha,
                                   double beta, void* result);

VEXLANE_EXPORT void vexlane_wsum_f64(void const* a, void const* b, uint64_t n, double alpha, double beta,
                                    void* result);
VEXLANE_EXPORT void vexlane_wsum_f32(void const* a, void const* b, uint64_t n, double alpha, double beta,
                                    void* result);
VEXLANE_EXPORT void vexlane_wsum_f16(void const* a, void const* b, uint64_t n, double alpha, double beta,
                                    void* result);
VEXLANE_EXPORT void vexlane_wsum_bf16(void const* a, void const* b, uint64_t n, double alpha, double beta,
                                    void* result);
VEXLANE_EXPORT void vexlane_wsum_i8(void const* a, void const* b, uint64_t n, double alpha, double beta,
                                    void* result);
VEXLANE_EXPORT void vexlane_wsum_u8(void const* a, void const* b, uint64_t n, double alpha, double beta,
                                    void* result);

/* Half-precision conversions. Rounding to nearest with ties away from zero; infinities and NaNs keep their
 * class, finite values beyond the target's range become infinities. The stores take the value first and
 * the destination second. */

VEXLANE_EXPORT float vexlane_f16_to_f32(vexlane_f16_t const* half);
VEXLANE_EXPORT void vexlane_f32_to_f16(float value, vexlane_f16_t* half);
VEXLANE_EXPORT float vexlane_bf16_to_f32(vexlane_bf16_t const* brain);
VEXLANE_EXPORT void vexlane_f32_to_bf16(float value, vexlane_bf16_t* brain);

#ifdef __cplusplus
}
#endif

#endif /* VEXLANE_H */
