#include "metrics/formulas.h"
#include "metrics/metric_punned.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace vemo::korvane;

namespace {

using pearson_f64 = metric_pearson_gt<double, float>;
using pearson_f32 = metric_pearson_gt<float, float>;
using pearson_f16 = metric_pearson_gt<f16_bits_t, float>;
using pearson_bf16 = metric_pearson_gt<bf16_bits_t, float>;
using pearson_i8 = metric_pearson_gt<signed char, float>;
using divergence_f64 = metric_divergence_gt<double, float>;
using divergence_f32 = metric_divergence_gt<float, float>;
using divergence_f16 = metric_divergence_gt<f16_bits_t, float>;
using divergence_bf16 = metric_divergence_gt<bf16_bits_t, float>;
using haversine_f64 = metric_haversine_gt<double, double>;
using haversine_f32 = metric_haversine_gt<float, float>;
using hamming_b1x8 = metric_hamming_gt<b1x8_t, unsigned long>;
using tanimoto_b1x8 = metric_tanimoto_gt<b1x8_t, float>;
using sorensen_b1x8 = metric_sorensen_gt<b1x8_t, float>;

double const pi = 3.14159265358979323846;

template <typename metric_at, typename scalar_at>
float distance(std::vector<scalar_at> const& a, std::vector<scalar_at> const& b, std::size_t count) {
    return metric_punned_t::equidimensional_<metric_at>(reinterpret_cast<std::uintptr_t>(a.data()),
                                                         reinterpret_cast<std::uintptr_t>(b.data()), count);
}

template <typename metric_at, typename scalar_at>
float distance(std::vector<scalar_at> const& a, std::vector<scalar_at> const& b) {
    return distance<metric_at>(a, b, a.size());
}

std::vector<b1x8_t> bytes(std::initializer_list<unsigned> values) {
    std::vector<b1x8_t> result;
    for (unsigned value : values)
        result.push_back(b1x8_t{std::uint8_t(value)});
    return result;
}

double pearson_reference(std::vector<double> const& a, std::vector<double> const& b) {
    double const n = double(a.size());
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i != a.size(); ++i)
        ma += a[i] / n, mb += b[i] / n;
    double cov = 0, va = 0, vb = 0;
    for (std::size_t i = 0; i != a.size(); ++i)
        cov += (a[i] - ma) * (b[i] - mb), va += (a[i] - ma) * (a[i] - ma), vb += (b[i] - mb) * (b[i] - mb);
    return 1 - cov / std::sqrt(va * vb);
}

/// Angle between the two points as unit vectors, by atan2 of the cross and dot products.
double great_circle_reference(double lat_a, double lon_a, double lat_b, double lon_b) {
    double const r = pi / 180;
    double const u[3] = {std::cos(lat_a * r) * std::cos(lon_a * r), std::cos(lat_a * r) * std::sin(lon_a * r),
                         std::sin(lat_a * r)};
    double const v[3] = {std::cos(lat_b * r) * std::cos(lon_b * r), std::cos(lat_b * r) * std::sin(lon_b * r),
                         std::sin(lat_b * r)};
    double const cross[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    double const dot = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    return std::atan2(std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]), dot);
}

double divergence_reference(std::vector<double> const& a, std::vector<double> const& b) {
    double const epsilon = 0x1p-23;
    double sum = 0;
    for (std::size_t i = 0; i != a.size(); ++i) {
        double const m = (a[i] + b[i]) * 0.5 + epsilon;
        sum += a[i] * std::log((a[i] + epsilon) / m) + b[i] * std::log((b[i] + epsilon) / m);
    }
    return sum * 0.5;
}

} // namespace

TEST(Pearson, EdgeCases) {
    using pearson = pearson_f32;
    EXPECT_EQ(distance<pearson>(std::vector<float>{5}, std::vector<float>{-3}), 0.f);
    EXPECT_EQ(distance<pearson>(std::vector<float>{}, std::vector<float>{}), 0.f);
    EXPECT_EQ(distance<pearson>(std::vector<float>{2, 2, 2}, std::vector<float>{1, 5, 9}), 0.f);
    EXPECT_NEAR(distance<pearson>(std::vector<float>{1, 2, 3}, std::vector<float>{2, 4, 6}), 0.f, 1e-6);
    EXPECT_NEAR(distance<pearson>(std::vector<float>{1, 2, 3}, std::vector<float>{3, 2, 1}), 2.f, 1e-6);
}

TEST(Pearson, EveryScalarTypeMatchesADoubleReferenceOverEveryTailLength) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> small(-60, 60); // keeps b within signed char
    for (std::size_t n : {2, 3, 7, 8, 9, 15, 16, 17, 33, 100}) {
        std::vector<double> a(n), b(n);
        for (std::size_t i = 0; i != n; ++i)
            a[i] = small(rng), b[i] = std::trunc(a[i] * 0.5) + small(rng);
        double const expected = pearson_reference(a, b);
        std::vector<float> af(a.begin(), a.end()), bf(b.begin(), b.end());
        std::vector<signed char> ai(a.begin(), a.end()), bi(b.begin(), b.end());
        std::vector<f16_bits_t> ah, bh;
        std::vector<bf16_bits_t> ab, bb;
        for (std::size_t i = 0; i != n; ++i) {
            ah.push_back(float_to_f16(float(a[i]))), bh.push_back(float_to_f16(float(b[i])));
            ab.push_back(float_to_bf16(float(a[i]))), bb.push_back(float_to_bf16(float(b[i])));
        }
        SCOPED_TRACE(n);
        EXPECT_NEAR(distance<pearson_f64>(a, b), expected, 1e-4);
        EXPECT_NEAR(distance<pearson_f32>(af, bf), expected, 1e-4);
        EXPECT_NEAR(distance<pearson_f16>(ah, bh), expected, 1e-4);
        EXPECT_NEAR(distance<pearson_i8>(ai, bi), expected, 1e-4);
        // bfloat16 keeps 8 significant bits: integers up to 256 are exact, larger ones are rounded.
        std::vector<double> ar, br;
        for (std::size_t i = 0; i != n; ++i)
            ar.push_back(bf16_to_float(ab[i])), br.push_back(bf16_to_float(bb[i]));
        EXPECT_NEAR(distance<pearson_bf16>(ab, bb), pearson_reference(ar, br), 1e-4);
    }
}

TEST(Divergence, EdgeCases) {
    using divergence = divergence_f32;
    std::vector<float> const p = {0.1f, 0.2f, 0.3f, 0.4f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f};
    EXPECT_EQ(distance<divergence>(p, p), 0.f);
    EXPECT_NEAR(distance<divergence>(std::vector<float>{1, 0}, std::vector<float>{0, 1}), std::log(2.0), 1e-5);
    EXPECT_EQ(distance<divergence>(std::vector<float>{}, std::vector<float>{}), 0.f);
    EXPECT_TRUE(std::isnan(distance<divergence>(std::vector<float>{-0.5f, 1}, std::vector<float>{0.5f, 0})));
}

TEST(Divergence, EveryScalarTypeMatchesADoubleReference) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0, 1);
    for (std::size_t n : {1, 7, 8, 9, 17, 64}) {
        std::vector<double> a(n), b(n);
        double sa = 0, sb = 0;
        for (std::size_t i = 0; i != n; ++i)
            a[i] = unit(rng), b[i] = unit(rng), sa += a[i], sb += b[i];
        for (std::size_t i = 0; i != n; ++i)
            a[i] = double(float(a[i] / sa)), b[i] = double(float(b[i] / sb));
        std::vector<float> af(a.begin(), a.end()), bf(b.begin(), b.end());
        std::vector<f16_bits_t> ah, bh;
        std::vector<bf16_bits_t> ab, bb;
        std::vector<double> ahd, bhd, abd, bbd;
        for (std::size_t i = 0; i != n; ++i) {
            ah.push_back(float_to_f16(af[i])), bh.push_back(float_to_f16(bf[i]));
            ab.push_back(float_to_bf16(af[i])), bb.push_back(float_to_bf16(bf[i]));
            ahd.push_back(f16_to_float(ah[i])), bhd.push_back(f16_to_float(bh[i]));
            abd.push_back(bf16_to_float(ab[i])), bbd.push_back(bf16_to_float(bb[i]));
        }
        SCOPED_TRACE(n);
        EXPECT_NEAR(distance<divergence_f64>(a, b), divergence_reference(a, b), 1e-5);
        EXPECT_NEAR(distance<divergence_f32>(af, bf), divergence_reference(a, b), 1e-5);
        EXPECT_NEAR(distance<divergence_f16>(ah, bh), divergence_reference(ahd, bhd), 1e-5);
        EXPECT_NEAR(distance<divergence_bf16>(ab, bb), divergence_reference(abd, bbd),
                    1e-5);
    }
}

TEST(Haversine, MatchesTheAngleBetweenUnitVectorsInBothPrecisions) {
    struct case_t {
        double lat_a, lon_a, lat_b, lon_b;
    } const cases[] = {
        {12.5, -70, 12.5, -70}, {0, 0, 0, 180},     {90, 0, -90, 0},        {0, 0, 0, 90},
        {0, 0, 90, 0},          {45, 10, -45, -170}, {51.5, -0.1, 40.7, -74}, {-33.9, 151.2, 35.7, 139.7},
        {10, 179.5, 10, -179.5},
    };
    for (case_t const& c : cases) {
        // Components past the second must not matter.
        std::vector<double> const a = {c.lat_a, c.lon_a, 1e9}, b = {c.lat_b, c.lon_b, -1e9};
        std::vector<float> const af(a.begin(), a.end()), bf(b.begin(), b.end());
        double const expected = great_circle_reference(c.lat_a, c.lon_a, c.lat_b, c.lon_b);
        float const in_double = distance<haversine_f64>(a, b);
        float const in_float = distance<haversine_f32>(af, bf);
        SCOPED_TRACE(testing::Message() << c.lat_a << "," << c.lon_a << " " << c.lat_b << "," << c.lon_b);
        EXPECT_NEAR(in_double, expected, 1e-6);
        // Near antipodes asin is ill-conditioned, so float loses about half its digits there.
        EXPECT_NEAR(in_float, expected, 1e-3);
    }
    EXPECT_NEAR(distance<haversine_f64>(std::vector<double>{0, 0}, std::vector<double>{0, 180}),
                pi, 1e-6);
    EXPECT_NEAR(distance<haversine_f64>(std::vector<double>{90, 0}, std::vector<double>{-90, 0}),
                pi, 1e-6);
}

TEST(Haversine, RoundingNearAntipodesNeverYieldsNaN) {
    // Nearly antipodal pairs (latitude, longitude, latitude, longitude) whose rounded h lands two units above
    // 1, so that the square root exceeds 1 and asin would return NaN.
    float const float_pairs[][4] = {{-0x1.f0ad34p+5f, -0x1.32578ep+7f, 0x1.f0ac72p+5f, 0x1.ad4422p+4f},
                                    {-0x1.d9abecp+5f, 0x1.90d0dp+6f, 0x1.d9ac3ap+5f, -0x1.3f2e76p+6f}};
    double const double_pairs[][4] = {
        {0x1.0768ab86b28fp+6, -0x1.95bebcea79c96p+6, -0x1.0768ab86b144fp+6, 0x1.3a41431578313p+6},
        {-0x1.05d68318d0132p+6, 0x1.178475001f26ep+6, 0x1.05d68318d4185p+6, -0x1.b87b8affe0379p+6}};
    for (auto const& pair : float_pairs) {
        std::vector<float> const a = {pair[0], pair[1]}, b = {pair[2], pair[3]};
        EXPECT_NEAR(distance<haversine_f32>(a, b), pi, 1e-3) << pair[0] << "," << pair[1];
    }
    for (auto const& pair : double_pairs) {
        std::vector<double> const a = {pair[0], pair[1]}, b = {pair[2], pair[3]};
        EXPECT_NEAR(distance<haversine_f64>(a, b), pi, 1e-6) << pair[0] << "," << pair[1];
    }
}

TEST(Haversine, FloatConstantsHaveTheirExactPatterns) {
    // pi/360 and pi/180 in float: 0x3C0EFA36 and 0x3C8EFA36.
    EXPECT_EQ(float_bits(0x1.1DF46Cp-7f), 0x3C0EFA36u);
    EXPECT_EQ(float_bits(0x1.1DF46Cp-6f), 0x3C8EFA36u);
    // A one-degree step along the equator is pi/180 exactly as the float formula computes it.
    std::vector<float> const a = {0, 0}, b = {0, 1};
    EXPECT_NEAR(distance<haversine_f32>(a, b), pi / 180, 1e-7);
}

TEST(BitSets, EdgeCases) {
    using hamming = hamming_b1x8;
    using tanimoto = tanimoto_b1x8;
    using sorensen = sorensen_b1x8;
    EXPECT_EQ(distance<hamming>(bytes({0xFF}), bytes({0x0F})), 4.f);
    EXPECT_EQ(distance<hamming>(bytes({}), bytes({})), 0.f);
    EXPECT_EQ(distance<hamming>(bytes({0xFF, 0xFF}), bytes({0x00, 0x00}), 0), 0.f);
    EXPECT_EQ(distance<tanimoto>(bytes({0x5A, 0x01}), bytes({0x5A, 0x01})), 0.f);
    EXPECT_EQ(distance<tanimoto>(bytes({0xF0}), bytes({0x0F})), 1.f);
    EXPECT_TRUE(std::isnan(distance<tanimoto>(bytes({0, 0}), bytes({0, 0}))));
    EXPECT_TRUE(std::isnan(distance<tanimoto>(bytes({}), bytes({}))));
    EXPECT_FLOAT_EQ(distance<sorensen>(bytes({0x0F}), bytes({0x03})), 1.f / 3.f);
    EXPECT_TRUE(std::isnan(distance<sorensen>(bytes({0, 0, 0}), bytes({0, 0, 0}))));
    EXPECT_TRUE(std::isnan(distance<sorensen>(bytes({}), bytes({}))));
}

TEST(BitSets, WordAndByteLoopsAgreeWithABitByBitCountAtAnyAlignment) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    for (std::size_t n : {1, 7, 8, 9, 15, 16, 17, 31, 33}) {
        // Offset by one byte so that the word loads are unaligned.
        std::vector<b1x8_t> storage_a(n + 1), storage_b(n + 1);
        std::size_t intersection = 0, unison = 0, total = 0, differing = 0;
        for (std::size_t i = 1; i <= n; ++i) {
            storage_a[i].bits = std::uint8_t(byte(rng)), storage_b[i].bits = std::uint8_t(byte(rng));
            for (unsigned bit = 0; bit != 8; ++bit) {
                bool const x = storage_a[i].bits >> bit & 1, y = storage_b[i].bits >> bit & 1;
                intersection += x && y, unison += x || y, total += x + y, differing += x != y;
            }
        }
        std::uintptr_t const a = reinterpret_cast<std::uintptr_t>(storage_a.data() + 1);
        std::uintptr_t const b = reinterpret_cast<std::uintptr_t>(storage_b.data() + 1);
        SCOPED_TRACE(n);
        EXPECT_EQ(metric_punned_t::equidimensional_<hamming_b1x8>(a, b, n),
                  float(differing));
        EXPECT_FLOAT_EQ(metric_punned_t::equidimensional_<tanimoto_b1x8>(a, b, n),
                        1.f - float(intersection) / float(unison));
        EXPECT_FLOAT_EQ(metric_punned_t::equidimensional_<sorensen_b1x8>(a, b, n),
                        1.f - 2.f * float(intersection) / float(total));
    }
}

TEST(Formulas, ReadVectorsAtAnyAlignment) {
    // Vectors handed straight from a caller's buffer may start at any byte; the sanitizer build traps
    // misaligned typed loads.
    std::vector<unsigned char> storage(1 + 2 * 9 * sizeof(double));
    std::vector<double> const a = {1, 2, 3, 4, 5, 6, 7, 8, 9}, b = {9, 7, 8, 6, 4, 5, 3, 1, 2};
    std::memcpy(storage.data() + 1, a.data(), 9 * sizeof(double));
    std::memcpy(storage.data() + 1 + 9 * sizeof(double), b.data(), 9 * sizeof(double));
    std::uintptr_t const pa = reinterpret_cast<std::uintptr_t>(storage.data() + 1);
    std::uintptr_t const pb = pa + 9 * sizeof(double);
    EXPECT_NEAR(metric_punned_t::equidimensional_<pearson_f64>(pa, pb, 9),
                pearson_reference(a, b), 1e-5);
    EXPECT_TRUE(std::isfinite(metric_punned_t::equidimensional_<haversine_f64>(pa, pb, 9)));
    EXPECT_TRUE(std::isfinite(metric_punned_t::equidimensional_<divergence_f64>(pa, pb, 9)));
}
