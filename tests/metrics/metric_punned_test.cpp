#include "metrics/metric_punned.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

#include "kernels/kernel_lookup.h"
#include "metrics/formulas.h"

using namespace vemo::korvane;

namespace {

double const pi = 3.14159265358979323846;

template <typename metric_at> vexlane_kernel_punned_t formula() {
    return reinterpret_cast<vexlane_kernel_punned_t>(&metric_punned_t::equidimensional_<metric_at>);
}

/// Where `builtin` should land: nowhere, on a kernel family of the library, or on a built-in formula.
struct route_t {
    enum class way_t { none, kernel, formula } way = way_t::none;
    vexlane_metric_kind_t family = 0;
    vexlane_kernel_punned_t function = nullptr;
};

route_t none() { return {}; }
route_t kernel(vexlane_metric_kind_t family) { return {route_t::way_t::kernel, family, nullptr}; }
template <typename metric_at> route_t builtin_formula() { return {route_t::way_t::formula, 0, formula<metric_at>()}; }

scalar_kind_t const vector_kinds[] = {scalar_kind_t::b1x8, scalar_kind_t::i8,  scalar_kind_t::f64,
                                      scalar_kind_t::f32,  scalar_kind_t::f16, scalar_kind_t::bf16};

struct metric_row_t {
    metric_kind_t metric;
    route_t routes[6]; // in the order of vector_kinds
    route_t other_kinds;  // every other scalar code that has a width of at least one byte
};

std::vector<metric_row_t> route_table() {
    using hamming = metric_hamming_gt<b1x8_t, unsigned long>;
    using tanimoto = metric_tanimoto_gt<b1x8_t, float>;
    using sorensen = metric_sorensen_gt<b1x8_t, float>;
    route_t const l2sq = kernel(vexlane_metric_l2sq), dot = kernel(vexlane_metric_dot);
    route_t const cos = kernel(vexlane_metric_cos);
    return {
        {metric_kind_t::l2sq, {none(), l2sq, l2sq, l2sq, l2sq, l2sq}, none()},
        {metric_kind_t::ip, {none(), dot, dot, dot, dot, dot}, none()},
        {metric_kind_t::cos, {none(), cos, cos, cos, cos, cos}, none()},
        {metric_kind_t::hamming,
         {kernel(vexlane_metric_hamming), builtin_formula<hamming>(), builtin_formula<hamming>(),
          builtin_formula<hamming>(), builtin_formula<hamming>(), builtin_formula<hamming>()},
         builtin_formula<hamming>()},
        {metric_kind_t::jaccard,
         {kernel(vexlane_metric_jaccard), builtin_formula<tanimoto>(), builtin_formula<tanimoto>(),
          builtin_formula<tanimoto>(), builtin_formula<tanimoto>(), builtin_formula<tanimoto>()},
         builtin_formula<tanimoto>()},
        {metric_kind_t::tanimoto,
         {kernel(vexlane_metric_jaccard), builtin_formula<tanimoto>(), builtin_formula<tanimoto>(),
          builtin_formula<tanimoto>(), builtin_formula<tanimoto>(), builtin_formula<tanimoto>()},
         builtin_formula<tanimoto>()},
        {metric_kind_t::sorensen,
         {builtin_formula<sorensen>(), builtin_formula<sorensen>(), builtin_formula<sorensen>(),
          builtin_formula<sorensen>(), builtin_formula<sorensen>(), builtin_formula<sorensen>()},
         builtin_formula<sorensen>()},
        {metric_kind_t::divergence,
         {none(), none(), builtin_formula<metric_divergence_gt<double, float>>(),
          builtin_formula<metric_divergence_gt<float, float>>(),
          builtin_formula<metric_divergence_gt<f16_bits_t, float>>(),
          builtin_formula<metric_divergence_gt<bf16_bits_t, float>>()},
         none()},
        {metric_kind_t::pearson,
         {none(), builtin_formula<metric_pearson_gt<signed char, float>>(),
          builtin_formula<metric_pearson_gt<double, float>>(), builtin_formula<metric_pearson_gt<float, float>>(),
          builtin_formula<metric_pearson_gt<f16_bits_t, float>>(),
          builtin_formula<metric_pearson_gt<bf16_bits_t, float>>()},
         none()},
        {metric_kind_t::haversine,
         {none(), none(), builtin_formula<metric_haversine_gt<double, double>>(),
          builtin_formula<metric_haversine_gt<float, float>>(), none(), none()},
         none()},
        {metric_kind_t::unknown, {none(), none(), none(), none(), none(), none()}, none()},
        {static_cast<metric_kind_t>('f'), {none(), none(), none(), none(), none(), none()}, none()},
        {static_cast<metric_kind_t>(1), {none(), none(), none(), none(), none(), none()}, none()},
        {static_cast<metric_kind_t>(0xFF), {none(), none(), none(), none(), none(), none()}, none()},
    };
}

vexlane_datatype_t datatype_of(scalar_kind_t kind) {
    switch (kind) {
    case scalar_kind_t::b1x8: return vexlane_datatype_b8;
    case scalar_kind_t::i8: return vexlane_datatype_i8;
    case scalar_kind_t::f64: return vexlane_datatype_f64;
    case scalar_kind_t::f32: return vexlane_datatype_f32;
    case scalar_kind_t::f16: return vexlane_datatype_f16;
    default: return vexlane_datatype_bf16;
    }
}

bool is_vector_kind(scalar_kind_t kind) {
    for (scalar_kind_t vector_kind : vector_kinds)
        if (kind == vector_kind)
            return true;
    return false;
}

bool is_bit_metric(metric_kind_t metric) {
    return metric == metric_kind_t::hamming || metric == metric_kind_t::jaccard || metric == metric_kind_t::tanimoto ||
           metric == metric_kind_t::sorensen;
}

/// A vector stored in the scalar kind, and the values it holds, decoded to double.
struct stored_vector_t {
    std::vector<std::byte> bytes;
    std::vector<double> values;
};

stored_vector_t store(std::vector<double> const& values, scalar_kind_t kind) {
    std::size_t const n = values.size();
    stored_vector_t stored{std::vector<std::byte>(bytes_per_vector(n, kind)), {}};
    std::byte* data = stored.bytes.data();
    for (std::size_t i = 0; i != n; ++i) {
        double decoded = 0;
        switch (kind) {
        case scalar_kind_t::b1x8:
            if (values[i] > 0)
                data[i / 8] |= std::byte(0x80u >> (i % 8)), decoded = 1;
            break;
        case scalar_kind_t::i8:
            store_unaligned(data + i, static_cast<signed char>(values[i])), decoded = values[i];
            break;
        case scalar_kind_t::f64: store_unaligned(data + 8 * i, values[i]), decoded = values[i]; break;
        case scalar_kind_t::f32: store_unaligned(data + 4 * i, float(values[i])), decoded = float(values[i]); break;
        case scalar_kind_t::f16:
            store_unaligned(data + 2 * i, float_to_f16(float(values[i])));
            decoded = f16_to_float(float_to_f16(float(values[i])));
            break;
        case scalar_kind_t::bf16:
            store_unaligned(data + 2 * i, float_to_bf16(float(values[i])));
            decoded = bf16_to_float(float_to_bf16(float(values[i])));
            break;
        default: break;
        }
        stored.values.push_back(decoded);
    }
    return stored;
}

/// Bit-set distances over the first `count` bytes of two raw vectors.
double bit_reference(metric_kind_t metric, std::byte const* a, std::byte const* b, std::size_t count) {
    double intersection = 0, unison = 0, total = 0, differing = 0;
    for (std::size_t i = 0; i != count; ++i)
        for (unsigned bit = 0; bit != 8; ++bit) {
            bool const x = std::to_integer<unsigned>(a[i]) >> bit & 1, y = std::to_integer<unsigned>(b[i]) >> bit & 1;
            intersection += x && y, unison += x || y, total += x + y, differing += x != y;
        }
    switch (metric) {
    case metric_kind_t::hamming: return differing;
    case metric_kind_t::sorensen: return 1 - 2 * intersection / total;
    default: return 1 - intersection / unison;
    }
}

double reference(metric_kind_t metric, std::vector<double> const& a, std::vector<double> const& b) {
    double const n = double(a.size());
    double ab = 0, aa = 0, bb = 0, l2sq = 0, sa = 0, sb = 0, js = 0;
    for (std::size_t i = 0; i != a.size(); ++i) {
        ab += a[i] * b[i], aa += a[i] * a[i], bb += b[i] * b[i], l2sq += (a[i] - b[i]) * (a[i] - b[i]);
        sa += a[i], sb += b[i];
        double const m = (a[i] + b[i]) * 0.5 + 0x1p-23;
        js += a[i] * std::log((a[i] + 0x1p-23) / m) + b[i] * std::log((b[i] + 0x1p-23) / m);
    }
    switch (metric) {
    case metric_kind_t::l2sq: return l2sq;
    case metric_kind_t::ip: return 1 - ab;
    case metric_kind_t::cos: return 1 - ab / std::sqrt(aa * bb);
    case metric_kind_t::divergence: return js * 0.5;
    case metric_kind_t::pearson: return 1 - (n * ab - sa * sb) / std::sqrt((n * aa - sa * sa) * (n * bb - sb * sb));
    case metric_kind_t::haversine: {
        double const r = pi / 180;
        double const h = std::pow(std::sin((b[0] - a[0]) * r / 2), 2) +
                         std::cos(a[0] * r) * std::cos(b[0] * r) * std::pow(std::sin((b[1] - a[1]) * r / 2), 2);
        return 2 * std::asin(std::sqrt(h));
    }
    default: return std::nan("");
    }
}

/// Fixed vectors of 19 dimensions (two blocks of 8 and a tail); integers for i8, positive for divergence,
/// degrees for haversine.
std::pair<std::vector<double>, std::vector<double>> fixture(metric_kind_t metric, scalar_kind_t kind) {
    std::vector<double> a(19), b(19);
    for (std::size_t i = 0; i != 19; ++i) {
        a[i] = double(int(i * 7 % 11) - 5) * 0.25;
        b[i] = double(int(i * 5 % 13) - 6) * 0.125;
        if (metric == metric_kind_t::divergence)
            a[i] = (i % 5 + 1) * 0.03125, b[i] = (i * 3 % 7 + 1) * 0.015625;
        if (kind == scalar_kind_t::i8)
            a[i] *= 16, b[i] *= 16;
    }
    if (metric == metric_kind_t::haversine)
        a[0] = 51.5, a[1] = -0.125, b[0] = -33.875, b[1] = 151.25;
    return {a, b};
}

} // namespace

TEST(MetricSelection, EveryMetricAndScalarCodeTakesItsRouteAndComputesItsDistance) {
    vexlane_capability_t const capabilities = detect_capabilities();
    std::size_t const dimensions = 19;
    for (metric_row_t const& row : route_table())
        for (unsigned code = 0; code != 256; ++code) {
            scalar_kind_t const scalar = static_cast<scalar_kind_t>(code);
            SCOPED_TRACE(testing::Message() << "metric 0x" << std::hex << unsigned(row.metric) << std::dec << " ("
                                            << metric_kind_name(row.metric) << "), scalar " << code << " ("
                                            << scalar_kind_name(scalar) << ")");
            route_t expected = row.other_kinds;
            for (std::size_t i = 0; i != 6; ++i)
                if (vector_kinds[i] == scalar)
                    expected = row.routes[i];
            // Kinds without a width store nothing, so no formula may read from their vectors.
            if (!is_vector_kind(scalar) && bits_per_scalar(scalar) < 8)
                expected = none();

            metric_punned_t const metric = metric_punned_t::builtin(dimensions, row.metric, scalar);
            EXPECT_EQ(metric.dimensions(), dimensions);
            EXPECT_EQ(metric.metric_kind(), row.metric);
            EXPECT_EQ(metric.scalar_kind(), scalar);
            EXPECT_EQ(metric.kernel_count(), scalar == scalar_kind_t::b1x8 ? 3u : dimensions);
            EXPECT_NE(metric.call_adapter(), nullptr);
            EXPECT_EQ(metric, metric_punned_t::builtin(dimensions, row.metric, scalar));

            switch (expected.way) {
            case route_t::way_t::none:
                EXPECT_EQ(metric.kernel(), nullptr);
                EXPECT_FALSE(metric.has_function());
                EXPECT_EQ(metric.usable(), row.metric == metric_kind_t::unknown);
                EXPECT_EQ(metric.capability(), vexlane_cap_serial);
                EXPECT_EQ(metric.call_adapter(), &metric_punned_t::invoke_array_array_third);
                continue;
            case route_t::way_t::formula:
                EXPECT_EQ(metric.kernel(), expected.function);
                EXPECT_EQ(metric.capability(), vexlane_cap_serial);
                EXPECT_EQ(metric.call_adapter(), &metric_punned_t::invoke_array_array_third);
                break;
            case route_t::way_t::kernel: {
                vexlane_kernel_punned_t kernel = nullptr;
                vexlane_capability_t capability = 0;
                find_kernel(math_mode_t::math_library, expected.family, datatype_of(scalar), capabilities,
                            vexlane_cap_any, &kernel, &capability);
                ASSERT_NE(kernel, nullptr);
                EXPECT_EQ(metric.kernel(), kernel);
                EXPECT_EQ(metric.capability(), capability);
                EXPECT_EQ(metric.call_adapter(), row.metric == metric_kind_t::ip
                                                     ? &metric_punned_t::invoke_vexlane_reverse
                                                     : &metric_punned_t::invoke_vexlane);
                break;
            }
            }
            EXPECT_TRUE(metric.usable());
            ASSERT_TRUE(metric.has_function());

            double expected_distance;
            float distance;
            if (is_bit_metric(row.metric) && !is_vector_kind(scalar)) {
                // Kinds the system cannot fill: the formula compares the first `dimensions` raw bytes.
                std::mt19937 rng(code);
                std::vector<std::byte> a(bytes_per_vector(dimensions, scalar)), b(a.size());
                for (std::size_t i = 0; i != a.size(); ++i)
                    a[i] = std::byte(rng()), b[i] = std::byte(rng());
                expected_distance = bit_reference(row.metric, a.data(), b.data(), dimensions);
                distance = metric(a.data(), b.data());
            } else {
                auto const [a_values, b_values] = fixture(row.metric, scalar);
                stored_vector_t const a = store(a_values, scalar), b = store(b_values, scalar);
                if (is_bit_metric(row.metric))
                    expected_distance =
                        bit_reference(row.metric, a.bytes.data(), b.bytes.data(), metric.kernel_count());
                else
                    expected_distance = reference(row.metric, a.values, b.values);
                distance = metric(a.bytes.data(), b.bytes.data());
            }
            EXPECT_NEAR(distance, expected_distance, 1e-5 * std::max(1.0, std::fabs(expected_distance)));
        }
}

TEST(MetricSelection, InnerProductOverF64UsesTheSerialKernelAndOverF32TheBestOne) {
    bool const haswell = detect_capabilities() & vexlane_cap_haswell;
    EXPECT_EQ(metric_punned_t::builtin(8, metric_kind_t::ip, scalar_kind_t::f64).capability(), vexlane_cap_serial);
    EXPECT_EQ(metric_punned_t::builtin(8, metric_kind_t::ip, scalar_kind_t::f32).capability(),
              haswell ? vexlane_cap_haswell : vexlane_cap_serial);
    EXPECT_EQ(metric_punned_t::builtin(8, metric_kind_t::sorensen, scalar_kind_t::b1x8).capability(),
              vexlane_cap_serial);
    EXPECT_EQ(metric_punned_t::builtin(8, metric_kind_t::tanimoto, scalar_kind_t::b1x8).kernel(),
              metric_punned_t::builtin(8, metric_kind_t::jaccard, scalar_kind_t::b1x8).kernel());
}

TEST(MetricSelection, InnerProductIsOneMinusTheDotProduct) {
    metric_punned_t const f32 = metric_punned_t::builtin(3, metric_kind_t::ip, scalar_kind_t::f32);
    float const x[3] = {0.6f, 0.8f, 0}, minus_x[3] = {-0.6f, -0.8f, 0};
    EXPECT_NEAR(f32(x, x), 0.f, 1e-6);
    EXPECT_NEAR(f32(x, minus_x), 2.f, 1e-6);
    // Over i8 the product is taken on the stored integers.
    metric_punned_t const i8 = metric_punned_t::builtin(3, metric_kind_t::ip, scalar_kind_t::i8);
    signed char const axis[3] = {127, 0, 0};
    EXPECT_EQ(i8(axis, axis), 1.f - 127.f * 127.f);
}

TEST(MetricSelection, KernelCountIsBytesForPackedBitsAndDimensionsOtherwise) {
    struct case_t {
        std::size_t dimensions;
        scalar_kind_t kind;
        std::size_t count;
    } const cases[] = {
        {100, scalar_kind_t::b1x8, 13}, {8, scalar_kind_t::b1x8, 1},   {9, scalar_kind_t::b1x8, 2},
        {0, scalar_kind_t::b1x8, 0},    {SIZE_MAX, scalar_kind_t::b1x8, SIZE_MAX / 8 + 1},
        {100, scalar_kind_t::f16, 100}, {100, scalar_kind_t::unknown, 100},
    };
    for (case_t const& c : cases)
        EXPECT_EQ(metric_punned_t::builtin(c.dimensions, metric_kind_t::hamming, c.kind).kernel_count(), c.count)
            << c.dimensions;
}

TEST(MetricSelection, HammingOverWiderKindsComparesOnlyTheFirstDimensionsBytes) {
    metric_punned_t const metric = metric_punned_t::builtin(16, metric_kind_t::hamming, scalar_kind_t::f32);
    std::vector<float> a(16, 0.f), b(16, 0.f);
    std::memset(b.data(), 0xFF, 16);     // bytes 0-15: all 128 bits differ
    std::memset(b.data() + 4, 0xFF, 48); // bytes past the 16th do not count
    EXPECT_EQ(metric(a.data(), b.data()), 128.f);
}

TEST(MetricSelection, HaversineNeedsALatitudeAndALongitude) {
    EXPECT_FALSE(metric_punned_t::builtin(1, metric_kind_t::haversine, scalar_kind_t::f32).usable());
    EXPECT_FALSE(metric_punned_t::builtin(0, metric_kind_t::haversine, scalar_kind_t::f64).usable());
    EXPECT_TRUE(metric_punned_t::builtin(2, metric_kind_t::haversine, scalar_kind_t::f64).usable());
}

TEST(MetricSelection, ABlankMetricHasNoFunctionButPassesTheValidityTest) {
    metric_punned_t const blank;
    EXPECT_FALSE(blank.has_function());
    EXPECT_TRUE(blank.usable());
    EXPECT_EQ(blank.metric_kind(), metric_kind_t::unknown);
    EXPECT_TRUE(std::is_trivially_copyable<metric_punned_t>::value);
}
