// Exact values of the kernel library: half-precision conversions and approximations, capability words and
// names, lookup outcomes, entry points, and the special cases of the dense kernels, checked on every
// implementation (serial in both math modes, and haswell when the processor has it).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "kernels/capability_detection.h"
#include "kernels/half.h"
#include "kernels/kernel_lookup.h"
#include "kernels/vexlane.h"

namespace {

using namespace vemo::korvane;

double double_from_bits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

struct implementation_t {
    std::string name;
    vexlane_metric_dense_punned_t kernel;
};

/// Serial in both math modes, and haswell when both the table and the processor have it.
std::vector<implementation_t> implementations(vexlane_metric_kind_t kind, vexlane_datatype_t datatype) {
    std::vector<implementation_t> result;
    auto add = [&](char const* name, math_mode_t mode, vexlane_capability_t allowed) {
        vexlane_kernel_punned_t kernel = nullptr;
        vexlane_capability_t capability = 0;
        find_kernel(mode, kind, datatype, detect_capabilities(), allowed, &kernel, &capability);
        if (kernel && capability == allowed)
            result.push_back({name, reinterpret_cast<vexlane_metric_dense_punned_t>(kernel)});
    };
    add("serial approximate", math_mode_t::approximate, vexlane_cap_serial);
    add("serial math-library", math_mode_t::math_library, vexlane_cap_serial);
    add("haswell", math_mode_t::approximate, vexlane_cap_haswell);
    return result;
}

TEST(HalfConversions, WidenExactly) {
    struct case_t {
        std::uint16_t half;
        float expected;
    };
    case_t const cases[] = {
        {0x3C00, 1.0f},       {0xBC00, -1.0f},          {0x0001, 0x1p-24f},  {0x8001, -0x1p-24f},
        {0x03FF, 0x3FFp-24f}, {0x0400, 0x1p-14f},       {0x7BFF, 65504.0f},  {0x0000, 0.0f},
        {0x3555, 0x1.554p-2f}, {0x7C00, INFINITY},      {0xFC00, -INFINITY},
    };
    for (case_t const& c : cases)
        EXPECT_EQ(f32_bits(c.expected), f32_bits(f16_to_f32(c.half))) << std::hex << c.half;
    EXPECT_EQ(0x80000000u, f32_bits(f16_to_f32(0x8000))) << "negative zero keeps its sign";
    EXPECT_TRUE(std::isnan(f16_to_f32(0x7E00)));
    EXPECT_TRUE(std::isnan(f16_to_f32(0xFC01)));

    EXPECT_EQ(0x3F810000u, f32_bits(bf16_to_f32(0x3F81)));
}

TEST(HalfConversions, NarrowRoundingTiesAwayFromZero) {
    struct case_t {
        float value;
        std::uint16_t expected;
    };
    case_t const f16_cases[] = {
        {1.0f, 0x3C00},
        {1.0f + 0x1p-11f, 0x3C01},     // a tie rounds away from zero
        {-(1.0f + 0x1p-11f), 0xBC01},
        {1.0f + 0x1p-12f, 0x3C00},
        {65504.0f, 0x7BFF},
        {65519.0f, 0x7BFF},
        {65520.0f, 0x7C00},            // rounds beyond the largest half
        {1.0e6f, 0x7C00},              // finite values beyond the range become infinities, never NaN
        {-1.0e6f, 0xFC00},
        {INFINITY, 0x7C00},
        {-INFINITY, 0xFC00},
        {2.5f * 0x1p-24f, 0x0003},     // subnormal tie
        {0x1p-24f, 0x0001},
        {0x1p-25f, 0x0001},            // half of the smallest subnormal rounds away from zero
        {0x1p-26f, 0x0000},
        {-0x1p-26f, 0x8000},
        {0x1p-14f, 0x0400},
        {-0.0f, 0x8000},
    };
    for (case_t const& c : f16_cases)
        EXPECT_EQ(c.expected, f32_to_f16(c.value)) << c.value;

    // NaNs stay NaNs whatever their payload, including patterns whose rounding would carry into the sign.
    for (std::uint32_t bits : {0x7FC00000u, 0x7F800001u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0xFFFFF000u}) {
        std::uint16_t const half = f32_to_f16(f32_from_bits(bits));
        EXPECT_EQ(0x7E00, half & 0x7FFF) << std::hex << bits;
        EXPECT_EQ(bits >> 31, half >> 15u) << std::hex << bits;
    }

    case_t const bf16_cases[] = {
        {1.0f, 0x3F80},
        {1.0f + 0x1p-8f, 0x3F81}, // a tie rounds up in magnitude
        {-(1.0f + 0x1p-8f), 0xBF81},
        {1.0f + 0x1p-9f, 0x3F80},
        {-1.0f, 0xBF80},
        {INFINITY, 0x7F80},
        {3.4e38f, 0x7F80}, // rounds beyond the largest bfloat16
    };
    for (case_t const& c : bf16_cases)
        EXPECT_EQ(c.expected, f32_to_bf16(c.value)) << c.value;
    for (std::uint32_t bits : {0x7F800001u, 0x7FFF8000u, 0xFFFFFFFFu, 0x7FC00000u})
        EXPECT_TRUE(std::isnan(bf16_to_f32(f32_to_bf16(f32_from_bits(bits))))) << std::hex << bits;
}

TEST(HalfConversions, EveryFiniteHalfRoundTrips) {
    for (std::uint32_t half = 0; half != 0x10000; ++half) {
        if ((half & 0x7C00) == 0x7C00)
            continue;
        ASSERT_EQ(half, f32_to_f16(f16_to_f32(static_cast<std::uint16_t>(half)))) << std::hex << half;
    }
}

TEST(HalfConversions, ExportedFunctionsTakeValueThenDestination) {
    vexlane_f16_t half = 0;
    vexlane_f32_to_f16(1.5f, &half);
    EXPECT_EQ(0x3E00, half);
    EXPECT_EQ(1.5f, vexlane_f16_to_f32(&half));
    vexlane_bf16_t brain = 0;
    vexlane_f32_to_bf16(-2.0f, &brain);
    EXPECT_EQ(0xC000, brain);
    EXPECT_EQ(-2.0f, vexlane_bf16_to_f32(&brain));
}

TEST(Approximations, RsqrtSqrtAndLog) {
    EXPECT_NEAR(1.0f, approx_rsqrt(1.0f), 1e-3f);
    EXPECT_NEAR(0.5f, approx_rsqrt(4.0f), 0.5e-3f);
    EXPECT_EQ(0.0f, approx_sqrt(0.0f));
    EXPECT_NEAR(5.0f, approx_sqrt(25.0f), 5e-3f);
    EXPECT_EQ(0.0f, approx_log(1.0f));
    EXPECT_NEAR(1.0f - 0.5f + 1.0f / 3.0f, approx_log(2.0f), 1e-6f);

    EXPECT_EQ(3.0, kernel_sqrt<math_mode_t::math_library>(9.0));
    EXPECT_NEAR(3.0, kernel_sqrt<math_mode_t::approximate>(9.0), 3e-3);
    EXPECT_EQ(std::log(2.0), kernel_log<math_mode_t::math_library>(2.0));
}

TEST(Capabilities, ComposedFromCpuidBits) {
    constexpr std::uint32_t fma = 1u << 12, f16c = 1u << 29, avx2 = 1u << 5, avx512f = 1u << 16, ifma = 1u << 21;
    constexpr std::uint32_t vbmi2 = 1u << 6, vnni = 1u << 11, bitalg = 1u << 12, vpopcntdq = 1u << 14;
    constexpr std::uint32_t vp2intersect = 1u << 8, fp16 = 1u << 23, bf16 = 1u << 5;
    struct case_t {
        char const* name;
        cpuid_registers_t registers;
        vexlane_capability_t expected;
    };
    case_t const cases[] = {
        {"nothing", {}, 0x1},
        {"haswell", {fma | f16c, avx2, 0, 0, 0}, 0x401},
        {"no f16c", {fma, avx2, 0, 0, 0}, 0x1},
        {"no fma", {f16c, avx2, 0, 0, 0}, 0x1},
        {"no avx2", {fma | f16c, 0, 0, 0, 0}, 0x1},
        {"avx512f alone", {0, avx512f, 0, 0, 0}, 0x801},
        {"ice", {fma | f16c, avx2 | avx512f | ifma, vbmi2 | vnni | bitalg | vpopcntdq, 0, 0}, 0x1C01},
        {"vnni without ifma", {fma | f16c, avx2 | avx512f, vbmi2 | vnni | bitalg | vpopcntdq, 0, 0}, 0xC01},
        {"ice without bitalg", {0, avx512f | ifma, vbmi2 | vnni | vpopcntdq, 0, 0}, 0x801},
        {"genoa", {0, 0, 0, 0, bf16}, 0x2001},
        {"sapphire", {0, 0, 0, fp16, 0}, 0x4001},
        {"turin", {0, 0, 0, vp2intersect, bf16}, 0xA001},
        {"vp2intersect alone", {0, 0, 0, vp2intersect, 0}, 0x1},
    };
    for (case_t const& c : cases)
        EXPECT_EQ(c.expected, compose_capabilities(c.registers)) << c.name;
}

TEST(Capabilities, CachedWordAndQueries) {
    vexlane_capability_t const word = vexlane_capabilities();
    EXPECT_EQ(word, vexlane_capabilities());
    EXPECT_EQ(detect_capabilities(), word);
    EXPECT_TRUE(word & vexlane_cap_serial);
    EXPECT_EQ(0u, word & 0xFFF00000u) << "no Arm family on x86-64";
    EXPECT_EQ((word & vexlane_cap_haswell) != 0, vexlane_uses_haswell() == 1);
    EXPECT_EQ((word & vexlane_cap_skylake) != 0, vexlane_uses_skylake() == 1);
    EXPECT_EQ(0, vexlane_uses_neon());
    EXPECT_EQ(0, vexlane_uses_sve_i8());
    EXPECT_EQ(0, vexlane_uses_sierra());
    EXPECT_EQ(1, vexlane_uses_dynamic_dispatch());
}

TEST(Capabilities, NameTables) {
    std::size_t count = 0;
    vexlane_named_value_t const* names = vexlane_capability_names(&count);
    ASSERT_EQ(18u, count);
    std::string listed;
    for (std::size_t i = 0; i != count; ++i)
        listed += std::string(names[i].name) + "=" + std::to_string(names[i].value) + " ";
    EXPECT_EQ("serial=1 haswell=1024 skylake=2048 ice=4096 genoa=8192 sapphire=16384 turin=32768 sierra=65536 "
              "neon=1048576 neon_i8=8388608 neon_f16=2097152 neon_bf16=4194304 sve=16777216 sve_i8=134217728 "
              "sve_f16=33554432 sve_bf16=67108864 sve2=268435456 sve2p1=536870912 ",
              listed);

    vexlane_named_value_t const* compiled = vexlane_compiled_capabilities(&count);
    ASSERT_EQ(17u, count);
    std::string built;
    for (std::size_t i = 0; i != count; ++i)
        if (compiled[i].value)
            built += std::string(compiled[i].name) + " ";
    EXPECT_EQ("serial haswell ", built);
    EXPECT_STREQ("sve2", compiled[16].name);

    struct case_t {
        vexlane_capability_t capability;
        char const* name;
    };
    case_t const cases[] = {
        {0x1, "serial"},       {0x400, "haswell"},    {0x800, "skylake"},    {0x1000, "ice"},
        {0x2000, "genoa"},     {0x4000, "sapphire"},  {0x100000, "neon"},    {0x200000, "neon_f16"},
        {0x400000, "neon_bf16"}, {0x800000, "neon_i8"}, {0x1000000, "sve"},  {0x2000000, "sve_f16"},
        {0x4000000, "sve_bf16"}, {0x8000000, "sve_i8"}, {0x8000, "unknown"}, {0x10000, "unknown"},
        {0x10000000, "unknown"}, {0x20000000, "unknown"}, {0x401, "unknown"}, {0, "unknown"},
    };
    for (case_t const& c : cases)
        EXPECT_STREQ(c.name, vexlane_capability_name(c.capability)) << std::hex << c.capability;
}

TEST(Capabilities, FlushDenormalsAffectsOnlyTheCallingThread) {
    volatile float const tiny = 1e-20f;
    float flushed = -1, kept = -1;
    std::thread([&] {
        EXPECT_EQ(1, vexlane_flush_denormals());
        flushed = tiny * tiny;
    }).join();
    std::thread([&] { kept = tiny * tiny; }).join();
    EXPECT_EQ(0.0f, flushed);
    EXPECT_GT(kept, 0.0f);
}

TEST(Lookup, Outcomes) {
    struct case_t {
        char const* name;
        vexlane_metric_kind_t kind;
        vexlane_datatype_t datatype;
        vexlane_capability_t supported, allowed;
        vexlane_capability_t expected_capability; // 0xFFFF: nothing stored
        bool expect_kernel;
    };
    constexpr vexlane_capability_t untouched = 0xFFFF;
    case_t const cases[] = {
        {"haswell f32 dot", 'i', 2048, 0x401, 0x7FFFFFFF, 0x400, true},
        {"serial allowed only", 'i', 2048, 0x401, 0x1, 0x1, true},
        {"no haswell f64 dot", 'i', 1024, 0x401, 0x7FFFFFFF, 0x1, true},
        {"serial-only kind without serial bit", 'x', 128, 0x400, 0x7FFFFFFF, untouched, false},
        {"unknown datatype", 'i', 3, 0x401, 0x7FFFFFFF, 0, false},
        {"unknown kind", 'z', 2048, 0x401, 0x7FFFFFFF, untouched, false},
        {"kind without this datatype", 'v', 2048, 0x401, 0x7FFFFFFF, untouched, false},
        {"other bits are ignored", 'c', 1024, 0x801, 0x7FFFFFFF, 0x1, true},
        {"nothing viable", 'i', 2048, 0x401, 0x800, untouched, false},
    };
    auto sentinel = reinterpret_cast<vexlane_kernel_punned_t>(&vexlane_capabilities);
    for (case_t const& c : cases) {
        vexlane_kernel_punned_t kernel = sentinel;
        vexlane_capability_t capability = untouched;
        vexlane_find_kernel_punned(c.kind, c.datatype, c.supported, c.allowed, &kernel, &capability);
        EXPECT_EQ(c.expected_capability, capability) << c.name;
        if (c.expect_kernel)
            EXPECT_TRUE(kernel != nullptr && kernel != sentinel) << c.name;
        else if (c.expected_capability == untouched)
            EXPECT_EQ(sentinel, kernel) << c.name << ": nothing may be stored";
        else
            EXPECT_EQ(nullptr, kernel) << c.name;
    }

    // The exported lookup hands out the approximate serial build; the metric layer's the math-library one.
    vexlane_kernel_punned_t exported = nullptr, approximate = nullptr, math_library = nullptr;
    vexlane_capability_t capability = 0;
    vexlane_find_kernel_punned('2', 2048, 0x1, 0x7FFFFFFF, &exported, &capability);
    find_kernel(math_mode_t::approximate, '2', 2048, 0x1, 0x7FFFFFFF, &approximate, &capability);
    find_kernel(math_mode_t::math_library, '2', 2048, 0x1, 0x7FFFFFFF, &math_library, &capability);
    EXPECT_EQ(approximate, exported);
    EXPECT_NE(approximate, math_library);
}

TEST(EntryPoints, ForwardToTheResolvedKernel) {
    double result = -1;
    float const a[] = {1, 2, 3}, b[] = {4, 5, 6};
    vexlane_dot_f32(a, b, 0, &result);
    EXPECT_EQ(0.0, result) << "an empty dot is 0, not the missing-kernel NaN";
    vexlane_dot_f32(a, b, 3, &result);
    EXPECT_EQ(32.0, result);
    vexlane_l2sq_f32(a, b, 3, &result);
    EXPECT_EQ(27.0, result);

    double complex_result[2] = {-1, -1};
    double const x[] = {1, 2}, y[] = {3, 4};
    vexlane_bilinear_f64c(x, y, x, 0, complex_result);
    EXPECT_FALSE(std::isnan(complex_result[0])) << "the unprimed complex bilinear entry points resolve on use";

    std::int8_t const p[] = {100, -100}, q[] = {100, -100};
    std::int8_t sum[2] = {};
    vexlane_wsum_i8(p, q, 2, 1.0, 1.0, sum);
    EXPECT_EQ(127, sum[0]);
    EXPECT_EQ(-128, sum[1]);

    // A missing kernel is reported as a NaN a caller can recognise.
    EXPECT_TRUE(std::isnan(double_from_bits(VEXLANE_MISSING_KERNEL_BITS)));
}

TEST(DenseKernels, EmptyInputsStoreZero) {
    for (vexlane_metric_kind_t kind : {vexlane_metric_dot, vexlane_metric_cos, vexlane_metric_l2sq, vexlane_metric_l2})
        for (vexlane_datatype_t datatype : {vexlane_datatype_i8, vexlane_datatype_u8, vexlane_datatype_f16,
                                            vexlane_datatype_bf16, vexlane_datatype_f32, vexlane_datatype_f64})
            for (implementation_t const& implementation : implementations(kind, datatype)) {
                double result = -1;
                implementation.kernel(nullptr, nullptr, 0, &result);
                EXPECT_EQ(0.0, result) << char(kind) << " " << datatype << " " << implementation.name;
            }
    for (vexlane_metric_kind_t kind : {vexlane_metric_dot, vexlane_metric_vdot})
        for (vexlane_datatype_t datatype :
             {vexlane_datatype_f16c, vexlane_datatype_bf16c, vexlane_datatype_f32c, vexlane_datatype_f64c})
            for (implementation_t const& implementation : implementations(kind, datatype)) {
                double result[2] = {-1, -1};
                implementation.kernel(nullptr, nullptr, 0, result);
                EXPECT_EQ(0.0, result[0]) << implementation.name;
                EXPECT_EQ(0.0, result[1]) << implementation.name;
            }
}

TEST(DenseKernels, ComplexSigns) {
    // (1 + 2i)(3 + 4i) = -5 + 10i; conj(1 + 2i)(3 + 4i) = 11 - 2i. Nine pairs put the case both in a full
    // block and in the remainder of the haswell kernels.
    struct case_t {
        vexlane_datatype_t datatype;
        std::vector<std::uint8_t> a, b;
    };
    auto repeat = [](auto first, auto second) {
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i != 9; ++i)
            for (auto value : {first, second}) {
                auto const* raw = reinterpret_cast<std::uint8_t const*>(&value);
                bytes.insert(bytes.end(), raw, raw + sizeof value);
            }
        return bytes;
    };
    case_t const cases[] = {
        {vexlane_datatype_f64c, repeat(1.0, 2.0), repeat(3.0, 4.0)},
        {vexlane_datatype_f32c, repeat(1.0f, 2.0f), repeat(3.0f, 4.0f)},
        {vexlane_datatype_f16c, repeat(f32_to_f16(1), f32_to_f16(2)), repeat(f32_to_f16(3), f32_to_f16(4))},
        {vexlane_datatype_bf16c, repeat(f32_to_bf16(1), f32_to_bf16(2)), repeat(f32_to_bf16(3), f32_to_bf16(4))},
    };
    for (case_t const& c : cases)
        for (std::uint64_t n : {1u, 9u}) {
            double const scale = static_cast<double>(n);
            for (implementation_t const& dot : implementations(vexlane_metric_dot, c.datatype)) {
                double result[2];
                dot.kernel(c.a.data(), c.b.data(), n, result);
                EXPECT_EQ(-5 * scale, result[0]) << dot.name << " " << c.datatype;
                EXPECT_EQ(10 * scale, result[1]) << dot.name << " " << c.datatype;
            }
            for (implementation_t const& vdot : implementations(vexlane_metric_vdot, c.datatype)) {
                double result[2];
                vdot.kernel(c.a.data(), c.b.data(), n, result);
                EXPECT_EQ(11 * scale, result[0]) << vdot.name << " " << c.datatype;
                EXPECT_EQ(-2 * scale, result[1]) << vdot.name << " " << c.datatype;
            }
        }
}

TEST(DenseKernels, IntegerSumsStayExact) {
    // 32 pairs of (-128, -128) fill exactly one haswell block.
    std::vector<std::int8_t> const lowest(32, -128);
    for (implementation_t const& dot : implementations(vexlane_metric_dot, vexlane_datatype_i8)) {
        double result;
        dot.kernel(lowest.data(), lowest.data(), lowest.size(), &result);
        EXPECT_EQ(524288.0, result) << dot.name;
    }

    // Lengths whose squared differences overflow a 32-bit sum, two of them beyond the haswell kernels'
    // flush interval (8192 blocks of 32), with remainders: 262160 ends on a half block right after a full
    // interval, 300007 on 7 single elements.
    for (std::size_t n : {std::size_t{33}, std::size_t{40000}, std::size_t{262160}, std::size_t{300007}}) {
        std::vector<std::uint8_t> const full(n, 255), empty(n, 0);
        double const expected = 65025.0 * static_cast<double>(n);
        for (implementation_t const& l2sq : implementations(vexlane_metric_l2sq, vexlane_datatype_u8)) {
            double result;
            l2sq.kernel(full.data(), empty.data(), n, &result);
            EXPECT_EQ(expected, result) << l2sq.name << " n=" << n;
        }
        for (implementation_t const& dot : implementations(vexlane_metric_dot, vexlane_datatype_u8)) {
            double result;
            dot.kernel(full.data(), full.data(), n, &result);
            EXPECT_EQ(expected, result) << dot.name << " n=" << n;
        }
        std::vector<std::int8_t> const high(n, 127), low(n, -128);
        for (implementation_t const& l2sq : implementations(vexlane_metric_l2sq, vexlane_datatype_i8)) {
            double result;
            l2sq.kernel(high.data(), low.data(), n, &result);
            EXPECT_EQ(65025.0 * static_cast<double>(n), result) << l2sq.name << " n=" << n;
        }
        for (implementation_t const& cos : implementations(vexlane_metric_cos, vexlane_datatype_i8)) {
            double result;
            cos.kernel(high.data(), low.data(), n, &result);
            EXPECT_NEAR(2.0, result, 3e-3) << cos.name << " n=" << n;
        }
    }
}

TEST(DenseKernels, CosineSpecialCases) {
    struct case_t {
        char const* name;
        std::vector<double> a, b;
        double expected, tolerance;
    };
    std::vector<double> ramp(19), opposite(19), zeros(19, 0.0);
    for (std::size_t i = 0; i != ramp.size(); ++i) {
        ramp[i] = static_cast<double>(i % 7) - 2.0;
        opposite[i] = -ramp[i];
    }
    std::vector<double> orthogonal_a(19, 0.0), orthogonal_b(19, 0.0);
    orthogonal_a[3] = 1;
    orthogonal_b[17] = 2;
    case_t const cases[] = {
        {"zero against non-zero", zeros, ramp, 1.0, 0.0},
        {"zero against zero", zeros, zeros, 0.0, 0.0},
        {"orthogonal", orthogonal_a, orthogonal_b, 1.0, 0.0},
        {"itself", ramp, ramp, 0.0, 3e-3},
        {"opposite, not clamped from above", ramp, opposite, 2.0, 3e-3},
    };
    for (vexlane_datatype_t datatype : {vexlane_datatype_i8, vexlane_datatype_f16, vexlane_datatype_bf16,
                                        vexlane_datatype_f32, vexlane_datatype_f64})
        for (implementation_t const& cos : implementations(vexlane_metric_cos, datatype))
            for (case_t const& c : cases) {
                std::vector<std::uint8_t> a(c.a.size() * 8), b(c.b.size() * 8);
                for (std::size_t i = 0; i != c.a.size(); ++i) {
                    switch (datatype) {
                    case vexlane_datatype_i8:
                        reinterpret_cast<std::int8_t*>(a.data())[i] = static_cast<std::int8_t>(c.a[i]);
                        reinterpret_cast<std::int8_t*>(b.data())[i] = static_cast<std::int8_t>(c.b[i]);
                        break;
                    case vexlane_datatype_f16:
                        reinterpret_cast<std::uint16_t*>(a.data())[i] = f32_to_f16(static_cast<float>(c.a[i]));
                        reinterpret_cast<std::uint16_t*>(b.data())[i] = f32_to_f16(static_cast<float>(c.b[i]));
                        break;
                    case vexlane_datatype_bf16:
                        reinterpret_cast<std::uint16_t*>(a.data())[i] = f32_to_bf16(static_cast<float>(c.a[i]));
                        reinterpret_cast<std::uint16_t*>(b.data())[i] = f32_to_bf16(static_cast<float>(c.b[i]));
                        break;
                    case vexlane_datatype_f32:
                        reinterpret_cast<float*>(a.data())[i] = static_cast<float>(c.a[i]);
                        reinterpret_cast<float*>(b.data())[i] = static_cast<float>(c.b[i]);
                        break;
                    default:
                        reinterpret_cast<double*>(a.data())[i] = c.a[i];
                        reinterpret_cast<double*>(b.data())[i] = c.b[i];
                    }
                }
                double result = -1;
                cos.kernel(a.data(), b.data(), c.a.size(), &result);
                EXPECT_NEAR(c.expected, result, c.tolerance) << c.name << ", " << cos.name << " " << datatype;
                EXPECT_GE(result, 0.0) << c.name << ", " << cos.name << " " << datatype;
            }
}

TEST(DenseKernels, CosineNaNBecomesZero) {
    float const a[] = {NAN, 1, 2}, b[] = {1, 1, 2};
    for (implementation_t const& cos : implementations(vexlane_metric_cos, vexlane_datatype_f32)) {
        double result = -1;
        cos.kernel(a, b, 3, &result);
        EXPECT_EQ(0.0, result) << cos.name;
    }
}

TEST(DenseKernels, DoubleCosineKeepsTheDoubleRange) {
    // Norms far outside the float range: the distance must not collapse to 1 (or blow up) on the way.
    for (double scale : {1e-30, 1e30}) {
        double const a[] = {3 * scale, 4 * scale, 0, scale, 2 * scale};
        double const b[] = {3 * scale, 4 * scale, 0, scale, 2 * scale};
        double const c[] = {-3 * scale, -4 * scale, 0, -scale, -2 * scale};
        for (implementation_t const& cos : implementations(vexlane_metric_cos, vexlane_datatype_f64)) {
            double result = -1;
            cos.kernel(a, b, 5, &result);
            EXPECT_NEAR(0.0, result, 1e-9) << cos.name << " scale " << scale;
            cos.kernel(a, c, 5, &result);
            EXPECT_NEAR(2.0, result, 1e-9) << cos.name << " scale " << scale;
        }
        for (implementation_t const& l2 : implementations(vexlane_metric_l2, vexlane_datatype_f64)) {
            double const zero[5] = {};
            double result = -1;
            l2.kernel(a, zero, 5, &result);
            EXPECT_NEAR(std::sqrt(30.0) * scale, result, 1e-12 * scale) << l2.name << " scale " << scale;
        }
    }
}

TEST(DenseKernels, EuclideanOfThreeFour) {
    float const a[] = {3, 4}, zero[] = {0, 0};
    for (implementation_t const& l2 : implementations(vexlane_metric_l2, vexlane_datatype_f32)) {
        double result = -1;
        l2.kernel(a, zero, 2, &result);
        if (l2.name == "serial approximate")
            EXPECT_NEAR(5.0, result, 5e-3) << l2.name;
        else
            EXPECT_EQ(5.0, result) << l2.name;
    }
}

TEST(DenseKernels, HalfInfinitiesAgreeAcrossImplementations) {
    // A half infinity is an infinity in every implementation (the F16C widening of the haswell kernels and
    // the scalar widening of the serial ones agree).
    std::uint16_t a[9], b[9];
    for (int i = 0; i != 9; ++i)
        a[i] = b[i] = f32_to_f16(1.0f);
    for (int position : {2, 8}) { // in a full block and in the remainder
        a[position] = 0x7C00;
        for (implementation_t const& dot : implementations(vexlane_metric_dot, vexlane_datatype_f16)) {
            double result = 0;
            dot.kernel(a, b, 9, &result);
            EXPECT_EQ(INFINITY, result) << dot.name << " at " << position;
        }
        a[position] = f32_to_f16(1.0f);
    }
}

} // namespace
