// Every (kind, datatype) of the implementation table, over lengths that hit every remainder: the haswell
// kernel against its serial twin (math-library build) within a tolerance the rounding justifies, exact for
// integer results, and the approximate serial build against the math-library one. Inputs end right before
// a guard page, so any read (or, for fma and wsum, write) past the end faults.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "kernels/half.h"
#include "kernels/kernel_lookup.h"
#include "kernels/vexlane_types.h"

namespace {

using namespace vemo::korvane;

struct row_t {
    vexlane_metric_kind_t kind;
    vexlane_datatype_t datatype;
};

char const* datatype_name(vexlane_datatype_t datatype) {
    switch (datatype) {
    case vexlane_datatype_b8: return "b8";
    case vexlane_datatype_i8: return "i8";
    case vexlane_datatype_u8: return "u8";
    case vexlane_datatype_u16: return "u16";
    case vexlane_datatype_u32: return "u32";
    case vexlane_datatype_f64: return "f64";
    case vexlane_datatype_f32: return "f32";
    case vexlane_datatype_f16: return "f16";
    case vexlane_datatype_bf16: return "bf16";
    case vexlane_datatype_f64c: return "f64c";
    case vexlane_datatype_f32c: return "f32c";
    case vexlane_datatype_f16c: return "f16c";
    case vexlane_datatype_bf16c: return "bf16c";
    default: return "?";
    }
}

bool is_complex(vexlane_datatype_t datatype) {
    return datatype == vexlane_datatype_f64c || datatype == vexlane_datatype_f32c ||
           datatype == vexlane_datatype_f16c || datatype == vexlane_datatype_bf16c;
}

/// The real scalar type behind a datatype (the scalar of a complex pair).
vexlane_datatype_t scalar_of(vexlane_datatype_t datatype) {
    switch (datatype) {
    case vexlane_datatype_f64c: return vexlane_datatype_f64;
    case vexlane_datatype_f32c: return vexlane_datatype_f32;
    case vexlane_datatype_f16c: return vexlane_datatype_f16;
    case vexlane_datatype_bf16c: return vexlane_datatype_bf16;
    default: return datatype;
    }
}

std::size_t scalar_bytes(vexlane_datatype_t datatype) {
    switch (scalar_of(datatype)) {
    case vexlane_datatype_f64: return 8;
    case vexlane_datatype_f32:
    case vexlane_datatype_u32: return 4;
    case vexlane_datatype_f16:
    case vexlane_datatype_bf16:
    case vexlane_datatype_u16: return 2;
    default: return 1;
    }
}

bool is_integer_data(vexlane_datatype_t datatype) {
    return datatype == vexlane_datatype_i8 || datatype == vexlane_datatype_u8 || datatype == vexlane_datatype_b8 ||
           datatype == vexlane_datatype_u16 || datatype == vexlane_datatype_u32;
}

/// Unit roundoff of the type the serial kernels accumulate in.
double accumulator_epsilon(vexlane_datatype_t datatype) {
    return scalar_of(datatype) == vexlane_datatype_f64 ? 0x1p-53 : 0x1p-24;
}

double load(vexlane_datatype_t datatype, void const* data, std::size_t i) {
    switch (scalar_of(datatype)) {
    case vexlane_datatype_f64: return static_cast<double const*>(data)[i];
    case vexlane_datatype_f32: return static_cast<float const*>(data)[i];
    case vexlane_datatype_f16: return f16_to_f32(static_cast<std::uint16_t const*>(data)[i]);
    case vexlane_datatype_bf16: return bf16_to_f32(static_cast<std::uint16_t const*>(data)[i]);
    case vexlane_datatype_i8: return static_cast<std::int8_t const*>(data)[i];
    case vexlane_datatype_u8:
    case vexlane_datatype_b8: return static_cast<std::uint8_t const*>(data)[i];
    case vexlane_datatype_u16: return static_cast<std::uint16_t const*>(data)[i];
    case vexlane_datatype_u32: return static_cast<std::uint32_t const*>(data)[i];
    default: return 0;
    }
}

void store(vexlane_datatype_t datatype, void* data, std::size_t i, double value) {
    switch (scalar_of(datatype)) {
    case vexlane_datatype_f64: static_cast<double*>(data)[i] = value; break;
    case vexlane_datatype_f32: static_cast<float*>(data)[i] = static_cast<float>(value); break;
    case vexlane_datatype_f16: static_cast<std::uint16_t*>(data)[i] = f32_to_f16(static_cast<float>(value)); break;
    case vexlane_datatype_bf16: static_cast<std::uint16_t*>(data)[i] = f32_to_bf16(static_cast<float>(value)); break;
    case vexlane_datatype_i8: static_cast<std::int8_t*>(data)[i] = static_cast<std::int8_t>(value); break;
    case vexlane_datatype_u8:
    case vexlane_datatype_b8: static_cast<std::uint8_t*>(data)[i] = static_cast<std::uint8_t>(value); break;
    case vexlane_datatype_u16: static_cast<std::uint16_t*>(data)[i] = static_cast<std::uint16_t>(value); break;
    case vexlane_datatype_u32: static_cast<std::uint32_t*>(data)[i] = static_cast<std::uint32_t>(value); break;
    default: break;
    }
}

/// A guarded vector of `count` scalars with values drawn for its datatype and family.
struct input_t {
    std::unique_ptr<guarded_buffer_t> buffer;
    vexlane_datatype_t datatype;
    std::size_t count;
    void* data() const { return buffer->data(); }
    double operator[](std::size_t i) const { return load(datatype, buffer->data(), i); }
};

input_t make_input(vexlane_datatype_t datatype, std::size_t count) {
    return {std::make_unique<guarded_buffer_t>(count * scalar_bytes(datatype)), datatype, count};
}

input_t random_input(vexlane_datatype_t datatype, std::size_t count, std::mt19937& random) {
    input_t input = make_input(datatype, count);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (std::size_t i = 0; i != count; ++i) {
        double value;
        switch (scalar_of(datatype)) {
        case vexlane_datatype_i8: value = static_cast<int>(random() % 256) - 128; break;
        case vexlane_datatype_u8:
        case vexlane_datatype_b8: value = random() % 256; break;
        default: value = unit(random);
        }
        store(datatype, input.data(), i, value);
    }
    return input;
}

/// Positive values summing to about 1, for the divergences.
input_t probability_input(vexlane_datatype_t datatype, std::size_t count, std::mt19937& random) {
    input_t input = make_input(datatype, count);
    std::uniform_real_distribution<double> weight(0.05, 1.0);
    std::vector<double> values(count);
    double total = 0;
    for (double& value : values)
        total += value = weight(random);
    for (std::size_t i = 0; i != count; ++i)
        store(datatype, input.data(), i, values[i] / total);
    return input;
}

/// A strictly increasing set of `count` identifiers below `limit`.
input_t sorted_set_input(vexlane_datatype_t datatype, std::size_t count, std::uint32_t limit, std::mt19937& random) {
    std::set<std::uint32_t> members;
    while (members.size() < count)
        members.insert(static_cast<std::uint32_t>(random() % limit));
    input_t input = make_input(datatype, count);
    std::size_t i = 0;
    for (std::uint32_t member : members)
        store(datatype, input.data(), i++, member);
    return input;
}

/// A diagonally dominant symmetric n by n matrix (complex datatypes: n by n pairs), so that the quadratic
/// forms of mahalanobis stay positive.
input_t matrix_input(vexlane_datatype_t datatype, std::size_t n, std::mt19937& random) {
    std::size_t const width = is_complex(datatype) ? 2 : 1;
    input_t input = make_input(datatype, n * n * width);
    std::uniform_real_distribution<double> small(-0.02, 0.02);
    std::uniform_real_distribution<double> diagonal(1.0, 2.0);
    for (std::size_t i = 0; i != n; ++i)
        for (std::size_t j = i; j != n; ++j)
            for (std::size_t part = 0; part != width; ++part) {
                double const value = i == j && part == 0 ? diagonal(random) : small(random);
                store(datatype, input.data(), (i * n + j) * width + part, value);
                store(datatype, input.data(), (j * n + i) * width + part, value);
            }
    return input;
}

struct kernels_t {
    vexlane_kernel_punned_t math_library = nullptr;
    vexlane_kernel_punned_t approximate = nullptr;
    vexlane_kernel_punned_t haswell = nullptr;
};

kernels_t find_kernels(row_t row) {
    kernels_t kernels;
    vexlane_capability_t capability = 0;
    find_kernel(math_mode_t::math_library, row.kind, row.datatype, vexlane_cap_any, vexlane_cap_serial,
                &kernels.math_library, &capability);
    find_kernel(math_mode_t::approximate, row.kind, row.datatype, vexlane_cap_any, vexlane_cap_serial,
                &kernels.approximate, &capability);
    if (detect_capabilities() & vexlane_cap_haswell)
        find_kernel(math_mode_t::approximate, row.kind, row.datatype, vexlane_cap_any, vexlane_cap_haswell,
                    &kernels.haswell, &capability);
    return kernels;
}

std::vector<row_t> const& implementation_rows() {
    static std::vector<row_t> const rows = [] {
        std::vector<row_t> result;
        auto add = [&](vexlane_metric_kind_t kind, std::initializer_list<vexlane_datatype_t> datatypes) {
            for (vexlane_datatype_t datatype : datatypes)
                result.push_back({kind, datatype});
        };
        add(vexlane_metric_dot, {vexlane_datatype_i8, vexlane_datatype_u8, vexlane_datatype_f64, vexlane_datatype_f32,
                                 vexlane_datatype_f16, vexlane_datatype_bf16, vexlane_datatype_f64c,
                                 vexlane_datatype_f32c, vexlane_datatype_f16c, vexlane_datatype_bf16c});
        add(vexlane_metric_vdot,
            {vexlane_datatype_f64c, vexlane_datatype_f32c, vexlane_datatype_f16c, vexlane_datatype_bf16c});
        for (vexlane_metric_kind_t kind : {vexlane_metric_cos, vexlane_metric_l2sq, vexlane_metric_l2})
            add(kind, {vexlane_datatype_i8, vexlane_datatype_u8, vexlane_datatype_f64, vexlane_datatype_f32,
                       vexlane_datatype_f16, vexlane_datatype_bf16});
        add(vexlane_metric_hamming, {vexlane_datatype_b8});
        add(vexlane_metric_jaccard, {vexlane_datatype_b8});
        for (vexlane_metric_kind_t kind : {vexlane_metric_kl, vexlane_metric_js})
            add(kind, {vexlane_datatype_f64, vexlane_datatype_f32, vexlane_datatype_f16, vexlane_datatype_bf16});
        add(vexlane_metric_intersect, {vexlane_datatype_u16, vexlane_datatype_u32});
        add(vexlane_metric_bilinear, {vexlane_datatype_f64, vexlane_datatype_f32, vexlane_datatype_f16,
                                      vexlane_datatype_bf16, vexlane_datatype_f64c, vexlane_datatype_f32c,
                                      vexlane_datatype_f16c, vexlane_datatype_bf16c});
        add(vexlane_metric_mahalanobis,
            {vexlane_datatype_f64, vexlane_datatype_f32, vexlane_datatype_f16, vexlane_datatype_bf16});
        for (vexlane_metric_kind_t kind : {vexlane_metric_fma, vexlane_metric_wsum})
            add(kind, {vexlane_datatype_f64, vexlane_datatype_f32, vexlane_datatype_f16, vexlane_datatype_bf16,
                       vexlane_datatype_i8, vexlane_datatype_u8});
        return result;
    }();
    return rows;
}

std::size_t const lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100, 784};

/// Checks `actual` against `expected` within `tolerance`; two NaNs agree.
void expect_close(double expected, double actual, double tolerance, std::string const& what) {
    if (std::isnan(expected) && std::isnan(actual))
        return;
    EXPECT_LE(std::fabs(expected - actual), tolerance) << what << ": expected " << expected << ", got " << actual;
}

std::string describe(row_t row, std::size_t n, char const* against) {
    return std::string(1, static_cast<char>(row.kind)) + " " + datatype_name(row.datatype) + " n=" +
           std::to_string(n) + " " + against;
}

// Dense shape: dot, vdot, cos, l2sq, l2, hamming, jaccard, kl, js.

void check_dense(row_t row, kernels_t const& kernels, std::size_t n, std::mt19937& random) {
    bool const complex = is_complex(row.datatype);
    std::size_t const scalars = complex ? 2 * n : n;
    bool const divergence = row.kind == vexlane_metric_kl || row.kind == vexlane_metric_js;
    input_t const a = divergence ? probability_input(row.datatype, n, random) : random_input(row.datatype, scalars, random);
    input_t const b = divergence ? probability_input(row.datatype, n, random) : random_input(row.datatype, scalars, random);

    auto run = [&](vexlane_kernel_punned_t kernel) {
        std::vector<double> result(2, -12345.0);
        reinterpret_cast<vexlane_metric_dense_punned_t>(kernel)(a.data(), b.data(), n, result.data());
        return result;
    };
    std::vector<double> const reference = run(kernels.math_library);

    // Sums of magnitudes bound the rounding error of any order of summation.
    double products = 0, a2 = 0, b2 = 0, differences = 0;
    for (std::size_t i = 0; i != scalars; ++i) {
        products += std::fabs(a[i] * b[i]);
        a2 += a[i] * a[i];
        b2 += b[i] * b[i];
        differences += (a[i] - b[i]) * (a[i] - b[i]);
    }
    if (complex)
        products *= 2; // the cross products have the same total magnitude as the plain ones
    double const bound = (static_cast<double>(scalars) + 16) * accumulator_epsilon(row.datatype);
    bool const integer = is_integer_data(row.datatype);

    auto tolerance_against_reference = [&](std::size_t part) -> double {
        switch (row.kind) {
        case vexlane_metric_dot:
        case vexlane_metric_vdot: return integer ? 0 : bound * products;
        case vexlane_metric_l2sq: return integer ? 0 : bound * differences;
        case vexlane_metric_l2: {
            // The haswell kernels take a 32-bit square root of the narrowed sum.
            double const root = reference[part];
            return (integer ? 0 : bound * differences / (2 * root + 1e-300)) + 0x1p-22 * root;
        }
        case vexlane_metric_cos:
            return 1e-5 + (integer ? 0 : bound * (products + a2 + b2) / (std::sqrt(a2 * b2) + 1e-300));
        case vexlane_metric_kl:
        case vexlane_metric_js: return 2e-3 + 1e-3 * std::fabs(reference[part]);
        default: return 0; // hamming, jaccard: exact counts
        }
    };

    std::size_t const parts = complex ? 2 : 1;
    if (kernels.haswell) {
        std::vector<double> const haswell = run(kernels.haswell);
        for (std::size_t part = 0; part != parts; ++part)
            expect_close(reference[part], haswell[part], tolerance_against_reference(part),
                         describe(row, n, "haswell"));
    }
    std::vector<double> const approximate = run(kernels.approximate);
    if (divergence)
        return; // the logarithm series is only meant to be close to 1; the call itself is what is checked
    for (std::size_t part = 0; part != parts; ++part) {
        double tolerance = 0;
        if (row.kind == vexlane_metric_cos)
            tolerance = 3e-3;
        else if (row.kind == vexlane_metric_l2)
            tolerance = 2e-3 * reference[part];
        expect_close(reference[part], approximate[part], tolerance, describe(row, n, "approximate"));
    }
}

// Sparse shape: intersect, against a plain set intersection.

void check_sparse(row_t row, kernels_t const& kernels, std::size_t n, std::mt19937& random) {
    std::uint32_t const limit = row.datatype == vexlane_datatype_u16 ? 65535 : 4000000000u;
    // A second set either of similar size (merge) or at least 64 times longer (gallop).
    std::size_t const other = n % 2 ? n * 70 : n + 3;
    std::uint32_t const universe = std::min<std::uint32_t>(limit, static_cast<std::uint32_t>(2 * (n + other) + 8));
    input_t const a = sorted_set_input(row.datatype, n, universe, random);
    input_t const b = sorted_set_input(row.datatype, other, universe, random);
    std::vector<double> a_members(n), b_members(other), common;
    for (std::size_t i = 0; i != n; ++i)
        a_members[i] = a[i];
    for (std::size_t i = 0; i != other; ++i)
        b_members[i] = b[i];
    std::set_intersection(a_members.begin(), a_members.end(), b_members.begin(), b_members.end(),
                          std::back_inserter(common));

    for (vexlane_kernel_punned_t kernel : {kernels.math_library, kernels.approximate, kernels.haswell}) {
        if (!kernel)
            continue;
        double result = -1;
        reinterpret_cast<vexlane_metric_sparse_punned_t>(kernel)(a.data(), b.data(), n, other, &result);
        EXPECT_EQ(static_cast<double>(common.size()), result) << describe(row, n, "set intersection");
        reinterpret_cast<vexlane_metric_sparse_punned_t>(kernel)(b.data(), a.data(), other, n, &result);
        EXPECT_EQ(static_cast<double>(common.size()), result) << describe(row, n, "set intersection, swapped");
    }
}

// Curved shape: bilinear and mahalanobis over a small matrix.

void check_curved(row_t row, kernels_t const& kernels, std::size_t n, std::mt19937& random) {
    if (n > 100)
        return; // n^2 matrix elements: the shorter lengths already cover every remainder
    bool const complex = is_complex(row.datatype);
    std::size_t const scalars = complex ? 2 * n : n;
    input_t const a = random_input(row.datatype, scalars, random);
    input_t const b = random_input(row.datatype, scalars, random);
    input_t const c = matrix_input(row.datatype, n, random);

    auto run = [&](vexlane_kernel_punned_t kernel) {
        std::vector<double> result(2, -12345.0);
        reinterpret_cast<vexlane_metric_curved_punned_t>(kernel)(a.data(), b.data(), c.data(), n, result.data());
        return result;
    };
    std::vector<double> const reference = run(kernels.math_library);
    bool const mahalanobis = row.kind == vexlane_metric_mahalanobis;

    // Magnitude of the n^2 terms of the form, in the real case.
    double magnitude = 0;
    if (!complex)
        for (std::size_t i = 0; i != n; ++i)
            for (std::size_t j = 0; j != n; ++j) {
                double const x = mahalanobis ? a[i] - b[i] : a[i];
                double const y = mahalanobis ? a[j] - b[j] : b[j];
                magnitude += std::fabs(x * c[i * n + j] * y);
            }
    double const form_tolerance = (2.0 * static_cast<double>(n) + 16) * accumulator_epsilon(row.datatype) * magnitude;

    if (kernels.haswell) {
        std::vector<double> const haswell = run(kernels.haswell);
        if (mahalanobis) {
            double const r = reference[0], h = haswell[0];
            expect_close(r * r, h * h, form_tolerance + 0x1p-21 * r * r, describe(row, n, "haswell (squared)"));
        } else {
            expect_close(reference[0], haswell[0], form_tolerance, describe(row, n, "haswell"));
        }
    }
    std::vector<double> const approximate = run(kernels.approximate);
    std::size_t const parts = complex ? 2 : 1;
    for (std::size_t part = 0; part != parts; ++part)
        expect_close(reference[part], approximate[part], mahalanobis ? 2e-3 * reference[part] : 0,
                     describe(row, n, "approximate"));
}

// fma and wsum: n elements of the datatype, compared element by element.

void check_elementwise(row_t row, kernels_t const& kernels, std::size_t n, std::mt19937& random) {
    bool const fma = row.kind == vexlane_metric_fma;
    input_t const a = random_input(row.datatype, n, random);
    input_t const b = random_input(row.datatype, n, random);
    input_t const c = random_input(row.datatype, n, random);
    struct weights_t {
        double alpha, beta;
    };
    bool const integer = is_integer_data(row.datatype);
    // The general formula, and for wsum the plain sum its loop special-cases.
    weights_t const weight_cases[] = {{integer && fma ? 0.01 : 0.75, -1.25}, {1.0, 1.0}};

    for (weights_t const weights : weight_cases) {
        auto run = [&](vexlane_kernel_punned_t kernel) {
            input_t result = make_input(row.datatype, n);
            if (fma)
                reinterpret_cast<vexlane_kernel_fma_punned_t>(kernel)(a.data(), b.data(), c.data(), n, weights.alpha,
                                                                      weights.beta, result.data());
            else
                reinterpret_cast<vexlane_kernel_wsum_punned_t>(kernel)(a.data(), b.data(), n, weights.alpha,
                                                                       weights.beta, result.data());
            return result;
        };
        input_t const reference = run(kernels.math_library);
        input_t const approximate = run(kernels.approximate);
        for (std::size_t i = 0; i != n; ++i)
            EXPECT_EQ(reference[i], approximate[i]) << describe(row, n, "approximate") << " at " << i;
        if (!kernels.haswell)
            continue;
        input_t const haswell = run(kernels.haswell);
        for (std::size_t i = 0; i != n; ++i) {
            double const x = fma ? a[i] * b[i] : a[i];
            double const y = fma ? c[i] : b[i];
            double const magnitude = std::fabs(weights.alpha * x) + std::fabs(weights.beta * y);
            double tolerance;
            switch (row.datatype) {
            case vexlane_datatype_f64: tolerance = 0x1p-51 * magnitude; break;
            case vexlane_datatype_f32: tolerance = 0x1p-21 * magnitude; break;
            // One unit in the last place of the result (bfloat16 stores truncate in the haswell loop).
            case vexlane_datatype_f16: tolerance = 0x1p-9 * magnitude + 0x1p-24; break;
            case vexlane_datatype_bf16: tolerance = 0x1p-6 * magnitude; break;
            default: tolerance = 1; // integer stores round ties differently
            }
            expect_close(reference[i], haswell[i], tolerance,
                         describe(row, n, "haswell") + " at " + std::to_string(i));
        }
    }
}

TEST(KernelTwins, EveryImplementationOverEveryRemainder) {
    for (row_t const row : implementation_rows()) {
        kernels_t const kernels = find_kernels(row);
        ASSERT_NE(kernels.math_library, nullptr) << describe(row, 0, "math-library lookup");
        ASSERT_NE(kernels.approximate, nullptr) << describe(row, 0, "approximate lookup");
        for (std::size_t const n : lengths) {
            std::mt19937 random(static_cast<std::uint32_t>(row.kind * 7919 + row.datatype * 31 + n));
            switch (row.kind) {
            case vexlane_metric_intersect: check_sparse(row, kernels, n, random); break;
            case vexlane_metric_bilinear:
            case vexlane_metric_mahalanobis: check_curved(row, kernels, n, random); break;
            case vexlane_metric_fma:
            case vexlane_metric_wsum: check_elementwise(row, kernels, n, random); break;
            default: check_dense(row, kernels, n, random);
            }
        }
    }
}

TEST(KernelTwins, HaswellRowsMatchTheTable) {
    if (!(detect_capabilities() & vexlane_cap_haswell))
        GTEST_SKIP() << "no haswell capability on this processor";
    std::size_t serial = 0, haswell = 0;
    for (row_t const row : implementation_rows()) {
        kernels_t const kernels = find_kernels(row);
        serial += kernels.approximate != nullptr;
        haswell += kernels.haswell != nullptr;
    }
    // Every one of the 68 (kind, datatype) pairs has a serial kernel; 47 have a haswell one.
    EXPECT_EQ(implementation_rows().size(), 68u);
    EXPECT_EQ(serial, 68u);
    EXPECT_EQ(haswell, 47u);
}

} // namespace
