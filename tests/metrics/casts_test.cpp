#include "metrics/casts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace vemo::korvane;

namespace {

constexpr unsigned char guard_byte = 0xA5;
constexpr std::size_t guard_bytes = 16;

/// An output buffer of exactly `bytes` followed by guard bytes that a conversion must not touch.
struct guarded_buffer_t {
    std::vector<std::byte> storage;
    std::size_t bytes;

    explicit guarded_buffer_t(std::size_t bytes, unsigned char fill = guard_byte)
        : storage(bytes + guard_bytes, std::byte{guard_byte}), bytes(bytes) {
        std::memset(storage.data(), fill, bytes);
    }
    std::byte* data() { return storage.data(); }
    bool guard_intact() const {
        for (std::size_t i = bytes; i != storage.size(); ++i)
            if (storage[i] != std::byte{guard_byte})
                return false;
        return true;
    }
    template <typename scalar_at> scalar_at at(std::size_t index) const {
        return load_unaligned<scalar_at>(storage.data() + index * sizeof(scalar_at));
    }
};

template <typename scalar_at> std::uint64_t bits_at(guarded_buffer_t const& buffer, std::size_t index) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, buffer.storage.data() + index * sizeof(scalar_at), sizeof(scalar_at));
    return bits;
}

struct element_case_t {
    char const* what;
    cast_punned_t cast;
    std::size_t from_size;
    std::size_t to_size;
    std::uint64_t from_bits;
    std::uint64_t to_bits;
};

template <typename from_at, typename to_at>
element_case_t element(char const* what, std::uint64_t from_bits, std::uint64_t to_bits) {
    return {what, &cast_gt<from_at, to_at>::try_, sizeof(from_at), sizeof(to_at), from_bits, to_bits};
}

/// A test-side view of one vector kind: its scalar kind, how to store a double into it and read it back.
struct kind_view_t {
    scalar_kind_t kind;
    double precision; // relative half-unit of the last place; 0 for exact kinds
    void (*encode)(std::byte* vector, std::size_t index, double value);
    double (*decode)(std::byte const* vector, std::size_t index);
};

template <typename scalar_at> void store_element(std::byte* vector, std::size_t index, scalar_at value) {
    std::memcpy(vector + index * sizeof(scalar_at), &value, sizeof(scalar_at));
}
template <typename scalar_at> scalar_at load_element(std::byte const* vector, std::size_t index) {
    return load_unaligned<scalar_at>(vector + index * sizeof(scalar_at));
}

kind_view_t const kind_views[] = {
    {scalar_kind_t::b1x8, 0,
     [](std::byte* v, std::size_t i, double x) {
         if (x > 0)
             v[i / 8] |= std::byte(0x80u >> (i % 8));
     },
     [](std::byte const* v, std::size_t i) {
         return double((std::to_integer<unsigned>(v[i / 8]) >> (7 - i % 8)) & 1);
     }},
    {scalar_kind_t::i8, 0, [](std::byte* v, std::size_t i, double x) { store_element(v, i, (signed char)(x)); },
     [](std::byte const* v, std::size_t i) { return double(load_element<signed char>(v, i)); }},
    {scalar_kind_t::f16, 0x1p-11,
     [](std::byte* v, std::size_t i, double x) { store_element(v, i, float_to_f16(float(x))); },
     [](std::byte const* v, std::size_t i) { return double(f16_to_float(load_element<f16_bits_t>(v, i))); }},
    {scalar_kind_t::bf16, 0x1p-8,
     [](std::byte* v, std::size_t i, double x) { store_element(v, i, float_to_bf16(float(x))); },
     [](std::byte const* v, std::size_t i) { return double(bf16_to_float(load_element<bf16_bits_t>(v, i))); }},
    {scalar_kind_t::f32, 0x1p-24, [](std::byte* v, std::size_t i, double x) { store_element(v, i, float(x)); },
     [](std::byte const* v, std::size_t i) { return double(load_element<float>(v, i)); }},
    {scalar_kind_t::f64, 0, [](std::byte* v, std::size_t i, double x) { store_element(v, i, x); },
     [](std::byte const* v, std::size_t i) { return load_element<double>(v, i); }},
};

cast_punned_t import_of(casts_punned_t const& casts, scalar_kind_t caller) {
    switch (caller) {
    case scalar_kind_t::b1x8: return casts.import_b1x8;
    case scalar_kind_t::i8: return casts.import_i8;
    case scalar_kind_t::f16: return casts.import_f16;
    case scalar_kind_t::bf16: return casts.import_bf16;
    case scalar_kind_t::f32: return casts.import_f32;
    default: return casts.import_f64;
    }
}

cast_punned_t export_of(casts_punned_t const& casts, scalar_kind_t caller) {
    switch (caller) {
    case scalar_kind_t::b1x8: return casts.export_b1x8;
    case scalar_kind_t::i8: return casts.export_i8;
    case scalar_kind_t::f16: return casts.export_f16;
    case scalar_kind_t::bf16: return casts.export_bf16;
    case scalar_kind_t::f32: return casts.export_f32;
    default: return casts.export_f64;
    }
}

bool is_floating(scalar_kind_t kind) { return kind != scalar_kind_t::b1x8 && kind != scalar_kind_t::i8; }

} // namespace

TEST(Casts, ElementRoundingAndSpecialValuesInBlockAndTailPositions) {
    element_case_t const cases[] = {
        element<float, bf16_bits_t>("1 to bf16", 0x3F800000, 0x3F80),
        element<float, bf16_bits_t>("1 + 2^-8 (tie, away from zero)", 0x3F808000, 0x3F81),
        element<float, bf16_bits_t>("just below the tie", 0x3F807FFF, 0x3F80),
        element<float, bf16_bits_t>("-1", 0xBF800000, 0xBF80),
        element<float, bf16_bits_t>("largest float overflows", 0x7F7FFFFF, 0x7F80),
        element<float, bf16_bits_t>("quiet NaN", 0x7FC00000, 0x7FC0),
        element<float, f16_bits_t>("65504", 0x477FE000, 0x7BFF),
        element<float, f16_bits_t>("65519", 0x477FEF00, 0x7BFF),
        element<float, f16_bits_t>("65520 overflows", 0x477FF000, 0x7C00),
        element<float, f16_bits_t>("1e10", 0x501502F9, 0x7C00),
        element<float, f16_bits_t>("-1e10", 0xD01502F9, 0xFC00),
        element<float, f16_bits_t>("+infinity", 0x7F800000, 0x7C00),
        element<float, f16_bits_t>("-0", 0x80000000, 0x8000),
        element<float, f16_bits_t>("1 + 2^-11 (tie to even, down)", 0x3F801000, 0x3C00),
        element<float, f16_bits_t>("1 + 3 * 2^-11 (tie to even, up)", 0x3F803000, 0x3C02),
        element<float, f16_bits_t>("2^-14, smallest normal", 0x38800000, 0x0400),
        element<float, f16_bits_t>("2^-24, smallest subnormal", 0x33800000, 0x0001),
        element<float, f16_bits_t>("2^-25 (tie to even, zero)", 0x33000000, 0x0000),
        element<float, f16_bits_t>("3 * 2^-25 (tie to even, two)", 0x33C00000, 0x0002),
        element<float, f16_bits_t>("float subnormal", 0x00000001, 0x0000),
        element<float, f16_bits_t>("negative quiet NaN", 0xFFC00000, 0xFE00),
        element<float, f16_bits_t>("signalling NaN with payload", 0x7F800001, 0x7E00),
        element<f16_bits_t, float>("2^-24", 0x0001, 0x33800000),
        element<f16_bits_t, float>("largest subnormal", 0x03FF, 0x387FC000),
        element<f16_bits_t, float>("infinity", 0x7C00, 0x7F800000),
        element<f16_bits_t, float>("-infinity", 0xFC00, 0xFF800000),
        element<f16_bits_t, float>("-0", 0x8000, 0x80000000),
        element<f16_bits_t, float>("1", 0x3C00, 0x3F800000),
        element<f16_bits_t, double>("2^-24 to double", 0x0001, 0x3E70000000000000),
        element<bf16_bits_t, float>("bf16 widening", 0x3F81, 0x3F810000),
        element<bf16_bits_t, double>("bf16 to double", 0xBF80, 0xBFF0000000000000),
        element<double, float>("1 + 2^-24 (tie to even, down)", 0x3FF0000010000000, 0x3F800000),
        element<double, float>("1 + 3 * 2^-24 (tie to even, up)", 0x3FF0000030000000, 0x3F800002),
        element<float, double>("float to double", 0x3F810000, 0x3FF0200000000000),
        element<double, f16_bits_t>("65519.999 rounds to 65520 in float first", 0x40EFFDFFF7CED917, 0x7C00),
        element<double, bf16_bits_t>("1 to bf16", 0x3FF0000000000000, 0x3F80),
        element<bf16_bits_t, f16_bits_t>("65536 overflows f16", 0x4780, 0x7C00),
        element<bf16_bits_t, f16_bits_t>("1", 0x3F80, 0x3C00),
        element<f16_bits_t, bf16_bits_t>("1 + 2^-10 rounds to 1", 0x3C01, 0x3F80),
    };
    std::size_t const dimensions = 9; // eight in a block, one in the element-by-element tail
    for (element_case_t const& c : cases) {
        std::vector<std::byte> input(dimensions * c.from_size);
        for (std::size_t i = 0; i != dimensions; ++i)
            std::memcpy(input.data() + i * c.from_size, &c.from_bits, c.from_size);
        guarded_buffer_t output(dimensions * c.to_size);
        ASSERT_TRUE(c.cast(input.data(), dimensions, output.data())) << c.what;
        for (std::size_t i = 0; i != dimensions; ++i) {
            std::uint64_t got = 0;
            std::memcpy(&got, output.data() + i * c.to_size, c.to_size);
            EXPECT_EQ(got, c.to_bits) << c.what << " at " << i << std::hex << ": 0x" << got;
        }
        EXPECT_TRUE(output.guard_intact()) << c.what;
    }
}

TEST(Casts, BlockNarrowingToF16AgreesWithTheElementRuleOnRandomPatterns) {
    std::mt19937 rng(1);
    std::size_t const dimensions = 4096 + 5;
    std::vector<float> input(dimensions);
    for (float& value : input)
        value = float_from_bits(std::uint32_t(rng()));
    guarded_buffer_t output(dimensions * 2);
    cast_gt<float, f16_bits_t>::try_(reinterpret_cast<std::byte const*>(input.data()), dimensions, output.data());
    for (std::size_t i = 0; i != dimensions; ++i)
        ASSERT_EQ(output.at<f16_bits_t>(i).bits, float_to_f16(input[i]).bits) << std::hex << float_bits(input[i]);
    // And the block widening agrees with the element widening for every half that is not a NaN.
    std::vector<f16_bits_t> halves(65536);
    for (std::size_t i = 0; i != halves.size(); ++i)
        halves[i].bits = std::uint16_t(i);
    guarded_buffer_t widened(halves.size() * 4);
    cast_gt<f16_bits_t, float>::try_(reinterpret_cast<std::byte const*>(halves.data()), halves.size(),
                                     widened.data());
    for (std::size_t i = 0; i != halves.size(); ++i) {
        float const expected = f16_to_float(halves[i]);
        if (std::isnan(expected))
            ASSERT_TRUE(std::isnan(widened.at<float>(i))) << std::hex << i;
        else
            ASSERT_EQ(float_bits(widened.at<float>(i)), float_bits(expected)) << std::hex << i;
    }
}

TEST(Casts, QuantisationToI8) {
    double const nan = std::numeric_limits<double>::quiet_NaN();
    double const infinity = std::numeric_limits<double>::infinity();
    struct case_t {
        char const* what;
        std::vector<double> input;
        std::vector<int> expected;
        bool double_only;
    } const cases[] = {
        {"3-4-5 triangle", {3, 4}, {76, 101}, false},
        {"sixteen-wide blocks and a tail", {3, -4, 3, -4, 3, -4, 3, -4, 3, -4, 3, -4, 3, -4, 3, -4, 0, 3},
         {26, -35, 26, -35, 26, -35, 26, -35, 26, -35, 26, -35, 26, -35, 26, -35, 0, 26}, false},
        {"axis", {1, 0, 0}, {127, 0, 0}, false},
        {"negative axis", {-2, 0}, {-127, 0}, false},
        // The scale 127 / norm times the largest component lands a hair below 127, which truncates.
        {"small components vanish", {1e4, 1e-3, -1e-3}, {126, 0, 0}, false},
        {"zero vector", {0, 0, 0}, {0, 0, 0}, false},
        {"negative zeros", {-0.0, -0.0}, {0, 0}, false},
        {"NaN component", {nan, 1, 2}, {0, 0, 0}, false},
        {"infinite component", {infinity, 1}, {0, 0}, false},
        {"negative infinite component", {3, -infinity}, {0, 0}, false},
        {"empty", {}, {}, false},
        {"squares overflow double", {1e200, -1e200}, {89, -89}, true},
        {"largest doubles", {std::numeric_limits<double>::max(), std::numeric_limits<double>::max()}, {89, 89}, true},
        {"squares underflow double", {1e-200, 0, -1e-200}, {89, 0, -89}, true},
        {"subnormal double", {4.9e-324, 0}, {127, 0}, true},
    };
    for (case_t const& c : cases)
        for (kind_view_t const& source : kind_views) {
            if (!is_floating(source.kind) || (c.double_only && source.kind != scalar_kind_t::f64))
                continue;
            std::size_t const n = c.input.size();
            std::vector<std::byte> input(bytes_per_vector(n, source.kind));
            for (std::size_t i = 0; i != n; ++i)
                source.encode(input.data(), i, c.input[i]);
            guarded_buffer_t output(n, 0x55);
            casts_punned_t const casts = casts_punned_t::make(source.kind);
            ASSERT_TRUE(casts.export_i8(input.data(), n, output.data()));
            for (std::size_t i = 0; i != n; ++i)
                EXPECT_EQ(int(output.at<signed char>(i)), c.expected[i])
                    << c.what << " from " << scalar_kind_name(source.kind) << " at " << i;
            EXPECT_TRUE(output.guard_intact()) << c.what;
        }
}

TEST(Casts, DequantisationFromI8) {
    EXPECT_EQ(float_bits(1.0f / 127.0f), 0x3C010204u);
    std::vector<signed char> const stored = {76, 101, -127, 0, 1};
    std::byte const* input = reinterpret_cast<std::byte const*>(stored.data());
    casts_punned_t const from_floats = casts_punned_t::make(scalar_kind_t::f32);
    casts_punned_t const from_i8 = casts_punned_t::make(scalar_kind_t::i8);
    guarded_buffer_t to_float(5 * 4), to_double(5 * 8), to_half(5 * 2), to_brain(5 * 2);
    ASSERT_TRUE(from_i8.export_f32(input, 5, to_float.data()));
    ASSERT_TRUE(from_i8.export_f64(input, 5, to_double.data()));
    ASSERT_TRUE(from_i8.export_f16(input, 5, to_half.data()));
    ASSERT_TRUE(from_i8.export_bf16(input, 5, to_brain.data()));
    for (std::size_t i = 0; i != stored.size(); ++i) {
        float const expected = float(stored[i]) * float_from_bits(0x3C010204);
        EXPECT_EQ(to_float.at<float>(i), expected);
        EXPECT_EQ(to_double.at<double>(i), stored[i] * (1.0 / 127.0));
        EXPECT_EQ(to_half.at<f16_bits_t>(i).bits, float_to_f16(expected).bits);
        EXPECT_EQ(to_brain.at<bf16_bits_t>(i).bits, float_to_bf16(expected).bits);
    }
    EXPECT_NEAR(to_float.at<float>(0), 0.5984252f, 1e-7);
    EXPECT_NEAR(to_float.at<float>(1), 0.7952756f, 1e-7);
    // The import of an i8 vector into a float index is the same dequantisation.
    guarded_buffer_t imported(5 * 4);
    ASSERT_TRUE(from_floats.import_i8(input, 5, imported.data()));
    EXPECT_EQ(std::memcmp(imported.data(), to_float.data(), 5 * 4), 0);
    EXPECT_TRUE(to_float.guard_intact() && to_double.guard_intact() && to_half.guard_intact() &&
                to_brain.guard_intact() && imported.guard_intact());
}

TEST(Casts, PackingSetsOnlyPositiveScalarsMostSignificantBitFirst) {
    double const nan = std::numeric_limits<double>::quiet_NaN();
    struct case_t {
        char const* what;
        std::vector<double> input;
        std::vector<unsigned> expected;
    } const cases[] = {
        {"nine values", {1, -1, 0, 2, 1, 0, 0, 0, 3}, {0x98, 0x80}},
        {"negative zero and NaN are clear", {-0.0, nan, 1, -1e-3}, {0x20}},
        {"all positive, partial byte", {1, 1, 1}, {0xE0}},
        {"empty", {}, {}},
    };
    for (case_t const& c : cases)
        for (kind_view_t const& source : kind_views) {
            if (source.kind == scalar_kind_t::b1x8)
                continue;
            std::size_t const n = c.input.size();
            std::vector<std::byte> input(bytes_per_vector(n, source.kind));
            for (std::size_t i = 0; i != n; ++i)
                source.encode(input.data(), i, source.kind == scalar_kind_t::i8 && std::isnan(c.input[i]) ? 0
                                                                                                      : c.input[i]);
            guarded_buffer_t output(bytes_per_vector(n, scalar_kind_t::b1x8), 0xFF);
            ASSERT_TRUE(casts_punned_t::make(source.kind).export_b1x8(input.data(), n, output.data()));
            for (std::size_t i = 0; i != c.expected.size(); ++i)
                EXPECT_EQ(std::to_integer<unsigned>(output.data()[i]), c.expected[i])
                    << c.what << " from " << scalar_kind_name(source.kind) << " byte " << i;
            EXPECT_TRUE(output.guard_intact()) << c.what;
        }
    // A positive subnormal is positive.
    f16_bits_t const tiny_half{0x0001};
    std::byte packed{0};
    cast_to_b1x8_gt<f16_bits_t>::try_(reinterpret_cast<std::byte const*>(&tiny_half), 1, &packed);
    EXPECT_EQ(packed, std::byte{0x80});
}

TEST(Casts, UnpackingWritesOnesAndZerosOfTheTargetType) {
    std::byte const packed[2] = {std::byte{0xA5}, std::byte{0x80}};
    unsigned const bits[9] = {1, 0, 1, 0, 0, 1, 0, 1, 1};
    struct case_t {
        cast_punned_t cast;
        std::size_t size;
        std::uint64_t one, zero;
    } const cases[] = {
        {&cast_from_b1x8_gt<double>::try_, 8, 0x3FF0000000000000, 0},
        {&cast_from_b1x8_gt<float>::try_, 4, 0x3F800000, 0},
        {&cast_from_b1x8_gt<f16_bits_t>::try_, 2, 0x3C00, 0},
        {&cast_from_b1x8_gt<bf16_bits_t>::try_, 2, 0x3F80, 0},
        {&cast_from_b1x8_gt<signed char>::try_, 1, 1, 0},
    };
    for (case_t const& c : cases) {
        guarded_buffer_t output(9 * c.size);
        ASSERT_TRUE(c.cast(packed, 9, output.data()));
        for (std::size_t i = 0; i != 9; ++i) {
            std::uint64_t got = 0;
            std::memcpy(&got, output.data() + i * c.size, c.size);
            EXPECT_EQ(got, bits[i] ? c.one : c.zero) << "size " << c.size << " at " << i;
        }
        EXPECT_TRUE(output.guard_intact());
    }
}

TEST(Casts, MakeFillsTablesOnlyForVectorKindsAndChoosesByRule) {
    for (unsigned code = 0; code != 256; ++code) {
        scalar_kind_t const kind = static_cast<scalar_kind_t>(code);
        casts_punned_t const casts = casts_punned_t::make(kind);
        cast_punned_t const fields[12] = {casts.import_b1x8, casts.import_i8,   casts.import_f16, casts.import_bf16,
                                          casts.import_f32,  casts.import_f64,  casts.export_b1x8, casts.export_i8,
                                          casts.export_f16,  casts.export_bf16, casts.export_f32, casts.export_f64};
        bool const vector_kind = kind == scalar_kind_t::b1x8 || kind == scalar_kind_t::i8 ||
                                 kind == scalar_kind_t::f16 || kind == scalar_kind_t::bf16 ||
                                 kind == scalar_kind_t::f32 || kind == scalar_kind_t::f64;
        for (cast_punned_t field : fields)
            EXPECT_EQ(field != nullptr, vector_kind) << code;
    }
    EXPECT_EQ(casts_punned_t::make(scalar_kind_t::f32).import_i8, &cast_from_i8_gt<float>::try_);
    EXPECT_EQ(casts_punned_t::make(scalar_kind_t::f32).export_i8, &cast_to_i8_gt<float>::try_);
    EXPECT_EQ(casts_punned_t::make(scalar_kind_t::b1x8).import_i8, &cast_to_b1x8_gt<signed char>::try_);
    EXPECT_EQ(casts_punned_t::make(scalar_kind_t::i8).import_b1x8, &cast_from_b1x8_gt<signed char>::try_);
}

TEST(Casts, IdentityConversionsReturnFalseAndLeaveTheOutputUntouched) {
    for (kind_view_t const& view : kind_views) {
        casts_punned_t const casts = casts_punned_t::make(view.kind);
        std::vector<std::byte> input(64, std::byte{0x3C});
        for (cast_punned_t cast : {import_of(casts, view.kind), export_of(casts, view.kind)}) {
            guarded_buffer_t output(64, 0x77);
            EXPECT_FALSE(cast(input.data(), 9, output.data())) << scalar_kind_name(view.kind);
            for (std::size_t i = 0; i != 64; ++i)
                ASSERT_EQ(output.data()[i], std::byte{0x77}) << scalar_kind_name(view.kind);
        }
    }
}

TEST(Casts, RoundTripThroughEveryStoredKindForEveryCallerType) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> real(-2, 2);
    std::uniform_int_distribution<int> integer(-127, 127);
    for (kind_view_t const& stored : kind_views) {
        casts_punned_t const casts = casts_punned_t::make(stored.kind);
        for (kind_view_t const& caller : kind_views)
            for (std::size_t n : {1, 7, 8, 9, 17, 33}) {
                SCOPED_TRACE(testing::Message() << "stored " << scalar_kind_name(stored.kind) << ", caller "
                                                << scalar_kind_name(caller.kind) << ", " << n << " dimensions");
                // Inputs are sized exactly, so the sanitizer build traps reads past them.
                std::vector<std::byte> input(bytes_per_vector(n, caller.kind));
                for (std::size_t i = 0; i != n; ++i) {
                    bool const zero = i % 5 == 3;
                    double const value = caller.kind == scalar_kind_t::i8 ? integer(rng) : real(rng);
                    caller.encode(input.data(), i, zero ? 0 : value);
                }
                std::vector<double> x(n);
                double norm = 0;
                for (std::size_t i = 0; i != n; ++i)
                    x[i] = caller.decode(input.data(), i), norm += x[i] * x[i];
                norm = std::sqrt(norm);

                std::size_t const stored_bytes = bytes_per_vector(n, stored.kind);
                guarded_buffer_t stored_vector(stored_bytes);
                bool const imported = import_of(casts, caller.kind)(input.data(), n, stored_vector.data());
                ASSERT_EQ(imported, stored.kind != caller.kind);
                ASSERT_TRUE(stored_vector.guard_intact());
                if (!imported)
                    std::memcpy(stored_vector.data(), input.data(), stored_bytes);

                guarded_buffer_t back(input.size());
                bool const exported = export_of(casts, caller.kind)(stored_vector.data(), n, back.data());
                ASSERT_EQ(exported, stored.kind != caller.kind);
                ASSERT_TRUE(back.guard_intact());
                if (!exported)
                    std::memcpy(back.data(), stored_vector.data(), input.size());

                for (std::size_t i = 0; i != n; ++i) {
                    double const y = caller.decode(back.data(), i);
                    if (stored.kind == caller.kind || caller.kind == scalar_kind_t::b1x8)
                        EXPECT_EQ(y, x[i]) << i;
                    else if (stored.kind == scalar_kind_t::b1x8)
                        EXPECT_EQ(y, x[i] > 0 ? 1 : 0) << i;
                    else if (stored.kind == scalar_kind_t::i8) // direction, truncated to 1/127 steps
                        EXPECT_NEAR(y, x[i] / norm, 1.0 / 127 + caller.precision + 1e-12) << i;
                    else if (caller.kind == scalar_kind_t::i8) // dequantised, then quantised again
                        EXPECT_NEAR(y, x[i] / norm * 127, 1 + 127 * 2 * stored.precision) << i;
                    else
                        EXPECT_NEAR(y, x[i], std::fabs(x[i]) * std::max(stored.precision, caller.precision)) << i;
                }
            }
    }
}
