// Exact values of the bit-set, probability, sparse, curved-space and elementwise kernels, called directly.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernels/half.h"
#include "kernels/haswell_kernels2.h"
#include "kernels/serial_binary.h"
#include "kernels/serial_curved.h"
#include "kernels/serial_elementwise.h"
#include "kernels/serial_sparse.h"
#include "guarded_buffer.h"

namespace vemo {
namespace korvane {
namespace {

constexpr math_mode_t approx_k = math_mode_t::approximate;
constexpr math_mode_t exact_k = math_mode_t::math_library;

/// A guarded buffer holding a copy of `values`: a kernel that reads one element too many faults.
struct guarded_t : guarded_buffer_t {
    template <typename scalar_at>
    explicit guarded_t(std::vector<scalar_at> const& values) : guarded_buffer_t(values.size() * sizeof(scalar_at)) {
        if (!values.empty())
            std::memcpy(data(), values.data(), size());
    }
};

enum class datatype_t { f64, f32, f16, bf16, i8, u8 };

char const* name_of(datatype_t type) {
    switch (type) {
    case datatype_t::f64: return "f64";
    case datatype_t::f32: return "f32";
    case datatype_t::f16: return "f16";
    case datatype_t::bf16: return "bf16";
    case datatype_t::i8: return "i8";
    case datatype_t::u8: return "u8";
    }
    return "?";
}

std::size_t size_of(datatype_t type) {
    switch (type) {
    case datatype_t::f64: return 8;
    case datatype_t::f32: return 4;
    case datatype_t::f16:
    case datatype_t::bf16: return 2;
    default: return 1;
    }
}

/// Raw elements of `type` made from doubles (halves and bfloat16 through the library's rounding).
std::vector<std::uint8_t> encode(datatype_t type, std::vector<double> const& values) {
    std::vector<std::uint8_t> bytes;
    auto append = [&](auto element) {
        std::uint8_t raw[sizeof(element)];
        std::memcpy(raw, &element, sizeof(element));
        bytes.insert(bytes.end(), raw, raw + sizeof(element));
    };
    for (double value : values)
        switch (type) {
        case datatype_t::f64: append(value); break;
        case datatype_t::f32: append(static_cast<float>(value)); break;
        case datatype_t::f16: append(f32_to_f16(static_cast<float>(value))); break;
        case datatype_t::bf16: append(f32_to_bf16(static_cast<float>(value))); break;
        case datatype_t::i8: append(static_cast<std::int8_t>(value)); break;
        case datatype_t::u8: append(static_cast<std::uint8_t>(value)); break;
        }
    return bytes;
}

std::vector<double> decode(datatype_t type, void const* data, std::size_t count) {
    std::vector<double> values(count);
    auto const* bytes = static_cast<std::uint8_t const*>(data);
    for (std::size_t i = 0; i != count; ++i) {
        std::uint8_t const* element = bytes + i * size_of(type);
        float f32;
        std::uint16_t bits16;
        switch (type) {
        case datatype_t::f64: std::memcpy(&values[i], element, 8); break;
        case datatype_t::f32: std::memcpy(&f32, element, 4), values[i] = f32; break;
        case datatype_t::f16: std::memcpy(&bits16, element, 2), values[i] = f16_to_f32(bits16); break;
        case datatype_t::bf16: std::memcpy(&bits16, element, 2), values[i] = bf16_to_f32(bits16); break;
        case datatype_t::i8: values[i] = static_cast<std::int8_t>(*element); break;
        case datatype_t::u8: values[i] = *element; break;
        }
    }
    return values;
}

template <typename id_at> std::vector<id_at> iota_ids(id_at first, std::size_t count) {
    std::vector<id_at> ids(count);
    for (std::size_t i = 0; i != count; ++i)
        ids[i] = static_cast<id_at>(first + i);
    return ids;
}

struct intersect_case_t {
    char const* name;
    std::vector<std::uint32_t> a, b;
    double expected;
};

TEST(Kernels2Intersect, MergeAndGallopCounts) {
    std::vector<std::uint32_t> const hundred = iota_ids<std::uint32_t>(0, 100);
    std::vector<std::uint32_t> const odd_thousand = [] {
        std::vector<std::uint32_t> ids;
        for (std::uint32_t i = 1; i < 2000; i += 2)
            ids.push_back(i);
        return ids;
    }();
    std::vector<intersect_case_t> const cases = {
        {"merge", {1, 3, 5}, {3, 4, 5, 6}, 2},
        {"merge, equal lengths", {1, 2, 3}, {2, 3, 4}, 2},
        {"merge, disjoint", {1, 2}, {3, 4}, 0},
        {"gallop, one match", {7}, hundred, 1},
        {"gallop, beyond the end", {200}, hundred, 0},
        {"gallop, first and last", {0, 99}, hundred, 2},
        {"gallop, before the start", {0}, iota_ids<std::uint32_t>(5, 64), 0},
        {"gallop, several from one position", {1, 2, 3, 999, 1001, 1999, 2000}, odd_thousand, 5},
        {"gallop, longer set first", hundred, {42}, 1},
        {"gallop, 63 times longer merges", {7}, iota_ids<std::uint32_t>(0, 63), 1},
        {"empty shorter", {}, {1, 2, 3}, 0},
        {"both empty", {}, {}, 0},
        {"unsorted does not fault", {5, 1, 9, 0}, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12}, -1},
        {"gallop, members beyond the end", {250, 300}, iota_ids<std::uint32_t>(0, 150), 0},
        {"unsorted gallop does not fault", {300, 7, 5000}, iota_ids<std::uint32_t>(0, 200), -1},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        guarded_t a(c.a), b(c.b);
        double count = -2;
        serial_intersect_u32<approx_k>(a.data(), b.data(), c.a.size(), c.b.size(), &count);
        if (c.expected >= 0) {
            EXPECT_EQ(count, c.expected);
        }
        // The u16 kernel gives the same count for the same small identifiers.
        std::vector<std::uint16_t> a16(c.a.begin(), c.a.end()), b16(c.b.begin(), c.b.end());
        guarded_t a16g(a16), b16g(b16);
        double count16 = -2;
        serial_intersect_u16<exact_k>(a16g.data(), b16g.data(), a16.size(), b16.size(), &count16);
        EXPECT_EQ(count16, count);
    }
}

TEST(Kernels2Intersect, CompareUnsignedIdentifiers) {
    std::vector<std::uint32_t> const a = {1, 0x80000000u, 0xFFFFFFFFu};
    std::vector<std::uint32_t> const b = {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    double count = 0;
    serial_intersect_u32<approx_k>(a.data(), b.data(), a.size(), b.size(), &count);
    EXPECT_EQ(count, 2);
    std::vector<std::uint16_t> const a16 = {1, 0x8000, 0xFFFF}, b16 = {0x7FFF, 0x8000, 0xFFFF};
    serial_intersect_u16<approx_k>(a16.data(), b16.data(), 3, 3, &count);
    EXPECT_EQ(count, 2);
}

using dense_kernel_t = void (*)(void const*, void const*, std::uint64_t, vexlane_distance_t*);

struct bits_case_t {
    char const* name;
    std::vector<std::uint8_t> a, b;
    double hamming, jaccard;
};

TEST(Kernels2Bits, HammingAndJaccardSerialAndHaswell) {
    std::vector<std::uint8_t> const pattern = {0x01, 0x80, 0xFF, 0x5A, 0x00, 0x33, 0xC3, 0x7E, 0x10, 0xEE, 0x42};
    std::vector<std::uint8_t> zeros(11, 0), ones(11, 0xFF);
    std::vector<bits_case_t> const cases = {
        {"empty", {}, {}, 0, 1.0},
        {"0xFF against 0x00", {0xFF, 0xFF, 0xFF}, {0, 0, 0}, 24, 1.0},
        {"identical", pattern, pattern, 0, 0.0},
        {"all zero", zeros, zeros, 0, 1.0},
        {"0x0F against 0xFF", {0x0F}, {0xFF}, 4, 0.5},
        // 11 bytes: one 8-byte word and a 3-byte tail, 88 bits all differing.
        {"all bits across word and tail", ones, zeros, 88, 1.0},
        {"half the bits", std::vector<std::uint8_t>(9, 0xF0), std::vector<std::uint8_t>(9, 0xFF), 36, 0.5},
    };
    struct named_t {
        char const* name;
        dense_kernel_t hamming, jaccard;
    };
    named_t const kernels[] = {{"serial approximate", serial_hamming_b8<approx_k>, serial_jaccard_b8<approx_k>},
                               {"serial math library", serial_hamming_b8<exact_k>, serial_jaccard_b8<exact_k>},
                               {"haswell", haswell_hamming_b8, haswell_jaccard_b8}};
    for (auto const& k : kernels)
        for (auto const& c : cases) {
            SCOPED_TRACE(std::string(k.name) + ": " + c.name);
            guarded_t a(c.a), b(c.b);
            double value = -1;
            k.hamming(a.data(), b.data(), c.a.size(), &value);
            EXPECT_EQ(value, c.hamming);
            k.jaccard(a.data(), b.data(), c.a.size(), &value);
            EXPECT_DOUBLE_EQ(value, c.jaccard);
        }
}


struct divergence_kernels_t {
    datatype_t type;
    dense_kernel_t kl_approx, kl_exact, js_approx, js_exact;
};

divergence_kernels_t const serial_divergences[] = {
    {datatype_t::f64, serial_kl_f64<approx_k>, serial_kl_f64<exact_k>, serial_js_f64<approx_k>, serial_js_f64<exact_k>},
    {datatype_t::f32, serial_kl_f32<approx_k>, serial_kl_f32<exact_k>, serial_js_f32<approx_k>, serial_js_f32<exact_k>},
    {datatype_t::f16, serial_kl_f16<approx_k>, serial_kl_f16<exact_k>, serial_js_f16<approx_k>, serial_js_f16<exact_k>},
    {datatype_t::bf16, serial_kl_bf16<approx_k>, serial_kl_bf16<exact_k>, serial_js_bf16<approx_k>,
     serial_js_bf16<exact_k>},
};

double call_dense(dense_kernel_t kernel, datatype_t type, std::vector<double> const& a, std::vector<double> const& b) {
    guarded_t a_data(encode(type, a)), b_data(encode(type, b));
    double value = std::numeric_limits<double>::quiet_NaN();
    kernel(a_data.data(), b_data.data(), a.size(), &value);
    return value;
}

TEST(Kernels2Divergence, SerialValuesInBothModes) {
    std::vector<double> const p = {0.25, 0.5, 0.125, 0.0625, 0.0625};
    double const ln2 = std::log(2.0);
    double const series_at_2 = 1.0 - 0.5 + 1.0 / 3.0; // third-order series of ln around 1, at 2
    for (auto const& k : serial_divergences) {
        SCOPED_TRACE(name_of(k.type));
        // Every ratio is exactly 1, and d = 0 is not above 0.
        EXPECT_EQ(call_dense(k.kl_approx, k.type, p, p), 0.0);
        EXPECT_EQ(call_dense(k.kl_exact, k.type, p, p), 0.0);
        EXPECT_EQ(call_dense(k.js_approx, k.type, p, p), 0.0);
        EXPECT_EQ(call_dense(k.js_exact, k.type, p, p), 0.0);
        EXPECT_EQ(call_dense(k.kl_approx, k.type, {}, {}), 0.0);
        EXPECT_EQ(call_dense(k.js_exact, k.type, {}, {}), 0.0);

        // A zero a_i contributes nothing, so only ln((1 + eps) / (0.5 + eps)) remains.
        EXPECT_NEAR(call_dense(k.kl_exact, k.type, {1, 0}, {0.5, 0.5}), ln2, 1e-6);
        EXPECT_NEAR(call_dense(k.kl_approx, k.type, {1, 0}, {0.5, 0.5}), series_at_2, 1e-6);

        // Disjoint supports: each side contributes ln 2, d = ln 2.
        EXPECT_NEAR(call_dense(k.js_exact, k.type, {1, 0}, {0, 1}), std::sqrt(ln2), 1e-6);
        EXPECT_NEAR(call_dense(k.js_approx, k.type, {1, 0}, {0, 1}), std::sqrt(series_at_2), 1e-3);
    }
}

TEST(Kernels2Divergence, HaswellHalvesAcrossBlockAndTail) {
    double const ln2 = std::log(2.0);
    // 11 elements: one block of 8 and a 3-element tail read through a zeroed copy.
    std::vector<double> p(11, 0.0), q(11, 0.0), r(11, 0.0);
    for (std::size_t i = 0; i != 11; ++i)
        p[i] = 1.0 / 16 + (i % 3) / 32.0;
    q[10] = 1.0;
    r[9] = 0.5;
    r[10] = 0.5;
    EXPECT_NEAR(call_dense(haswell_kl_f16, datatype_t::f16, p, p), 0.0, 1e-5);
    EXPECT_NEAR(call_dense(haswell_js_f16, datatype_t::f16, p, p), 0.0, 1e-3);
    EXPECT_NEAR(call_dense(haswell_kl_f16, datatype_t::f16, q, r), ln2, 1e-3);
    std::vector<double> s(11, 0.0);
    s[3] = 1.0;
    EXPECT_NEAR(call_dense(haswell_js_f16, datatype_t::f16, q, s), std::sqrt(ln2), 1e-3);
    EXPECT_NEAR(call_dense(haswell_js_f16, datatype_t::f16, {1, 0}, {0, 1}), std::sqrt(ln2), 1e-3);
    EXPECT_EQ(call_dense(haswell_kl_f16, datatype_t::f16, {}, {}), 0.0);
    EXPECT_EQ(call_dense(haswell_js_f16, datatype_t::f16, {}, {}), 0.0);
}

using curved_kernel_t = void (*)(void const*, void const*, void const*, std::uint64_t, vexlane_distance_t*);

struct curved_kernels_t {
    char const* name;
    datatype_t type;
    curved_kernel_t bilinear, mahalanobis;
    double sqrt_tolerance; // relative error of the square root
};

curved_kernels_t const real_curved[] = {
    {"serial f64 approximate", datatype_t::f64, serial_bilinear_f64<approx_k>, serial_mahalanobis_f64<approx_k>, 1e-3},
    {"serial f64 math library", datatype_t::f64, serial_bilinear_f64<exact_k>, serial_mahalanobis_f64<exact_k>, 1e-15},
    {"serial f32 approximate", datatype_t::f32, serial_bilinear_f32<approx_k>, serial_mahalanobis_f32<approx_k>, 1e-3},
    {"serial f32 math library", datatype_t::f32, serial_bilinear_f32<exact_k>, serial_mahalanobis_f32<exact_k>, 1e-7},
    {"serial f16 approximate", datatype_t::f16, serial_bilinear_f16<approx_k>, serial_mahalanobis_f16<approx_k>, 1e-3},
    {"serial f16 math library", datatype_t::f16, serial_bilinear_f16<exact_k>, serial_mahalanobis_f16<exact_k>, 1e-7},
    {"serial bf16 approximate", datatype_t::bf16, serial_bilinear_bf16<approx_k>, serial_mahalanobis_bf16<approx_k>,
     1e-3},
    {"serial bf16 math library", datatype_t::bf16, serial_bilinear_bf16<exact_k>, serial_mahalanobis_bf16<exact_k>,
     1e-7},
    {"haswell f16", datatype_t::f16, haswell_bilinear_f16, haswell_mahalanobis_f16, 1e-7},
    {"haswell bf16", datatype_t::bf16, haswell_bilinear_bf16, haswell_mahalanobis_bf16, 1e-7},
};

/// x^T C y in 64-bit from row-major C.
double reference_form(std::vector<double> const& x, std::vector<double> const& c, std::vector<double> const& y) {
    std::size_t const n = x.size();
    double sum = 0;
    for (std::size_t i = 0; i != n; ++i)
        for (std::size_t j = 0; j != n; ++j)
            sum += x[i] * c[i * n + j] * y[j];
    return sum;
}

TEST(Kernels2Curved, FormsMatchAnExactReference) {
    // Small integers and halves: every product and partial sum is exact in every datatype, so each kernel must
    // hit the reference exactly, whatever its blocking. The matrix is not symmetric: a transposed walk fails.
    for (auto const& k : real_curved)
        for (std::size_t n : {0, 1, 2, 7, 8, 9, 16, 19}) {
            SCOPED_TRACE(std::string(k.name) + ", n = " + std::to_string(n));
            std::vector<double> a(n), b(n), identity(n * n, 0.0), c(n * n);
            for (std::size_t i = 0; i != n; ++i) {
                a[i] = static_cast<double>(i % 3) - 1.0;
                b[i] = static_cast<double>(i % 4) * 0.5 - 0.5;
                identity[i * n + i] = 1;
                for (std::size_t j = 0; j != n; ++j)
                    c[i * n + j] = i == j ? 2.0 * static_cast<double>(n) : static_cast<double>((i * 3 + j * 7) % 5) - 2.0;
            }
            guarded_t a_data(encode(k.type, a)), b_data(encode(k.type, b));
            guarded_t identity_data(encode(k.type, identity)), c_data(encode(k.type, c));
            std::vector<double> d(n);
            for (std::size_t i = 0; i != n; ++i)
                d[i] = a[i] - b[i];

            double value = -1;
            k.bilinear(a_data.data(), b_data.data(), identity_data.data(), n, &value);
            EXPECT_EQ(value, reference_form(a, identity, b)) << "identity gives the dot product";
            k.bilinear(a_data.data(), b_data.data(), c_data.data(), n, &value);
            EXPECT_EQ(value, reference_form(a, c, b));

            // The diagonal dominates, so the form of a - b is never negative.
            double const euclidean = std::sqrt(reference_form(d, identity, d));
            k.mahalanobis(a_data.data(), b_data.data(), identity_data.data(), n, &value);
            EXPECT_NEAR(value, euclidean, euclidean * k.sqrt_tolerance);
            double const distance = std::sqrt(reference_form(d, c, d));
            k.mahalanobis(a_data.data(), b_data.data(), c_data.data(), n, &value);
            EXPECT_NEAR(value, distance, distance * k.sqrt_tolerance);
        }
}

TEST(Kernels2Curved, ComplexBilinearDoesNotConjugate) {
    struct complex_kernel_t {
        datatype_t type;
        curved_kernel_t kernel;
    };
    complex_kernel_t const kernels[] = {
        {datatype_t::f64, serial_bilinear_f64c<approx_k>}, {datatype_t::f64, serial_bilinear_f64c<exact_k>},
        {datatype_t::f32, serial_bilinear_f32c<approx_k>}, {datatype_t::f32, serial_bilinear_f32c<exact_k>},
        {datatype_t::f16, serial_bilinear_f16c<approx_k>}, {datatype_t::bf16, serial_bilinear_bf16c<exact_k>},
    };
    struct case_t {
        char const* name;
        std::vector<double> a, b, c; // (real, imaginary) pairs
        double real, imag;
    };
    case_t const cases[] = {
        {"identity: (1+2i)(3+4i)", {1, 2}, {3, 4}, {1, 0}, -5, 10},
        {"matrix i: (1+2i) i (3+4i)", {1, 2}, {3, 4}, {0, 1}, -10, -5},
        // a^T C b with a = (1, i), b = (i, 2), C = [[1, i], [2, 0]]: row 0 gives i + 2i = 3i, row 1 gives 2i;
        // 1 * 3i + i * 2i = -2 + 3i.
        {"two by two", {1, 0, 0, 1}, {0, 1, 2, 0}, {1, 0, 0, 1, 2, 0, 0, 0}, -2, 3},
        {"empty", {}, {}, {}, 0, 0},
    };
    for (auto const& k : kernels)
        for (auto const& c : cases) {
            SCOPED_TRACE(std::string(name_of(k.type)) + ": " + c.name);
            guarded_t a(encode(k.type, c.a)), b(encode(k.type, c.b)), m(encode(k.type, c.c));
            double value[2] = {-1, -1};
            k.kernel(a.data(), b.data(), m.data(), c.a.size() / 2, value);
            EXPECT_EQ(value[0], c.real);
            EXPECT_EQ(value[1], c.imag);
        }
}

using wsum_kernel_t = void (*)(void const*, void const*, std::uint64_t, double, double, void*);
using fma_kernel_t = void (*)(void const*, void const*, void const*, std::uint64_t, double, double, void*);

struct elementwise_kernels_t {
    char const* name;
    datatype_t type;
    wsum_kernel_t wsum;
    fma_kernel_t fma;
    bool haswell;
};

elementwise_kernels_t const elementwise[] = {
    {"serial f64", datatype_t::f64, serial_wsum_f64<approx_k>, serial_fma_f64<approx_k>, false},
    {"serial f32", datatype_t::f32, serial_wsum_f32<approx_k>, serial_fma_f32<approx_k>, false},
    {"serial f16", datatype_t::f16, serial_wsum_f16<exact_k>, serial_fma_f16<exact_k>, false},
    {"serial bf16", datatype_t::bf16, serial_wsum_bf16<approx_k>, serial_fma_bf16<approx_k>, false},
    {"serial i8", datatype_t::i8, serial_wsum_i8<exact_k>, serial_fma_i8<exact_k>, false},
    {"serial u8", datatype_t::u8, serial_wsum_u8<approx_k>, serial_fma_u8<approx_k>, false},
    {"haswell f64", datatype_t::f64, haswell_wsum_f64, haswell_fma_f64, true},
    {"haswell f32", datatype_t::f32, haswell_wsum_f32, haswell_fma_f32, true},
    {"haswell f16", datatype_t::f16, haswell_wsum_f16, haswell_fma_f16, true},
    {"haswell bf16", datatype_t::bf16, haswell_wsum_bf16, haswell_fma_bf16, true},
    {"haswell i8", datatype_t::i8, haswell_wsum_i8, haswell_fma_i8, true},
    {"haswell u8", datatype_t::u8, haswell_wsum_u8, haswell_fma_u8, true},
};

/// Output area whose end touches an unreadable page, pre-filled with a marker byte.
struct guarded_output_t {
    guarded_output_t(datatype_t type, std::size_t count)
        : type(type), count(count), memory(std::vector<std::uint8_t>(count * size_of(type), 0xA5)) {}
    std::vector<double> values() { return decode(type, memory.data(), count); }
    datatype_t type;
    std::size_t count;
    guarded_t memory;
};

std::vector<double> run_wsum(elementwise_kernels_t const& k, std::vector<double> const& a,
                             std::vector<double> const& b, double alpha, double beta) {
    guarded_t a_data(encode(k.type, a)), b_data(encode(k.type, b));
    guarded_output_t out(k.type, a.size());
    k.wsum(a_data.data(), b_data.data(), a.size(), alpha, beta, out.memory.data());
    return out.values();
}

std::vector<double> run_fma(elementwise_kernels_t const& k, std::vector<double> const& a,
                            std::vector<double> const& b, std::vector<double> const& c, double alpha, double beta) {
    guarded_t a_data(encode(k.type, a)), b_data(encode(k.type, b)), c_data(encode(k.type, c));
    guarded_output_t out(k.type, a.size());
    k.fma(a_data.data(), b_data.data(), c_data.data(), a.size(), alpha, beta, out.memory.data());
    return out.values();
}

TEST(Kernels2Elementwise, ExactIntegerCombinationsInEveryLoop) {
    // 19 elements: two blocks of 8 and 3 left over, distinct values so that a misplaced lane shows. Every result
    // is a small non-negative integer, exact in every datatype (a is even, so halving it stays exact).
    struct weights_t {
        double alpha, beta;
    };
    weights_t const weight_cases[] = {{1, 1}, {2, -1}, {0, 3}, {3, 0}, {0.5, 2}};
    std::size_t const n = 19;
    std::vector<double> a(n), b(n), c(n);
    for (std::size_t i = 0; i != n; ++i) {
        a[i] = static_cast<double>(2 * (i % 4) + 2 + (i > 9 ? 2 : 0));
        b[i] = static_cast<double>(i % 3 + 1);
        c[i] = static_cast<double>(i % 4);
    }
    for (auto const& k : elementwise)
        for (auto const& w : weight_cases) {
            SCOPED_TRACE(std::string(k.name) + ", alpha " + std::to_string(w.alpha) + ", beta " +
                         std::to_string(w.beta));
            std::vector<double> expected_wsum(n), expected_fma(n);
            for (std::size_t i = 0; i != n; ++i) {
                expected_wsum[i] = w.alpha * a[i] + w.beta * b[i];
                expected_fma[i] = w.alpha * a[i] * b[i] + w.beta * c[i];
            }
            EXPECT_EQ(run_wsum(k, a, b, w.alpha, w.beta), expected_wsum);
            EXPECT_EQ(run_fma(k, a, b, c, w.alpha, w.beta), expected_fma);
        }
}

TEST(Kernels2Elementwise, ResultMayBeAnInput) {
    std::vector<double> a = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, b(11, 2.0);
    for (auto const& k : elementwise) {
        SCOPED_TRACE(k.name);
        std::vector<std::uint8_t> a_bytes = encode(k.type, a), b_bytes = encode(k.type, b);
        k.wsum(a_bytes.data(), b_bytes.data(), a.size(), 2, 1, a_bytes.data());
        std::vector<double> expected(a.size());
        for (std::size_t i = 0; i != a.size(); ++i)
            expected[i] = 2 * a[i] + 2;
        EXPECT_EQ(decode(k.type, a_bytes.data(), a.size()), expected);
        k.fma(a_bytes.data(), b_bytes.data(), b_bytes.data(), a.size(), 1, -1, b_bytes.data());
        for (std::size_t i = 0; i != a.size(); ++i)
            expected[i] = expected[i] * 2 - 2;
        EXPECT_EQ(decode(k.type, b_bytes.data(), a.size()), expected);
    }
}

TEST(Kernels2Elementwise, EmptyTouchesNothing) {
    for (auto const& k : elementwise) {
        SCOPED_TRACE(k.name);
        for (double alpha : {0.0, 1.0, 2.0})
            for (double beta : {0.0, 1.0, 2.0}) {
                k.wsum(nullptr, nullptr, 0, alpha, beta, nullptr);
                k.fma(nullptr, nullptr, nullptr, 0, alpha, beta, nullptr);
            }
    }
}

struct rounding_case_t {
    char const* name;
    datatype_t type;
    double alpha, beta;
    double a, b;
    double serial, haswell_block; // the haswell remainder stores the serial value
};

TEST(Kernels2Elementwise, StoreRoundingAndSaturation) {
    double const huge = 1e10;
    rounding_case_t const cases[] = {
        {"i8 saturating addition up", datatype_t::i8, 1, 1, 100, 100, 127, 127},
        {"i8 saturating addition down", datatype_t::i8, 1, 1, -100, -100, -128, -128},
        {"u8 saturating addition", datatype_t::u8, 1, 1, 200, 100, 255, 255},
        {"u8 1.5 rounds up", datatype_t::u8, 0.5, 0, 3, 0, 2, 2},
        {"u8 2.5: away from zero, or to even", datatype_t::u8, 0.5, 0, 5, 0, 3, 2},
        {"i8 -2.5: away from zero, or to even", datatype_t::i8, 0.5, 0, -5, 0, -3, -2},
        // 0.5 - 2^-25 plus 0.5 rounds to 1 in 32-bit arithmetic; the value is below a half and stores 0.
        {"u8 just below a half", datatype_t::u8, 0.5 - std::ldexp(1.0, -25), 0, 1, 0, 0, 0},
        {"i8 just above minus a half", datatype_t::i8, 0.5 - std::ldexp(1.0, -25), 0, -1, 0, 0, 0},
        {"i8 beyond 2^31 saturates high", datatype_t::i8, huge, 1, 1, 0, 127, 127},
        {"i8 beyond -2^31 saturates low", datatype_t::i8, huge, 1, -1, 0, -128, -128},
        {"u8 beyond 2^31 saturates high", datatype_t::u8, huge, 1, 1, 0, 255, 255},
        {"u8 negative stores 0", datatype_t::u8, -1, 1, 5, 1, 0, 0},
        {"i8 NaN stores 0", datatype_t::i8, std::numeric_limits<double>::infinity(), 1, 0, 3, 0, 0},
        {"u8 NaN stores 0", datatype_t::u8, std::numeric_limits<double>::infinity(), 1, 0, 3, 0, 0},
        // 1 + 2^-11 lies halfway between two halves; 1 + 2^-8 halfway between two bfloat16.
        {"f16 tie", datatype_t::f16, 1 + std::ldexp(1.0, -11), 0, 1, 0, 1 + std::ldexp(1.0, -10), 1},
        {"bf16 tie: rounded, or truncated", datatype_t::bf16, 1 + std::ldexp(1.0, -8), 0, 1, 0,
         1 + std::ldexp(1.0, -7), 1},
        {"bf16 below the tie still truncates", datatype_t::bf16, 1 + std::ldexp(1.0, -8) * 1.5, 0, 1, 0,
         1 + std::ldexp(1.0, -7), 1},
    };
    for (auto const& c : cases)
        for (auto const& k : elementwise) {
            if (k.type != c.type)
                continue;
            SCOPED_TRACE(std::string(k.name) + ": " + c.name);
            // Element 40 is the haswell remainder, 0 to 39 full blocks (and one 32-byte block of the saturating
            // byte addition).
            std::size_t const n = 41;
            std::vector<double> const a(n, c.a), b(n, c.b);
            std::vector<double> const got = run_wsum(k, a, b, c.alpha, c.beta);
            for (std::size_t i = 0; i != n; ++i)
                EXPECT_EQ(got[i], k.haswell && i + 1 < n ? c.haswell_block : c.serial) << "element " << i;
            // The same store follows the scaled product with b = 1.
            std::vector<double> const ones(n, 1.0);
            std::vector<double> const got_fma = run_fma(k, a, ones, b, c.alpha, c.beta);
            for (std::size_t i = 0; i != n; ++i)
                EXPECT_EQ(got_fma[i], k.haswell && i + 1 < n ? c.haswell_block : c.serial) << "element " << i;
        }
}

TEST(Kernels2Elementwise, HaswellZeroWeightLeavesItsInputUnread) {
    double const inf = std::numeric_limits<double>::infinity();
    for (auto const& k : elementwise) {
        if (!k.haswell || k.type == datatype_t::i8 || k.type == datatype_t::u8)
            continue;
        SCOPED_TRACE(k.name);
        std::vector<double> const infinite(11, inf), finite(11, 3.0);
        EXPECT_EQ(run_wsum(k, infinite, finite, 0, 2), std::vector<double>(11, 6.0));
        EXPECT_EQ(run_wsum(k, finite, infinite, 2, 0), std::vector<double>(11, 6.0));
        // The portable kernel multiplies anyway: 0 times infinity.
        elementwise_kernels_t const serial = elementwise[&k - elementwise - 6];
        EXPECT_TRUE(std::isnan(run_wsum(serial, infinite, finite, 0, 2)[0]));
    }
    // a and b are not even dereferenced.
    std::vector<float> const finite(11, 3.0f);
    std::vector<float> out(11);
    haswell_wsum_f32(nullptr, finite.data(), 11, 0, 2, out.data());
    EXPECT_EQ(out, std::vector<float>(11, 6.0f));
    haswell_wsum_f32(finite.data(), nullptr, 11, 2, 0, out.data());
    EXPECT_EQ(out, std::vector<float>(11, 6.0f));
}

TEST(Kernels2Elementwise, NanWeightGivesNan) {
    double const nan = std::numeric_limits<double>::quiet_NaN();
    struct weights_t {
        double alpha, beta;
    };
    for (auto const& k : elementwise) {
        if (k.type == datatype_t::i8 || k.type == datatype_t::u8)
            continue;
        SCOPED_TRACE(k.name);
        std::vector<double> const values(11, 3.0);
        for (weights_t w : {weights_t{nan, 1}, weights_t{1, nan}, weights_t{nan, nan}, weights_t{nan, 0},
                            weights_t{0, nan}})
            for (double value : run_wsum(k, values, values, w.alpha, w.beta))
                EXPECT_TRUE(std::isnan(value)) << w.alpha << ", " << w.beta;
    }
}

} // namespace
} // namespace korvane
} // namespace vemo
