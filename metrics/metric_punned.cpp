#include "metrics/metric_punned.h"

#include "kernels/kernel_lookup.h"

namespace vemo {
namespace korvane {
namespace {

/// Kernel family serving a metric kind, or 0 when the library has none for it.
vexlane_metric_kind_t vexlane_metric_of(metric_kind_t kind) noexcept {
    switch (kind) {
    case metric_kind_t::hamming: return vexlane_metric_hamming;
    case metric_kind_t::cos: return vexlane_metric_cos;
    case metric_kind_t::l2sq: return vexlane_metric_l2sq;
    case metric_kind_t::ip: return vexlane_metric_dot;
    case metric_kind_t::jaccard: return vexlane_metric_jaccard;
    case metric_kind_t::tanimoto: return vexlane_metric_jaccard;
    default: return 0;
    }
}

/// Library datatype of a scalar kind, or 0 when the library has none for it.
vexlane_datatype_t vexlane_datatype_of(scalar_kind_t kind) noexcept {
    switch (kind) {
    case scalar_kind_t::b1x8: return vexlane_datatype_b8;
    case scalar_kind_t::i8: return vexlane_datatype_i8;
    case scalar_kind_t::f64: return vexlane_datatype_f64;
    case scalar_kind_t::f32: return vexlane_datatype_f32;
    case scalar_kind_t::f16: return vexlane_datatype_f16;
    case scalar_kind_t::bf16: return vexlane_datatype_bf16;
    default: return 0;
    }
}

template <typename metric_at> vexlane_kernel_punned_t formula() noexcept {
    return reinterpret_cast<vexlane_kernel_punned_t>(&metric_punned_t::equidimensional_<metric_at>);
}

} // namespace

metric_punned_t metric_punned_t::builtin(std::size_t dimensions, metric_kind_t metric_kind,
                                         scalar_kind_t scalar_kind) noexcept {
    metric_punned_t metric;
    metric.call_adapter_ = &metric_punned_t::invoke_array_array_third;
    metric.kernel_ = nullptr;
    // Written as a quotient plus a carry so that dimensions near SIZE_MAX cannot wrap.
    metric.kernel_count_ =
        scalar_kind == scalar_kind_t::b1x8 ? dimensions / 8 + (dimensions % 8 != 0) : dimensions;
    metric.dimensions_ = dimensions;
    metric.metric_kind_ = metric_kind;
    metric.scalar_kind_ = scalar_kind;
    metric.capability_ = vexlane_cap_serial;
    if (!metric.configure_with_vexlane())
        metric.configure_with_builtin_();
    return metric;
}

bool metric_punned_t::configure_with_vexlane() noexcept {
    // Detected once per process; concurrent first callers wait on the static's one-time initialisation.
    static vexlane_capability_t const static_capabilities = detect_capabilities();

    vexlane_metric_kind_t const kind = vexlane_metric_of(metric_kind_);
    vexlane_datatype_t const datatype = vexlane_datatype_of(scalar_kind_);
    if (!kind || !datatype)
        return false;

    vexlane_kernel_punned_t kernel = nullptr;
    vexlane_capability_t capability = 0;
    find_kernel(math_mode_t::math_library, kind, datatype, static_capabilities, vexlane_cap_any, &kernel,
                &capability);
    if (!kernel)
        return false;

    kernel_ = kernel;
    capability_ = capability;
    call_adapter_ = metric_kind_ == metric_kind_t::ip ? &metric_punned_t::invoke_vexlane_reverse
                                                      : &metric_punned_t::invoke_vexlane;
    return true;
}

void metric_punned_t::configure_with_builtin_() noexcept {
    // The bit-set formulas read `kernel_count_` bytes of each vector. For kinds of at least 8 bits a vector
    // holds at least that many bytes; kinds without a width (unknown, unlisted codes) store nothing, so
    // they get no function rather than a formula that would read past the vectors.
    bool const bytes_cover_count = scalar_kind_ == scalar_kind_t::b1x8 || bits_per_scalar(scalar_kind_) >= 8;
    // Haversine reads a latitude and a longitude from every vector, whatever the dimensions say.
    bool const holds_point = dimensions_ >= 2;

    switch (metric_kind_) {
    case metric_kind_t::hamming:
        if (bytes_cover_count)
            kernel_ = formula<metric_hamming_gt<b1x8_t, unsigned long>>();
        break;
    case metric_kind_t::jaccard:
    case metric_kind_t::tanimoto:
        if (bytes_cover_count)
            kernel_ = formula<metric_tanimoto_gt<b1x8_t, float>>();
        break;
    case metric_kind_t::sorensen:
        if (bytes_cover_count)
            kernel_ = formula<metric_sorensen_gt<b1x8_t, float>>();
        break;
    case metric_kind_t::divergence:
        switch (scalar_kind_) {
        case scalar_kind_t::f64: kernel_ = formula<metric_divergence_gt<double, float>>(); break;
        case scalar_kind_t::f32: kernel_ = formula<metric_divergence_gt<float, float>>(); break;
        case scalar_kind_t::f16: kernel_ = formula<metric_divergence_gt<f16_bits_t, float>>(); break;
        case scalar_kind_t::bf16: kernel_ = formula<metric_divergence_gt<bf16_bits_t, float>>(); break;
        default: break;
        }
        break;
    case metric_kind_t::pearson:
        switch (scalar_kind_) {
        case scalar_kind_t::f64: kernel_ = formula<metric_pearson_gt<double, float>>(); break;
        case scalar_kind_t::f32: kernel_ = formula<metric_pearson_gt<float, float>>(); break;
        case scalar_kind_t::f16: kernel_ = formula<metric_pearson_gt<f16_bits_t, float>>(); break;
        case scalar_kind_t::bf16: kernel_ = formula<metric_pearson_gt<bf16_bits_t, float>>(); break;
        case scalar_kind_t::i8: kernel_ = formula<metric_pearson_gt<signed char, float>>(); break;
        default: break;
        }
        break;
    case metric_kind_t::haversine:
        if (!holds_point)
            break;
        if (scalar_kind_ == scalar_kind_t::f64)
            kernel_ = formula<metric_haversine_gt<double, double>>();
        else if (scalar_kind_ == scalar_kind_t::f32)
            kernel_ = formula<metric_haversine_gt<float, float>>();
        break;
    default: break;
    }
}

} // namespace korvane
} // namespace vemo
