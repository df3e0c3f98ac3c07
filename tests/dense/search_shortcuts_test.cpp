// The shortcuts searches take: the metric proxy's direct kernel call and prefetching, and skipping the
// liveness test while no node carries the vacant key. Each must give the results of the long way round.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "index/index_dense.h"
#include "index/index_dense_persistence.h"

using namespace vemo::korvane;

static_assert(has_prefetch_t<index_dense_t::metric_proxy_t>::value, "the graph must find the proxy's prefetch");
static_assert(has_prefetch_body_t<index_dense_t::metric_proxy_t>::value, "and its prefetch_body");

namespace {

constexpr std::uint64_t vacant_key = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t dims = 8;

std::vector<float> random_rows(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1, 1);
    std::vector<float> values(count * dims);
    for (float& value : values)
        value = uniform(random);
    return values;
}

index_dense_t make_index(scalar_kind_t scalar, metric_kind_t metric, std::size_t dimensions = dims) {
    auto state = index_dense_t::make(metric_punned_t::builtin(dimensions, metric, scalar));
    if (state.error)
        throw std::runtime_error(state.error.release());
    index_dense_t index(std::move(state.index));
    if (!index.try_reserve({200, 1, 1}))
        throw std::runtime_error("reservation failed");
    return index;
}

/// Keys of every entry an exact and an approximate search for each stored row return.
std::set<std::uint64_t> keys_found(index_dense_t& index, std::vector<float> const& rows) {
    std::set<std::uint64_t> keys;
    for (bool exact : {true, false})
        for (std::size_t row = 0; row * dims < rows.size(); ++row) {
            auto found = index.search(rows.data() + row * dims, 5, exact);
            EXPECT_FALSE(found.error);
            for (std::size_t i = 0; i != found.count; ++i)
                keys.insert(found.key(i));
        }
    return keys;
}

} // namespace

TEST(DenseShortcuts, ProxyDistancesEqualTheMetricsForEveryKernelMode) {
    // l2sq and cos call a kernel directly; ip goes through the reversing adapter; haversine has only a
    // built-in formula. With f32 storage the stored bytes are the rows themselves.
    struct case_t {
        metric_kind_t metric;
        std::size_t dimensions;
        bool direct;
    };
    for (case_t c : {case_t{metric_kind_t::l2sq, dims, true}, case_t{metric_kind_t::cos, dims, true},
                     case_t{metric_kind_t::ip, dims, false}, case_t{metric_kind_t::haversine, 2, false}}) {
        SCOPED_TRACE(metric_kind_name(c.metric));
        index_dense_t index = make_index(scalar_kind_t::f32, c.metric, c.dimensions);
        metric_punned_t const& metric = index.metric();
        EXPECT_EQ(metric.direct_kernel() != nullptr, c.direct);
        std::size_t const count = 20;
        std::vector<float> const rows = random_rows(count, 3);
        auto row = [&](std::size_t i) { return rows.data() + i * c.dimensions; };
        for (std::size_t i = 0; i != count; ++i)
            ASSERT_FALSE(index.add(i, row(i)).error);

        index_dense_t::metric_proxy_t proxy(index);
        for (unsigned a = 0; a < count; a += 3)
            for (unsigned b = 1; b < count; b += 4) {
                float const expected = metric(row(a), row(b));
                EXPECT_EQ(proxy(a, b), expected) << a << " " << b;
                EXPECT_EQ(proxy(reinterpret_cast<char const*>(row(a)), b), expected) << a << " " << b;
                proxy.prefetch(a);
                proxy.prefetch_body(b);
            }
    }
}

TEST(DenseShortcuts, EveryWayANodeTakesTheVacantKeyKeepsItOutOfSearches) {
    std::vector<float> const rows = random_rows(40, 11);
    index_dense_t index = make_index(scalar_kind_t::f32, metric_kind_t::l2sq);
    for (std::uint64_t key = 0; key != 30; ++key)
        ASSERT_FALSE(index.add(key, rows.data() + key * dims).error);
    std::set<std::uint64_t> all;
    for (std::uint64_t key = 0; key != 30; ++key)
        all.insert(key);
    ASSERT_EQ(keys_found(index, rows), all);

    // Removed entries stay out; once every freed slot is reused, the new keys are found and nothing is vacant.
    ASSERT_EQ(index.remove(4).completed, 1u);
    ASSERT_EQ(index.remove(9).completed, 1u);
    EXPECT_EQ(keys_found(index, rows).count(4), 0u);
    EXPECT_EQ(keys_found(index, rows).count(9), 0u);
    ASSERT_FALSE(index.add(104, rows.data() + 30 * dims).error);
    ASSERT_FALSE(index.add(109, rows.data() + 31 * dims).error);
    std::set<std::uint64_t> found = keys_found(index, rows);
    EXPECT_EQ(found.count(104) + found.count(109), 2u);
    EXPECT_EQ(found.count(4) + found.count(9), 0u);
    EXPECT_EQ(found.count(vacant_key), 0u);

    // After those reuses, each other way of giving a node the vacant key must still be noticed.
    ASSERT_EQ(index.rename(7, vacant_key).completed, 1u);
    EXPECT_EQ(keys_found(index, rows).count(vacant_key), 0u) << "renamed to the vacant key";

    index_dense_t fresh = make_index(scalar_kind_t::f32, metric_kind_t::l2sq);
    for (std::uint64_t key = 0; key != 10; ++key)
        ASSERT_FALSE(fresh.add(key == 5 ? vacant_key : key, rows.data() + key * dims).error);
    EXPECT_EQ(keys_found(fresh, rows).count(vacant_key), 0u) << "added under the vacant key";

    // A loaded file's removed entries, with the removal itself not part of the loading index's history.
    index_dense_t saved = make_index(scalar_kind_t::f32, metric_kind_t::l2sq);
    for (std::uint64_t key = 0; key != 10; ++key)
        ASSERT_FALSE(saved.add(key, rows.data() + key * dims).error);
    ASSERT_EQ(saved.remove(2).completed, 1u);
    std::string const path = "/tmp/korvane_shortcuts_" + std::to_string(::getpid()) + ".index";
    {
        output_file_t file(path.c_str());
        ASSERT_FALSE(saved.save(file).error);
    }
    index_dense_t loaded = make_index(scalar_kind_t::f32, metric_kind_t::l2sq);
    {
        input_file_t file(path.c_str());
        ASSERT_FALSE(loaded.load(file).error);
    }
    std::remove(path.c_str());
    std::set<std::uint64_t> reloaded = keys_found(loaded, rows);
    EXPECT_EQ(reloaded.count(2) + reloaded.count(vacant_key), 0u) << "loaded with a removed entry";
    EXPECT_EQ(reloaded.size(), 9u);
}
