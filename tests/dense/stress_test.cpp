// Many threads on one index at once, more of them than reserved thread contexts: adders, searchers, a
// remover that re-adds, and a renamer that reads back. Afterwards the index must agree with what the
// threads did. Built for ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "index/index_dense.h"

using namespace vemo::korvane;

namespace {

constexpr std::size_t dimensions_k = 16;
constexpr std::size_t adders_k = 4;
constexpr std::size_t per_adder_k = 300;
constexpr std::uint64_t added_base_k = 0;
constexpr std::uint64_t churn_base_k = 100000;
constexpr std::size_t churn_keys_k = 100;
constexpr std::uint64_t renamed_base_k = 200000;
constexpr std::size_t renamed_keys_k = 100;
constexpr std::uint64_t renamed_offset_k = 1000000;

/// A vector that differs for every key and is the same wherever it is computed.
std::vector<float> vector_of(std::uint64_t key) {
    std::vector<float> vector(dimensions_k);
    for (std::size_t i = 0; i != dimensions_k; ++i)
        vector[i] = float(std::sin(double(key % 1000003) * 0.37 + double(i) * 1.3) + double(key % 7) * 0.01 * double(i));
    return vector;
}

} // namespace

TEST(DenseStress, ConcurrentAddSearchRemoveRename) {
    auto state = index_dense_t::make(metric_punned_t::builtin(dimensions_k, metric_kind_t::l2sq, scalar_kind_t::f32));
    index_dense_t index(std::move(state.index));
    // Three contexts for eight threads: the rest wait for a context to be given back.
    ASSERT_TRUE(index.try_reserve({adders_k * per_adder_k + churn_keys_k + renamed_keys_k + 16, 3, 3}));

    for (std::uint64_t i = 0; i != churn_keys_k; ++i)
        ASSERT_FALSE(index.add(churn_base_k + i, vector_of(churn_base_k + i).data()).error);
    for (std::uint64_t i = 0; i != renamed_keys_k; ++i)
        ASSERT_FALSE(index.add(renamed_base_k + i, vector_of(renamed_base_k + i).data()).error);

    std::atomic<std::size_t> failures{0};
    std::atomic<bool> adding{true};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t != adders_k; ++t)
        threads.emplace_back([&, t] {
            for (std::uint64_t i = 0; i != per_adder_k; ++i) {
                std::uint64_t const key = added_base_k + t * per_adder_k + i;
                failures += bool(index.add(key, vector_of(key).data()).error);
            }
        });
    for (std::size_t t = 0; t != 2; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 generator{unsigned(t)};
            while (adding.load()) {
                auto const query = vector_of(generator() % 2000);
                auto found = index.search(query.data(), 10, generator() % 4 == 0);
                failures += bool(found.error) || found.count > 10;
                for (std::size_t i = 1; i < found.count; ++i)
                    failures += found.distance(i - 1) > found.distance(i);
            }
        });
    // Removes and re-adds its keys: the freed slots go to whichever insertion pops them.
    threads.emplace_back([&] {
        for (std::size_t round = 0; round != 3; ++round)
            for (std::uint64_t i = 0; i != churn_keys_k; ++i) {
                std::uint64_t const key = churn_base_k + i;
                failures += index.remove(key).completed != 1;
                failures += bool(index.add(key, vector_of(key).data()).error);
            }
    });
    // Renames its keys back and forth and reads each back under its current name.
    threads.emplace_back([&] {
        std::vector<float> output(dimensions_k);
        for (std::size_t round = 0; round != 3; ++round)
            for (std::uint64_t i = 0; i != renamed_keys_k; ++i) {
                std::uint64_t const original = renamed_base_k + i;
                std::uint64_t const from = round % 2 ? original + renamed_offset_k : original;
                std::uint64_t const to = round % 2 ? original : original + renamed_offset_k;
                failures += index.rename(from, to).completed != 1;
                failures += index.get(to, output.data()) != 1 || output != vector_of(original);
                failures += index.get(from, output.data()) != 0;
            }
    });
    for (std::size_t t = 0; t != adders_k; ++t)
        threads[t].join();
    for (std::size_t t = adders_k + 2; t != threads.size(); ++t)
        threads[t].join();
    adding = false;
    threads[adders_k].join();
    threads[adders_k + 1].join();
    EXPECT_EQ(failures.load(), 0u);

    // The renamer ended on round 2, which gives the keys their offset names.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> live; // key, key its vector was made from
    for (std::uint64_t key = 0; key != adders_k * per_adder_k; ++key)
        live.push_back({added_base_k + key, added_base_k + key});
    for (std::uint64_t i = 0; i != churn_keys_k; ++i)
        live.push_back({churn_base_k + i, churn_base_k + i});
    for (std::uint64_t i = 0; i != renamed_keys_k; ++i)
        live.push_back({renamed_base_k + i + renamed_offset_k, renamed_base_k + i});

    EXPECT_EQ(index.size(), live.size());
    EXPECT_EQ(index.key_table().size(), live.size());
    std::vector<float> output(dimensions_k);
    for (auto const& [key, source] : live) {
        auto const expected = vector_of(source);
        ASSERT_EQ(index.get(key, output.data()), 1u) << key;
        ASSERT_EQ(output, expected) << key;
        auto found = index.search(expected.data(), 1, true);
        ASSERT_EQ(found.count, 1u);
        ASSERT_EQ(found.key(0), key);
        ASSERT_EQ(found.distance(0), 0.f);
    }
}
