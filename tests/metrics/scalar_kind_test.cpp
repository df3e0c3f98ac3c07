#include "metrics/scalar_kind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

using namespace vemo::korvane;

namespace {

struct listed_scalar_t {
    unsigned code;
    char const* name;
    std::size_t bits;
};

constexpr listed_scalar_t listed_scalars[] = {
    {1, "b1x8", 1},  {2, "u40", 40},  {3, "uuid", 128}, {4, "bf16", 16}, {10, "f64", 64}, {11, "f32", 32},
    {12, "f16", 16}, {13, "f8", 8},   {14, "u64", 64},  {15, "u32", 32}, {16, "u16", 16}, {17, "u8", 8},
    {20, "i64", 64}, {21, "i32", 32}, {22, "i16", 16},  {23, "i8", 8},
};

} // namespace

TEST(ScalarKind, EveryCodeHasItsNameAndWidthAndUnlistedCodesBehaveLikeUnknown) {
    std::map<unsigned, listed_scalar_t> listed;
    for (listed_scalar_t const& kind : listed_scalars)
        listed[kind.code] = kind;
    for (unsigned code = 0; code != 256; ++code) {
        scalar_kind_t const kind = static_cast<scalar_kind_t>(code);
        auto found = listed.find(code);
        SCOPED_TRACE(code);
        EXPECT_STREQ(scalar_kind_name(kind), found == listed.end() ? "" : found->second.name);
        EXPECT_EQ(bits_per_scalar(kind), found == listed.end() ? 0u : found->second.bits);
    }
}

TEST(MetricKind, EveryCodeHasItsName) {
    std::map<unsigned, std::string> const listed = {
        {0, "unknown"},  {'b', "hamming"}, {'c', "cos"},     {'d', "divergence"}, {'e', "l2sq"},     {'h', "haversine"},
        {'i', "ip"},     {'j', "jaccard"}, {'p', "pearson"}, {'s', "sorensen"},   {'t', "tanimoto"},
    };
    for (unsigned code = 0; code != 256; ++code) {
        auto found = listed.find(code);
        SCOPED_TRACE(code);
        EXPECT_EQ(std::string(metric_kind_name(static_cast<metric_kind_t>(code))),
                  found == listed.end() ? std::string() : found->second);
    }
}

TEST(ScalarKind, BytesPerVectorRoundsUpAndNeverWraps) {
    struct case_t {
        std::size_t dimensions;
        scalar_kind_t kind;
        std::size_t bytes;
    } const cases[] = {
        {100, scalar_kind_t::b1x8, 13},
        {1, scalar_kind_t::b1x8, 1},
        {8, scalar_kind_t::b1x8, 1},
        {9, scalar_kind_t::b1x8, 2},
        {0, scalar_kind_t::b1x8, 0},
        {100, scalar_kind_t::f16, 200},
        {3, scalar_kind_t::u40, 15},
        {3, scalar_kind_t::f64, 24},
        {100, scalar_kind_t::unknown, 0},
        {100, static_cast<scalar_kind_t>(5), 0},
        {SIZE_MAX, scalar_kind_t::b1x8, SIZE_MAX / 8 + 1},
        {SIZE_MAX / 8, scalar_kind_t::i8, SIZE_MAX / 8},
        {SIZE_MAX / 4, scalar_kind_t::f64, SIZE_MAX},
        {SIZE_MAX, scalar_kind_t::uuid, SIZE_MAX},
    };
    for (case_t const& c : cases)
        EXPECT_EQ(bytes_per_vector(c.dimensions, c.kind), c.bytes)
            << c.dimensions << " x " << scalar_kind_name(c.kind);
}

TEST(ScalarKind, LegacyCodesTranslateUpTo14AndLargerBytesPassUnchanged) {
    std::uint8_t const current[15] = {0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 17, 20, 21, 22, 23};
    for (unsigned code = 0; code != 256; ++code)
        EXPECT_EQ(static_cast<unsigned>(scalar_kind_from_legacy_code(std::uint8_t(code))),
                  code <= 14 ? current[code] : code)
            << code;
    EXPECT_EQ(scalar_kind_from_legacy_code(4), scalar_kind_t::f64);
    EXPECT_EQ(scalar_kind_from_legacy_code(14), scalar_kind_t::i8);
}

TEST(KindNames, AcceptedSpellingsParseAndReadBackAsTheCanonicalName) {
    struct case_t {
        char const* spelling;
        char const* canonical;
    } const metrics[] = {
        {"l2sq", "l2sq"},         {"euclidean_sq", "l2sq"},   {"ip", "ip"},           {"inner", "ip"},
        {"dot", "ip"},            {"cos", "cos"},             {"angular", "cos"},     {"haversine", "haversine"},
        {"divergence", "divergence"}, {"jaccard", "jaccard"}, {"pearson", "pearson"}, {"hamming", "hamming"},
        {"tanimoto", "tanimoto"}, {"sorensen", "sorensen"},
    };
    for (case_t const& c : metrics) {
        metric_kind_result_t result = metric_kind_from_name(c.spelling, std::strlen(c.spelling));
        ASSERT_FALSE(result.error) << c.spelling;
        EXPECT_STREQ(metric_kind_name(result.kind), c.canonical);
    }
    case_t const scalars[] = {{"f64", "f64"}, {"f32", "f32"}, {"f16", "f16"},
                              {"bf16", "bf16"}, {"i8", "i8"},   {"b1", "b1x8"}};
    for (case_t const& c : scalars) {
        scalar_kind_result_t result = scalar_kind_from_name(c.spelling, std::strlen(c.spelling));
        ASSERT_FALSE(result.error) << c.spelling;
        EXPECT_STREQ(scalar_kind_name(result.kind), c.canonical);
    }
}

TEST(KindNames, OnlyTheCountedBytesAreCompared) {
    char const text[] = {'c', 'o', 's', 'i', 'n', 'e'}; // no terminator
    metric_kind_result_t cos = metric_kind_from_name(text, 3);
    ASSERT_FALSE(cos.error);
    EXPECT_EQ(cos.kind, metric_kind_t::cos);
    metric_kind_result_t cosine = metric_kind_from_name(text, 6);
    EXPECT_TRUE(cosine.error);
    cosine.error.release();
}

TEST(KindNames, RejectedSpellingsCarryTheExactMessage) {
    char const* const metric_message =
        "Unknown distance, choose: l2sq, ip, cos, haversine, divergence, jaccard, pearson, hamming, tanimoto, sorensen";
    char const* const scalar_message = "Unknown type, choose: f64, f32, f16, bf16, i8, b1";
    for (char const* spelling : {"L2SQ", "l2sq ", " l2sq", "", "Cos", "euclidean", "l2"}) {
        metric_kind_result_t result = metric_kind_from_name(spelling, std::strlen(spelling));
        ASSERT_TRUE(result.error) << '"' << spelling << '"';
        EXPECT_STREQ(result.error.release(), metric_message);
    }
    for (char const* spelling : {"b1x8", "F32", "i16", "u8", "f8", "", "f32 "}) {
        scalar_kind_result_t result = scalar_kind_from_name(spelling, std::strlen(spelling));
        ASSERT_TRUE(result.error) << '"' << spelling << '"';
        EXPECT_STREQ(result.error.release(), scalar_message);
    }
    metric_kind_result_t null_text = metric_kind_from_name(nullptr, 4);
    EXPECT_STREQ(null_text.error.release(), metric_message);
}

TEST(KindNames, AnUnhandledParseFailureIsRaisedWhenTheResultDies) {
    try {
        metric_kind_from_name("x", 1);
        FAIL() << "no exception";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Unknown distance, choose: l2sq, ip, cos, haversine, divergence, jaccard, pearson, "
                                   "hamming, tanimoto, sorensen");
    }
    EXPECT_THROW(scalar_kind_from_name("b1x8", 4), std::runtime_error);
}
