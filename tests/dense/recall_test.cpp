// End to end: clustered vectors go in through the dense index, and approximate search with the default
// expansions must find nearly what the exact scan of the same index finds, for every scalar kind and
// metric a Java caller can choose.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "index/index_dense.h"

using namespace vemo::korvane;

namespace {

constexpr std::size_t dimensions_k = 64;
constexpr std::size_t vectors_k = 20000;
constexpr std::size_t clusters_k = 200;
constexpr std::size_t queries_k = 200;
constexpr std::size_t wanted_k = 10;

struct dataset_t {
    std::vector<float> vectors; // vectors_k rows
    std::vector<float> queries; // queries_k rows, drawn around the same centres
};

dataset_t make_set(bool normalise) {
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<float> uniform(-1.f, 1.f);
    std::normal_distribution<float> noise(0.f, 0.15f);
    std::uniform_int_distribution<std::size_t> pick(0, clusters_k - 1);
    std::vector<float> centres(clusters_k * dimensions_k);
    for (float& value : centres)
        value = uniform(random);
    auto fill = [&](std::vector<float>& rows, std::size_t count) {
        rows.resize(count * dimensions_k);
        for (std::size_t row = 0; row != count; ++row) {
            float const* centre = &centres[pick(random) * dimensions_k];
            float* out = &rows[row * dimensions_k];
            double norm = 0;
            for (std::size_t i = 0; i != dimensions_k; ++i) {
                out[i] = centre[i] + noise(random);
                norm += double(out[i]) * out[i];
            }
            if (normalise)
                for (std::size_t i = 0; i != dimensions_k; ++i)
                    out[i] = float(out[i] / std::sqrt(norm));
        }
    };
    dataset_t set;
    fill(set.vectors, vectors_k);
    fill(set.queries, queries_k);
    return set;
}

/// Gaussian clusters around uniform centres, fixed seed. Rows are unit length when `normalise` is set,
/// as inner-product search expects.
dataset_t const& clustered(bool normalise) {
    static dataset_t const sets[2] = {make_set(false), make_set(true)};
    return sets[normalise];
}

struct combination_t {
    metric_kind_t metric;
    scalar_kind_t scalar;
};

std::string name_of(testing::TestParamInfo<combination_t> const& info) {
    return std::string(metric_kind_name(info.param.metric)) + "_" + scalar_kind_name(info.param.scalar);
}

class DenseRecall : public testing::TestWithParam<combination_t> {};

} // namespace

TEST_P(DenseRecall, ApproximateSearchFindsWhatTheExactScanFinds) {
    combination_t const c = GetParam();
    dataset_t const& data = clustered(c.metric == metric_kind_t::ip);

    auto state = index_dense_t::make(metric_punned_t::builtin(dimensions_k, c.metric, c.scalar));
    ASSERT_FALSE(state.error) << state.error.release();
    index_dense_t index(std::move(state.index));
    ASSERT_TRUE(index.try_reserve({vectors_k, 1, 1}));
    for (std::size_t row = 0; row != vectors_k; ++row) {
        auto added = index.add(row, &data.vectors[row * dimensions_k]);
        ASSERT_FALSE(added.error) << added.error.release();
    }
    ASSERT_EQ(index.size(), vectors_k);

    // A result counts as found when it is at least as close as the exact scan's k-th: bit metrics tie a lot.
    std::size_t found = 0;
    for (std::size_t q = 0; q != queries_k; ++q) {
        float const* query = &data.queries[q * dimensions_k];
        float threshold;
        {
            auto exact = index.search(query, wanted_k, true);
            ASSERT_EQ(exact.count, wanted_k);
            threshold = exact.distance(wanted_k - 1);
        }
        auto approximate = index.search(query, wanted_k);
        ASSERT_FALSE(approximate.error);
        for (std::size_t i = 0; i != approximate.count; ++i)
            found += approximate.distance(i) <= threshold;
    }
    double const recall = double(found) / double(queries_k * wanted_k);
    EXPECT_GE(recall, 0.95) << "recall@10 " << recall;
}

INSTANTIATE_TEST_SUITE_P(
    EveryJavaCombination, DenseRecall,
    testing::Values(combination_t{metric_kind_t::l2sq, scalar_kind_t::f32}, combination_t{metric_kind_t::ip, scalar_kind_t::f32},
                    combination_t{metric_kind_t::cos, scalar_kind_t::f32}, combination_t{metric_kind_t::l2sq, scalar_kind_t::f16},
                    combination_t{metric_kind_t::ip, scalar_kind_t::f16}, combination_t{metric_kind_t::cos, scalar_kind_t::f16},
                    combination_t{metric_kind_t::l2sq, scalar_kind_t::bf16}, combination_t{metric_kind_t::ip, scalar_kind_t::bf16},
                    combination_t{metric_kind_t::cos, scalar_kind_t::bf16}, combination_t{metric_kind_t::l2sq, scalar_kind_t::i8},
                    combination_t{metric_kind_t::ip, scalar_kind_t::i8}, combination_t{metric_kind_t::cos, scalar_kind_t::i8},
                    combination_t{metric_kind_t::hamming, scalar_kind_t::b1x8},
                    combination_t{metric_kind_t::jaccard, scalar_kind_t::b1x8}),
    name_of);
