#ifndef VEXLANE_TYPES_H
#define VEXLANE_TYPES_H
/* Plain C types of the vexlane kernel library: capability bits, metric and datatype codes, kernel shapes. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t vexlane_capability_t;
enum {
    vexlane_cap_serial = 0x1,
    vexlane_cap_haswell = 0x400,
    vexlane_cap_skylake = 0x800,
    vexlane_cap_ice = 0x1000,
    vexlane_cap_genoa = 0x2000,
    vexlane_cap_sapphire = 0x4000,
    vexlane_cap_turin = 0x8000,
    vexlane_cap_sierra = 0x10000,
    vexlane_cap_neon = 0x100000,
    vexlane_cap_neon_f16 = 0x200000,
    vexlane_cap_neon_bf16 = 0x400000,
    vexlane_cap_neon_i8 = 0x800000,
    vexlane_cap_sve = 0x1000000,
    vexlane_cap_sve_f16 = 0x2000000,
    vexlane_cap_sve_bf16 = 0x4000000,
    vexlane_cap_sve_i8 = 0x8000000,
    vexlane_cap_sve2 = 0x10000000,
    vexlane_cap_sve2p1 = 0x20000000,
    /* Sentinel of the capability cache; as an "allowed" mask it allows everything. */
    vexlane_cap_any = 0x7FFFFFFF
};

/* One ASCII character naming a kernel family. */
typedef int32_t vexlane_metric_kind_t;
enum {
    vexlane_metric_dot = 'i',
    vexlane_metric_vdot = 'v',
    vexlane_metric_cos = 'c',
    vexlane_metric_l2sq = 'e',
    vexlane_metric_l2 = '2',
    vexlane_metric_hamming = 'h',
    vexlane_metric_jaccard = 'j',
    vexlane_metric_kl = 'k',
    vexlane_metric_js = 's',
    vexlane_metric_intersect = 'x',
    vexlane_metric_bilinear = 'b',
    vexlane_metric_mahalanobis = 'm',
    vexlane_metric_fma = 'f',
    vexlane_metric_wsum = 'w'
};

/* Exactly one bit set. */
typedef int32_t vexlane_datatype_t;
enum {
    vexlane_datatype_b8 = 2,
    vexlane_datatype_i8 = 4,
    vexlane_datatype_u8 = 64,
    vexlane_datatype_u16 = 128,
    vexlane_datatype_u32 = 256,
    vexlane_datatype_f64 = 1024,
    vexlane_datatype_f32 = 2048,
    vexlane_datatype_f16 = 4096,
    vexlane_datatype_bf16 = 8192,
    vexlane_datatype_f64c = 0x100000,
    vexlane_datatype_f32c = 0x200000,
    vexlane_datatype_f16c = 0x400000,
    vexlane_datatype_bf16c = 0x800000
};

typedef double vexlane_distance_t;
typedef uint16_t vexlane_f16_t;  /* raw bits of an IEEE binary16 */
typedef uint16_t vexlane_bf16_t; /* raw bits of a bfloat16 */

typedef void (*vexlane_kernel_punned_t)(void);
typedef void (*vexlane_metric_dense_punned_t)(void const* a, void const* b, uint64_t n, vexlane_distance_t* result);
typedef void (*vexlane_metric_sparse_punned_t)(void const* a, void const* b, uint64_t a_length, uint64_t b_length,
                                               vexlane_distance_t* result);
typedef void (*vexlane_metric_curved_punned_t)(void const* a, void const* b, void const* c, uint64_t n,
                                               vexlane_distance_t* result);
typedef void (*vexlane_kernel_fma_punned_t)(void const* a, void const* b, void const* c, uint64_t n, double alpha,
                                            double beta, void* result);
typedef void (*vexlane_kernel_wsum_punned_t)(void const* a, void const* b, uint64_t n, double alpha, double beta,
                                             void* result);

#ifdef __cplusplus
}
#endif

#endif /* VEXLANE_TYPES_H */
