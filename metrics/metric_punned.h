#pragma once
// metric_punned_t: the type-erased distance function of an index. `builtin` chooses once, per index,
// between a kernel of the kernel library and one of the built-in formulas; afterwards a distance costs one
// indirect member call (the adapter) and one indirect call of the chosen function.

#include <cstddef>
#include <cstdint>

#include "kernels/vexlane_types.h"
#include "metrics/formulas.h"
#include "metrics/scalar_kind.h"

namespace vemo {
namespace korvane {

class metric_punned_t {
  public:
    /// One of the three invoke modes below.
    using call_adapter_t = float (metric_punned_t::*)(std::uintptr_t, std::uintptr_t) const noexcept;
    /// Shape in which the built-in formulas are stored in `kernel_`.
    using formula_punned_t = float (*)(std::uintptr_t, std::uintptr_t, std::size_t) noexcept;

    /// A blank metric: no function, metric kind `unknown`.
    metric_punned_t() noexcept = default;

    /// Builds the metric for vectors of `dimensions` scalars. Never throws; a combination that fits no
    /// kernel and no formula comes back without a function (see `usable`).
    static metric_punned_t builtin(std::size_t dimensions, metric_kind_t metric_kind,
                                   scalar_kind_t scalar_kind) noexcept;

    /// Distance between two vectors in the stored scalar format, given by address. Only for metrics that
    /// have a function.
    float operator()(std::uintptr_t a, std::uintptr_t b) const noexcept { return (this->*call_adapter_)(a, b); }
    float operator()(void const* a, void const* b) const noexcept {
        return (this->*call_adapter_)(reinterpret_cast<std::uintptr_t>(a), reinterpret_cast<std::uintptr_t>(b));
    }

    /// Calls `kernel_` as a dense kernel of the library.
    float invoke_vexlane(std::uintptr_t a, std::uintptr_t b) const noexcept {
        vexlane_distance_t result;
        reinterpret_cast<vexlane_metric_dense_punned_t>(kernel_)(reinterpret_cast<void const*>(a),
                                                                  reinterpret_cast<void const*>(b),
                                                                  kernel_count_, &result);
        return static_cast<float>(result);
    }

    /// Calls `kernel_` as a dense kernel and turns its similarity into a distance (the inner product).
    float invoke_vexlane_reverse(std::uintptr_t a, std::uintptr_t b) const noexcept {
        return 1.0f - invoke_vexlane(a, b);
    }

    /// Calls `kernel_` as a built-in formula.
    float invoke_array_array_third(std::uintptr_t a, std::uintptr_t b) const noexcept {
        return reinterpret_cast<formula_punned_t>(kernel_)(a, b, kernel_count_);
    }

    /// Evaluates the formula `metric_at` on `count` scalars at each address, rounded to float.
    template <typename metric_at>
    static float equidimensional_(std::uintptr_t a, std::uintptr_t b, std::size_t count) noexcept {
        using scalar_t = typename metric_at::scalar_t;
        return static_cast<float>(
            metric_at{}(reinterpret_cast<scalar_t const*>(a), reinterpret_cast<scalar_t const*>(b), count));
    }

    std::size_t dimensions() const noexcept { return dimensions_; }
    metric_kind_t metric_kind() const noexcept { return metric_kind_; }
    scalar_kind_t scalar_kind() const noexcept { return scalar_kind_; }
    /// `vexlane_cap_haswell` for a haswell kernel, otherwise `vexlane_cap_serial`.
    vexlane_capability_t capability() const noexcept { return capability_; }
    /// Count passed to every call of the function: bytes for packed bits, otherwise dimensions.
    std::size_t kernel_count() const noexcept { return kernel_count_; }
    /// Bytes of one vector in the stored scalar format.
    std::size_t bytes_per_vector() const noexcept { return korvane::bytes_per_vector(dimensions_, scalar_kind_); }
    vexlane_kernel_punned_t kernel() const noexcept { return kernel_; }
    /// The kernel itself when the adapter only calls it and narrows its result (`invoke_vexlane`), so that hot
    /// loops may call it directly, with `kernel_count()` and the same result; null for the other modes.
    vexlane_metric_dense_punned_t direct_kernel() const noexcept {
        return call_adapter_ == &metric_punned_t::invoke_vexlane && kernel_
                   ? reinterpret_cast<vexlane_metric_dense_punned_t>(kernel_)
                   : nullptr;
    }
    call_adapter_t call_adapter() const noexcept { return call_adapter_; }

    /// True when the metric can be called.
    bool has_function() const noexcept { return call_adapter_ && kernel_; }
    /// Validity test of creation: a known metric kind must have found a function. A blank metric of kind
    /// `unknown` passes, although it cannot be called.
    bool usable() const noexcept { return metric_kind_ == metric_kind_t::unknown || has_function(); }

    friend bool operator==(metric_punned_t const& x, metric_punned_t const& y) noexcept {
        return x.call_adapter_ == y.call_adapter_ && x.kernel_ == y.kernel_ && x.kernel_count_ == y.kernel_count_ &&
               x.dimensions_ == y.dimensions_ && x.metric_kind_ == y.metric_kind_ &&
               x.scalar_kind_ == y.scalar_kind_ && x.capability_ == y.capability_;
    }
    friend bool operator!=(metric_punned_t const& x, metric_punned_t const& y) noexcept { return !(x == y); }

  private:
    /// Looks for a kernel of the library; true when one was found and installed.
    bool configure_with_vexlane() noexcept;
    /// Installs a built-in formula, or leaves `kernel_` null when none fits.
    void configure_with_builtin_() noexcept;

    call_adapter_t call_adapter_ = nullptr;
    /// Kernel or built-in formula the adapter calls; null when no metric fits.
    vexlane_kernel_punned_t kernel_ = nullptr;
    /// Third argument of every call: (dimensions + 7) / 8 bytes for `b1x8`, otherwise dimensions.
    std::size_t kernel_count_ = 0;
    /// Scalars per vector.
    std::size_t dimensions_ = 0;
    metric_kind_t metric_kind_ = metric_kind_t::unknown;
    scalar_kind_t scalar_kind_ = scalar_kind_t::unknown;
    /// Capability the function requires; serial for built-in formulas and for a metric without function.
    vexlane_capability_t capability_ = vexlane_cap_serial;
};

} // namespace korvane
} // namespace vemo
