// A metric that can prefetch: the graph must find it, ask for every vector it measures against the query
// before measuring it, and build and search exactly as it does with a metric that cannot.

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "graph_fixture.h"

using namespace graph_test;

namespace {

/// The fixture's metric plus a prefetch that records its slots. Counts measurements against a query whose
/// slot was never prefetched during the current walk.
struct prefetching_proxy_t : l2_proxy_t {
    std::set<slot_t>* prefetched;
    std::size_t* unannounced;
    void prefetch(slot_t slot) const { prefetched->insert(slot); }
    float operator()(char const* query, slot_t slot) const {
        *unannounced += !prefetched->count(slot);
        return l2_proxy_t::operator()(query, slot);
    }
    float operator()(slot_t a, slot_t b) const { return l2_proxy_t::operator()(a, b); }
};

static_assert(has_prefetch_t<prefetching_proxy_t>::value, "a const prefetch(slot) is found");
static_assert(!has_prefetch_t<l2_proxy_t>::value, "a metric without prefetch is called without it");

std::vector<std::vector<slot_t>> lists_of(graph_t const& graph) {
    std::vector<std::vector<slot_t>> lists;
    for (std::size_t slot = 0; slot != graph.size(); ++slot) {
        graph_t::node_t node = graph.node_at(slot);
        for (graph_t::level_t level = 0; level <= node.level(); ++level) {
            auto list = graph.list_at(node, level);
            lists.emplace_back();
            for (std::size_t i = 0; i != list.size(); ++i)
                lists.back().push_back(list[i]);
        }
    }
    return lists;
}

} // namespace

TEST(GraphPrefetch, SameGraphAndResultsAndEveryNeighbourAnnouncedBeforeItIsMeasured) {
    points_t const points = clustered_points(1500, 8, 12, 7);
    graph_t plain, prefetching;
    ASSERT_TRUE(plain.try_reserve({points.size(), 1, 1}));
    ASSERT_TRUE(prefetching.try_reserve({points.size(), 1, 1}));
    std::set<slot_t> prefetched;
    std::size_t unannounced = 0;
    prefetching_proxy_t proxy;
    proxy.stored = &points;
    proxy.prefetched = &prefetched;
    proxy.unannounced = &unannounced;

    for (std::size_t i = 0; i != points.size(); ++i) {
        add_result_t a = plain.insert_node(i, points.bytes(i), l2_proxy_t{&points}, 0, 40, [](slot_t) {});
        add_result_t b = prefetching.insert_node(i, points.bytes(i), proxy, 0, 40, [](slot_t) {});
        ASSERT_FALSE(a.error);
        ASSERT_FALSE(b.error);
        ASSERT_EQ(a.distance_count, b.distance_count) << i;
    }
    EXPECT_EQ(lists_of(plain), lists_of(prefetching));
    EXPECT_FALSE(prefetched.empty());

    // Relinking a slot walks the update beam.
    plain.relink_node(3, 99, points.bytes(1200), l2_proxy_t{&points}, 0, 40, [](slot_t) {});
    prefetching.relink_node(3, 99, points.bytes(1200), proxy, 0, 40, [](slot_t) {});
    EXPECT_EQ(lists_of(plain), lists_of(prefetching));

    for (std::size_t q = 0; q < points.size(); q += 37) {
        prefetched.clear();
        unannounced = 0;
        search_outcome_t a = plain.find_nearest(points.bytes(q), 10, l2_proxy_t{&points}, 0, 32, false);
        search_outcome_t b = prefetching.find_nearest(points.bytes(q), 10, proxy, 0, 32, false);
        ASSERT_EQ(a.count, b.count);
        EXPECT_EQ(a.hop_count, b.hop_count);
        EXPECT_EQ(a.distance_count, b.distance_count);
        for (std::size_t i = 0; i != a.count; ++i) {
            EXPECT_EQ(plain.results(0)[i].slot, prefetching.results(0)[i].slot);
            EXPECT_EQ(plain.results(0)[i].distance, prefetching.results(0)[i].distance);
        }
        // Only the entry point is measured unannounced: where the descent starts, and again by the beam
        // when the descent never moved.
        EXPECT_LE(unannounced, 2u) << "query " << q;
    }
}
