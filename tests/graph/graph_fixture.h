#pragma once
// Shared pieces of the graph tests: float vectors with a squared-Euclidean proxy of the tests' own,
// clustered point sets, exact neighbours and structural checks of a built graph.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <set>
#include <vector>

#include "index/index_gt.h"

namespace graph_test {

using namespace vemo::korvane;
using graph_t = index_gt<float, unsigned long, unsigned int, aligned_allocator_gt<char, 64>, memory_mapping_allocator_gt<64>>;
using slot_t = graph_t::slot_t;

/// Rows of `dims` floats, one per slot.
struct points_t {
    std::size_t dims = 0;
    std::vector<float> values;

    std::size_t size() const { return dims ? values.size() / dims : 0; }
    float const* row(std::size_t i) const { return values.data() + i * dims; }
    float* row(std::size_t i) { return values.data() + i * dims; }
    char const* bytes(std::size_t i) const { return reinterpret_cast<char const*>(row(i)); }
};

inline float squared_l2(float const* a, float const* b, std::size_t dims) {
    float sum = 0;
    for (std::size_t i = 0; i != dims; ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum;
}

/// The graph's metric: slots index the rows of `stored`.
struct l2_proxy_t {
    points_t const* stored;
    float operator()(char const* query, slot_t slot) const {
        return squared_l2(reinterpret_cast<float const*>(query), stored->row(slot), stored->dims);
    }
    float operator()(slot_t a, slot_t b) const { return squared_l2(stored->row(a), stored->row(b), stored->dims); }
};

/// Gaussian blobs around uniformly placed centres; deterministic for a seed.
inline points_t clustered_points(std::size_t count, std::size_t dims, std::size_t clusters, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-10, 10);
    std::normal_distribution<float> normal(0, 1);
    std::vector<float> centres(clusters * dims);
    for (float& value : centres)
        value = uniform(random);
    points_t points;
    points.dims = dims;
    points.values.resize(count * dims);
    for (std::size_t i = 0; i != count; ++i) {
        std::size_t const cluster = random() % clusters;
        for (std::size_t d = 0; d != dims; ++d)
            points.row(i)[d] = centres[cluster * dims + d] + normal(random);
    }
    return points;
}

/// Fraction of the exact top-k (by slot) that the approximate results contain.
inline double recall(span_gt<candidate_t const> approximate, std::vector<slot_t> const& exact) {
    std::set<slot_t> found;
    for (candidate_t const& c : approximate)
        found.insert(c.slot);
    std::size_t hits = 0;
    for (slot_t slot : exact)
        hits += found.count(slot);
    return exact.empty() ? 1.0 : double(hits) / double(exact.size());
}

/// Every list within its limit, free of the node's own slot and of slots never handed out.
inline void expect_sound_lists(graph_t const& graph, bool allow_duplicates = false) {
    std::size_t const size = graph.size();
    for (std::size_t slot = 0; slot != size; ++slot) {
        graph_t::node_t node = graph.node_at(slot);
        ASSERT_TRUE(node) << slot;
        for (graph_t::level_t level = 0; level <= node.level(); ++level) {
            graph_t::neighbors_ref_t list = graph.list_at(node, level);
            std::uint32_t raw_count;
            std::memcpy(&raw_count, list.tape(), 4);
            std::size_t const limit = level ? graph.config().connectivity : graph.config().base_connectivity;
            ASSERT_LE(raw_count, limit) << "slot " << slot << " level " << level;
            std::set<slot_t> seen;
            for (std::size_t i = 0; i != list.size(); ++i) {
                ASSERT_NE(list[i], slot) << "self link at level " << level;
                ASSERT_LT(list[i], size);
                ASSERT_GE(graph.node_at(list[i]).level(), level);
                bool const first_time = seen.insert(list[i]).second;
                ASSERT_TRUE(first_time || allow_duplicates) << "duplicate in slot " << slot;
            }
        }
    }
}

/// Slots reachable on level 0 from the entry point.
inline std::size_t reachable_count(graph_t const& graph) {
    std::vector<bool> seen(graph.size());
    std::vector<slot_t> stack{static_cast<slot_t>(graph.entry_point())};
    seen[stack.back()] = true;
    std::size_t count = 1;
    while (!stack.empty()) {
        graph_t::node_t node = graph.node_at(stack.back());
        stack.pop_back();
        graph_t::neighbors_ref_t list = graph.list_at(node, 0);
        for (std::size_t i = 0; i != list.size(); ++i) {
            if (seen[list[i]])
                continue;
            seen[list[i]] = true;
            ++count;
            stack.push_back(list[i]);
        }
    }
    return count;
}

} // namespace graph_test
