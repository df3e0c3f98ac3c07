// Configuration, reservation, levels, insertion, search and relinking of the graph, single-threaded.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "graph_fixture.h"

using namespace graph_test;

namespace {

/// Builds a graph over `points`; every vector is stored before insertion, so the callback only records.
struct built_graph_t {
    points_t points;
    graph_t graph;
    std::vector<add_result_t> results;

    explicit built_graph_t(points_t p, index_config_t config = {}, std::size_t expansion = 128)
        : points(std::move(p)), graph(config) {
        EXPECT_TRUE(graph.try_reserve({points.size(), 1, 1}));
        for (std::size_t i = 0; i != points.size(); ++i)
            insert(i, expansion);
    }

    void insert(std::size_t i, std::size_t expansion) {
        std::size_t stored = SIZE_MAX;
        add_result_t result = graph.insert_node(1000 + i, points.bytes(i), l2_proxy_t{&points}, 0, expansion,
                                                [&](slot_t slot) { stored = slot; });
        EXPECT_FALSE(result.error) << result.error.what();
        EXPECT_EQ(stored, i);
        results.push_back(std::move(result));
    }
};

points_t line_points(std::vector<float> const& coordinates) {
    points_t points;
    points.dims = 1;
    points.values = coordinates;
    return points;
}

/// Seed of a context's generator whose next draw gives `level` for `graph`'s connectivity.
std::uint32_t seed_for_level(graph_t const& graph, graph_t::level_t level) {
    for (std::uint32_t seed = 1;; ++seed) {
        graph_t::context_t probe;
        probe.level_random = seed;
        if (graph.draw_level(probe) == level)
            return seed;
    }
}

std::string construction_error(index_config_t config) {
    try {
        graph_t graph(config);
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return "";
}

} // namespace

TEST(GraphConfig, NormalisationAndChecks) {
    graph_t defaults;
    EXPECT_EQ(defaults.config().connectivity, 16u);
    EXPECT_EQ(defaults.config().base_connectivity, 32u);
    EXPECT_EQ(defaults.precomputed().level_scale, 0.36067376022224085);
    EXPECT_EQ(defaults.precomputed().list_bytes, 68u);
    EXPECT_EQ(defaults.precomputed().base_list_bytes, 132u);
    EXPECT_EQ(defaults.size(), 0u);
    EXPECT_EQ(defaults.capacity(), 0u);
    EXPECT_EQ(defaults.top_level(), -1);

    graph_t eight({8, 0});
    EXPECT_EQ(eight.config().connectivity, 8u);
    EXPECT_EQ(eight.config().base_connectivity, 16u);

    EXPECT_EQ(construction_error({1, 0}), "Connectivity must be at least 2, otherwise the index degenerates into ropes");
    EXPECT_EQ(construction_error({8, 4}), "Base layer should be at least as connected as the rest of the graph");

    vemo::korvane::error_t error = defaults.reconfigure({1, 4});
    EXPECT_STREQ(error.release(), "Connectivity must be at least 2, otherwise the index degenerates into ropes");
    EXPECT_EQ(defaults.config().connectivity, 16u);
    EXPECT_FALSE(defaults.reconfigure({4, 6}));
    EXPECT_EQ(defaults.precomputed().base_list_bytes, 28u);
}

TEST(GraphConfig, NodeLayoutAndArenaBlocks) {
    graph_t graph;
    struct case_t {
        graph_t::level_t level;
        std::size_t bytes, block;
    };
    std::size_t usage = 64;
    for (case_t c : {case_t{0, 142, 192}, case_t{1, 210, 256}, case_t{2, 278, 320}}) {
        EXPECT_EQ(graph.node_bytes(c.level), c.bytes);
        graph_t::node_t node = graph.node_allocate(c.level);
        ASSERT_TRUE(node);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(node.tape()) % 64, 0u);
        usage += c.block;
        EXPECT_EQ(graph.node_arena().last_usage(), usage);
        EXPECT_EQ(node.level(), c.level);
        EXPECT_EQ(node.key(), 0u);
        // Lists follow the 10-byte head: level 0 first, then levels 1, 2, ... of 68 bytes each.
        for (graph_t::level_t level = 0; level <= c.level; ++level) {
            graph_t::neighbors_ref_t list = graph.list_at(node, level);
            EXPECT_EQ(list.tape() - node.tape(), level == 0 ? 10 : 142 + (level - 1) * 68);
            EXPECT_EQ(list.size(), 0u);
        }
    }
}

TEST(GraphConfig, ListCountsAreClampedToTheirCapacity) {
    graph_t graph({2, 2});
    graph_t::node_t node = graph.node_allocate(0);
    std::uint32_t const damaged = 1000;
    std::memcpy(graph.list_at(node, 0).tape(), &damaged, 4);
    EXPECT_EQ(graph.list_at(node, 0).size(), 2u);
}

TEST(GraphLevels, ParkMillerDraws) {
    graph_t graph;
    graph_t::context_t context;
    EXPECT_EQ(context.level_random, 1u);
    EXPECT_EQ(graph.draw_level(context), 0);
    EXPECT_EQ(context.level_random, 282475249u); // 16807 squared
    EXPECT_EQ(graph.draw_level(context), 0);
    EXPECT_EQ(context.level_random, 984943658u); // two more steps of x * 16807 mod (2^31 - 1)

    // Level L or more with probability about connectivity^-L.
    std::size_t at_least[3] = {0, 0, 0};
    std::size_t const draws = 200000;
    for (std::size_t i = 0; i != draws; ++i) {
        graph_t::level_t level = graph.draw_level(context);
        ASSERT_GE(level, 0);
        for (int l = 0; l != 3; ++l)
            at_least[l] += level >= l;
    }
    EXPECT_EQ(at_least[0], draws);
    EXPECT_NEAR(double(at_least[1]) / draws, 1.0 / 16, 0.003);
    EXPECT_NEAR(double(at_least[2]) / draws, 1.0 / 256, 0.0007);
}

TEST(GraphReserve, GrowsRefusesAndKeeps) {
    graph_t graph;
    // Thread counts alone on an empty graph create contexts for every id, and no node table.
    ASSERT_TRUE(graph.try_reserve({0, 3, 2}));
    EXPECT_EQ(graph.capacity(), 0u);
    EXPECT_EQ(graph.contexts_count(), 3u);
    EXPECT_EQ(graph.limits().insertion_threads, 3u);

    ASSERT_TRUE(graph.try_reserve({100, 2, 4}));
    EXPECT_EQ(graph.capacity(), 100u);
    EXPECT_EQ(graph.contexts_count(), 4u);
    EXPECT_GE(graph.context(3).prune_buffer.capacity(), 33u);

    graph_t::context_t const* contexts = &graph.context(0);
    ASSERT_TRUE(graph.try_reserve({100, 2, 4}));
    ASSERT_TRUE(graph.try_reserve({50, 1, 1}));
    EXPECT_EQ(&graph.context(0), contexts);
    EXPECT_EQ(graph.capacity(), 100u);

    EXPECT_FALSE(graph.try_reserve({4294967295ull, 1, 1}));
    EXPECT_FALSE(graph.try_reserve({1ull << 40, 1, 1}));
    EXPECT_EQ(graph.capacity(), 100u);

    points_t points = line_points({0, 1, 2, 3});
    for (std::size_t i = 0; i != 4; ++i)
        EXPECT_FALSE(graph.insert_node(i, points.bytes(i), l2_proxy_t{&points}, 0, 16, [](slot_t) {}).error);
    EXPECT_FALSE(graph.try_reserve({3, 8, 8})); // below the size
    EXPECT_EQ(graph.contexts_count(), 4u);
    ASSERT_TRUE(graph.try_reserve({200, 8, 8}));
    EXPECT_EQ(graph.size(), 4u);
    for (std::size_t i = 0; i != 4; ++i)
        EXPECT_EQ(graph.node_at(i).key(), i); // node addresses carried over
    EXPECT_FALSE(graph.node_at(4));

    graph.reset();
    EXPECT_EQ(graph.size(), 0u);
    EXPECT_EQ(graph.capacity(), 0u);
    EXPECT_EQ(graph.top_level(), -1);
    EXPECT_EQ(graph.contexts_count(), 0u);
    EXPECT_EQ(graph.limits().capacity, 0u);
    EXPECT_FALSE(graph.node_arena().has_arena());
    ASSERT_TRUE(graph.try_reserve({0, 1, 1}));
    add_result_t refused = graph.insert_node(1, points.bytes(0), l2_proxy_t{&points}, 0, 16, [](slot_t) {});
    EXPECT_STREQ(refused.error.release(), "Reserve capacity ahead of insertions!");
}

TEST(GraphInsert, FirstNodesAndCapacity) {
    points_t points = line_points({0, 1, 5});
    graph_t graph;
    ASSERT_TRUE(graph.try_reserve({2, 1, 1}));
    graph.context(0).level_random = seed_for_level(graph, 1);

    std::vector<slot_t> callbacks;
    auto record = [&](slot_t slot) {
        callbacks.push_back(slot);
        EXPECT_FALSE(graph.node_at(slot)); // the callback runs before the node is visible
    };
    add_result_t first = graph.insert_node(10, points.bytes(0), l2_proxy_t{&points}, 0, 64, record);
    ASSERT_FALSE(first.error);
    EXPECT_EQ(first.size_after, 1u);
    EXPECT_EQ(first.slot, 0u);
    EXPECT_EQ(first.hop_count + first.distance_count + first.link_prune_count + first.backlink_prune_count, 0u);
    EXPECT_EQ(graph.entry_point(), 0u);
    EXPECT_EQ(graph.top_level(), 1);
    EXPECT_EQ(graph.node_at(0).key(), 10u);
    EXPECT_EQ(graph.list_at(graph.node_at(0), 0).size(), 0u);
    EXPECT_EQ(graph.list_at(graph.node_at(0), 1).size(), 0u);

    graph.context(0).level_random = seed_for_level(graph, 0);
    add_result_t second = graph.insert_node(11, points.bytes(1), l2_proxy_t{&points}, 0, 64, record);
    ASSERT_FALSE(second.error);
    EXPECT_EQ(second.size_after, 2u);
    EXPECT_EQ(second.slot, 1u);
    // One distance and one hop for the descent over level 1, one distance and one hop for the beam on level 0.
    EXPECT_EQ(second.distance_count, 2u);
    EXPECT_EQ(second.hop_count, 2u);
    EXPECT_EQ(graph.list_at(graph.node_at(0), 0).size(), 1u);
    EXPECT_EQ(graph.list_at(graph.node_at(0), 0)[0], 1u);
    EXPECT_EQ(graph.list_at(graph.node_at(1), 0)[0], 0u);
    EXPECT_EQ(graph.list_at(graph.node_at(0), 1).size(), 0u);
    EXPECT_EQ(graph.entry_point(), 0u);
    EXPECT_EQ(callbacks, (std::vector<slot_t>{0, 1}));

    add_result_t third = graph.insert_node(12, points.bytes(2), l2_proxy_t{&points}, 0, 64, record);
    EXPECT_STREQ(third.error.release(), "Reserve capacity ahead of insertions!");
    EXPECT_EQ(third.size_after, 0u);
    EXPECT_EQ(graph.size(), 2u);
    EXPECT_EQ(callbacks.size(), 2u);
}

TEST(GraphInsert, SecondNodeOnTheBaseLevelOnly) {
    built_graph_t built(line_points({0, 3}));
    ASSERT_EQ(built.graph.node_at(0).level(), 0); // the first draws of a fresh context are level 0
    ASSERT_EQ(built.graph.node_at(1).level(), 0);
    EXPECT_EQ(built.results[1].distance_count, 2u);
    EXPECT_EQ(built.results[1].hop_count, 1u);
    EXPECT_EQ(built.results[1].size_after, 2u);
}

TEST(GraphInsert, DiversityPruningOnALine) {
    // Squared distances from 0: slot 1 at 1, slot 2 at 4, slot 3 at 9; 2 and 3 are closer to 1 than to 0.
    points_t points = line_points({0, 1, 2, 3});
    graph_t graph({2, 0});
    ASSERT_TRUE(graph.try_reserve({4, 1, 1}));
    graph_t::candidates_t buffer;
    ASSERT_TRUE(buffer.reserve(3));
    for (slot_t slot : {3u, 1u, 2u})
        buffer.insert_reserved({float(slot * slot), slot});
    std::size_t counter = 0;
    std::size_t const distances_before = graph.context(0).distance_count;
    EXPECT_EQ(graph.prune_diverse(l2_proxy_t{&points}, buffer, 2, counter, graph.context(0)), 1u);
    ASSERT_EQ(buffer.size(), 1u);
    EXPECT_EQ(buffer[0].slot, 1u);
    EXPECT_EQ(counter, 0u); // each rejection stopped at the first kept neighbour
    EXPECT_EQ(graph.context(0).distance_count - distances_before, 2u);

    // Points around 0 in different directions are all kept, up to the number needed; accepted candidates
    // credit one comparison per kept neighbour.
    points_t spread = line_points({0, -1, 2, -3});
    buffer.clear();
    for (slot_t slot : {1u, 2u, 3u})
        buffer.insert_reserved({squared_l2(spread.row(0), spread.row(slot), 1), slot});
    counter = 0;
    EXPECT_EQ(graph.prune_diverse(l2_proxy_t{&spread}, buffer, 2, counter, graph.context(0)), 2u);
    EXPECT_EQ(buffer[0].slot, 1u);
    EXPECT_EQ(buffer[1].slot, 2u);
    EXPECT_EQ(counter, 1u);
}

TEST(GraphInsert, ListsGrowToTheirLimitsAndStaySound) {
    built_graph_t built(clustered_points(1500, 8, 10, 7));
    graph_t const& graph = built.graph;
    expect_sound_lists(graph);
    EXPECT_EQ(reachable_count(graph), graph.size());

    std::size_t fullest = 0;
    for (std::size_t slot = 0; slot != graph.size(); ++slot)
        fullest = std::max(fullest, graph.list_at(graph.node_at(slot), 0).size());
    EXPECT_EQ(fullest, 32u); // back-links fill level-0 lists beyond the 16 links a node chooses itself
    graph_t::level_t top = graph.top_level();
    EXPECT_GE(top, 1);
    EXPECT_EQ(graph.node_at(graph.entry_point()).level(), top);
}

TEST(GraphInsert, OwnLinksAreBoundedByConnectivityAndExpansion) {
    struct case_t {
        std::size_t expansion, bound;
    };
    for (case_t c : {case_t{128, 16}, case_t{4, 4}}) {
        points_t points = clustered_points(400, 4, 3, 11);
        graph_t graph;
        ASSERT_TRUE(graph.try_reserve({points.size(), 1, 1}));
        std::size_t widest = 0;
        for (std::size_t i = 0; i != points.size(); ++i) {
            ASSERT_FALSE(graph.insert_node(i, points.bytes(i), l2_proxy_t{&points}, 0, c.expansion, [](slot_t) {}).error);
            // Nothing has linked back to the newest node yet: its lists hold only its own choices.
            graph_t::node_t node = graph.node_at(i);
            for (graph_t::level_t level = 0; level <= node.level(); ++level)
                widest = std::max(widest, graph.list_at(node, level).size());
        }
        EXPECT_LE(widest, c.bound) << "expansion " << c.expansion;
        EXPECT_GE(widest, c.bound - 2) << "expansion " << c.expansion;
    }
}

TEST(GraphSearch, EmptyGraphsAndZeroWanted) {
    graph_t never_reserved;
    float query = 0;
    char const* bytes = reinterpret_cast<char const*>(&query);
    points_t none;
    none.dims = 1;
    for (bool exact : {false, true}) {
        search_outcome_t outcome = never_reserved.find_nearest(bytes, 0, l2_proxy_t{&none}, 0, 64, exact);
        EXPECT_EQ(outcome.count + outcome.hop_count + outcome.distance_count, 0u);
    }
    graph_t empty;
    ASSERT_TRUE(empty.try_reserve({10, 1, 1}));
    for (bool exact : {false, true}) {
        search_outcome_t outcome = empty.find_nearest(bytes, 5, l2_proxy_t{&none}, 0, 64, exact);
        EXPECT_FALSE(outcome.error);
        EXPECT_EQ(outcome.count, 0u);
    }

    // A slot claimed but not stored yet (the moment before the first node is published) is neither scanned
    // nor used as an entry point.
    empty.set_size(1);
    for (bool exact : {false, true}) {
        search_outcome_t outcome = empty.find_nearest(bytes, 5, l2_proxy_t{&none}, 0, 64, exact);
        EXPECT_FALSE(outcome.error);
        EXPECT_EQ(outcome.count, 0u);
        EXPECT_EQ(outcome.distance_count, 0u);
    }
}

TEST(GraphSearch, SingleNodeCounters) {
    struct case_t {
        graph_t::level_t level;
        std::size_t hops;
    };
    for (case_t c : {case_t{0, 1}, case_t{2, 3}}) {
        points_t points = line_points({4, 0});
        graph_t graph;
        ASSERT_TRUE(graph.try_reserve({1, 1, 1}));
        graph.context(0).level_random = seed_for_level(graph, c.level);
        ASSERT_FALSE(graph.insert_node(7, points.bytes(0), l2_proxy_t{&points}, 0, 64, [](slot_t) {}).error);
        for (std::size_t wanted : {1u, 10u}) {
            search_outcome_t outcome = graph.find_nearest(points.bytes(1), wanted, l2_proxy_t{&points}, 0, 64, false);
            EXPECT_FALSE(outcome.error);
            EXPECT_EQ(outcome.count, 1u);
            EXPECT_EQ(outcome.distance_count, 2u);
            EXPECT_EQ(outcome.hop_count, c.hops) << "level " << c.level;
            ASSERT_EQ(graph.results(0).size(), 1u);
            EXPECT_EQ(graph.results(0)[0].slot, 0u);
            EXPECT_EQ(graph.results(0)[0].distance, 16.f);
        }
    }
}

TEST(GraphSearch, RecallAgainstExactMode) {
    built_graph_t built(clustered_points(3000, 16, 20, 42));
    graph_t& graph = built.graph;
    // Queries near stored points, so that they fall inside the clusters.
    points_t queries;
    queries.dims = 16;
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0, 0.5f);
    for (std::size_t q = 0; q != 200; ++q)
        for (std::size_t d = 0; d != 16; ++d)
            queries.values.push_back(built.points.row(q * 13)[d] + noise(random));

    double total = 0;
    for (std::size_t q = 0; q != queries.size(); ++q) {
        search_outcome_t exact = graph.find_nearest(queries.bytes(q), 10, l2_proxy_t{&built.points}, 0, 64, true);
        ASSERT_EQ(exact.count, 10u);
        EXPECT_EQ(exact.distance_count, graph.size());
        std::vector<slot_t> truth;
        for (candidate_t const& c : graph.results(0))
            truth.push_back(c.slot);

        search_outcome_t approximate = graph.find_nearest(queries.bytes(q), 10, l2_proxy_t{&built.points}, 0, 64, false);
        ASSERT_FALSE(approximate.error);
        ASSERT_EQ(approximate.count, 10u);
        EXPECT_LT(approximate.distance_count, graph.size());
        span_gt<candidate_t const> found = graph.results(0);
        for (std::size_t i = 1; i != found.size(); ++i)
            EXPECT_LE(found[i - 1].distance, found[i].distance);
        total += recall(found, truth);
    }
    EXPECT_GE(total / double(queries.size()), 0.95);

    // A beam wider than the expansion returns as many as wanted.
    search_outcome_t wide = graph.find_nearest(queries.bytes(0), 100, l2_proxy_t{&built.points}, 0, 64, false);
    EXPECT_EQ(wide.count, 100u);
}

TEST(GraphSearch, ExactModeMatchesBruteForce) {
    built_graph_t built(clustered_points(300, 3, 4, 3));
    points_t query;
    query.dims = 3;
    query.values = {0.5f, -1, 2};
    std::vector<std::pair<float, slot_t>> truth;
    for (slot_t slot = 0; slot != 300; ++slot)
        if (slot % 3)
            truth.push_back({squared_l2(query.row(0), built.points.row(slot), 3), slot});
    std::sort(truth.begin(), truth.end());
    search_outcome_t outcome = built.graph.find_nearest(query.bytes(0), 7,
                                                        l2_proxy_t{&built.points}, 0, 1, true,
                                                        [](slot_t slot) { return slot % 3 != 0; });
    ASSERT_EQ(outcome.count, 7u);
    EXPECT_EQ(outcome.hop_count, 0u);
    EXPECT_EQ(outcome.distance_count, 200u);
    for (std::size_t i = 0; i != 7; ++i)
        EXPECT_EQ(built.graph.results(0)[i].slot, truth[i].second);
}

TEST(GraphSearch, RejectedSlotsAreWalkedThroughButNotReturned) {
    built_graph_t built(clustered_points(500, 4, 5, 9));
    graph_t& graph = built.graph;
    l2_proxy_t metric{&built.points};

    // Only one live slot, far from the entry point's neighbourhood: still found.
    slot_t const survivor = 417;
    search_outcome_t only = graph.find_nearest(built.points.bytes(3), 10, metric, 0, 64, false,
                                               [&](slot_t slot) { return slot == survivor; });
    ASSERT_EQ(only.count, 1u);
    EXPECT_EQ(graph.results(0)[0].slot, survivor);
    EXPECT_GT(only.hop_count, 100u);

    // The node nearest the query is rejected: the next ones are returned, never it.
    slot_t const removed = 123;
    search_outcome_t outcome = graph.find_nearest(built.points.bytes(removed), 5, metric, 0, 64, false,
                                                  [&](slot_t slot) { return slot != removed; });
    ASSERT_EQ(outcome.count, 5u);
    for (candidate_t const& c : graph.results(0)) {
        EXPECT_NE(c.slot, removed);
        EXPECT_GT(c.distance, 0.f);
    }
}

TEST(GraphRelink, ReusedSlotTakesNewVectorAndKey) {
    built_graph_t built(clustered_points(800, 4, 6, 21));
    graph_t& graph = built.graph;
    std::size_t const entry = graph.entry_point();
    graph_t::level_t const top = graph.top_level();

    // Move slot 200 far away and relink it; also relink the entry point in place.
    std::vector<float> moved = {30, 30, 30, 30};
    std::size_t stored = SIZE_MAX;
    add_result_t relinked = graph.relink_node(200, 77, reinterpret_cast<char const*>(moved.data()),
                                              l2_proxy_t{&built.points}, 0, 64, [&](slot_t slot) {
                                                  stored = slot;
                                                  std::copy(moved.begin(), moved.end(), built.points.row(slot));
                                              });
    ASSERT_FALSE(relinked.error);
    EXPECT_EQ(stored, 200u);
    EXPECT_EQ(relinked.slot, 200u);
    EXPECT_EQ(relinked.size_after, 0u);
    EXPECT_GT(relinked.distance_count, 0u);
    EXPECT_EQ(relinked.link_prune_count + relinked.backlink_prune_count, 0u);
    EXPECT_EQ(graph.node_at(200).key(), 77u);
    EXPECT_EQ(graph.size(), 800u);

    add_result_t in_place = graph.relink_node(entry, graph.node_at(entry).key(), built.points.bytes(entry),
                                              l2_proxy_t{&built.points}, 0, 64, [](slot_t) {});
    ASSERT_FALSE(in_place.error);
    EXPECT_EQ(graph.entry_point(), entry);
    EXPECT_EQ(graph.top_level(), top);

    expect_sound_lists(graph, true);
    search_outcome_t found = graph.find_nearest(reinterpret_cast<char const*>(moved.data()), 1,
                                                l2_proxy_t{&built.points}, 0, 64, false);
    ASSERT_EQ(found.count, 1u);
    EXPECT_EQ(graph.results(0)[0].slot, 200u);
    EXPECT_EQ(graph.results(0)[0].distance, 0.f);
}

TEST(GraphRelink, LoneNodeAndViewedGraph) {
    points_t points = line_points({1, 2});
    graph_t graph;
    ASSERT_TRUE(graph.try_reserve({1, 1, 1}));
    ASSERT_FALSE(graph.insert_node(1, points.bytes(0), l2_proxy_t{&points}, 0, 64, [](slot_t) {}).error);
    // Nothing to link to: the node stays alone and keeps no link to itself.
    add_result_t alone = graph.relink_node(0, 2, points.bytes(1), l2_proxy_t{&points}, 0, 64, [](slot_t) {});
    ASSERT_FALSE(alone.error);
    EXPECT_EQ(graph.node_at(0).key(), 2u);
    EXPECT_EQ(graph.list_at(graph.node_at(0), 0).size(), 0u);

    char path[] = "/tmp/korvane_view_XXXXXX";
    int descriptor = ::mkstemp(path);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::write(descriptor, "x", 1), 1);
    ::close(descriptor);
    memory_mapped_file_t file(path);
    ASSERT_FALSE(file.open_if_not());
    graph.adopt_mapped_file(std::move(file));
    EXPECT_TRUE(graph.is_immutable());
    add_result_t refused = graph.relink_node(0, 3, points.bytes(1), l2_proxy_t{&points}, 0, 64, [](slot_t) {});
    EXPECT_STREQ(refused.error.release(), "Can't add to an immutable index");
    EXPECT_EQ(graph.node_at(0).key(), 2u);
    graph.reset();
    EXPECT_FALSE(graph.is_immutable());
    std::remove(path);
}

TEST(GraphSearch, ViewedGraphReadsWithoutLocksAndFindsTheSame) {
    built_graph_t built(clustered_points(600, 6, 5, 33));
    graph_t& graph = built.graph;
    std::vector<std::vector<slot_t>> before;
    for (std::size_t q = 0; q != 20; ++q) {
        graph.find_nearest(built.points.bytes(q * 7), 10, l2_proxy_t{&built.points}, 0, 32, false);
        before.emplace_back();
        for (candidate_t const& c : graph.results(0))
            before.back().push_back(c.slot);
    }
    char path[] = "/tmp/korvane_view_XXXXXX";
    int descriptor = ::mkstemp(path);
    ASSERT_EQ(::write(descriptor, "x", 1), 1);
    ::close(descriptor);
    memory_mapped_file_t file(path);
    ASSERT_FALSE(file.open_if_not());
    graph.adopt_mapped_file(std::move(file));
    // Hold every lock: a search that took one would never finish.
    for (std::size_t slot = 0; slot != graph.size(); ++slot)
        graph.lock_node(slot);
    for (std::size_t q = 0; q != 20; ++q) {
        graph.find_nearest(built.points.bytes(q * 7), 10, l2_proxy_t{&built.points}, 0, 32, false);
        std::vector<slot_t> after;
        for (candidate_t const& c : graph.results(0))
            after.push_back(c.slot);
        EXPECT_EQ(after, before[q]);
    }
    std::remove(path);
}

namespace {

/// Table allocator that fails every request while `failing` is set; used to reach the out-of-memory paths.
struct switchable_allocator_t {
    static bool failing;
    using value_type = char;
    char* allocate(std::size_t count) const noexcept {
        return failing ? nullptr : aligned_allocator_gt<char, 64>{}.allocate(count);
    }
    void deallocate(char* pointer, std::size_t = 0) const noexcept { std::free(pointer); }
};
bool switchable_allocator_t::failing = false;

using fragile_graph_t = index_gt<float, unsigned long, unsigned int, switchable_allocator_t, memory_mapping_allocator_gt<64>>;

} // namespace

TEST(GraphFailures, ExhaustedTablesAreReportedNotRead) {
    points_t points = line_points({0, 1, 2});
    fragile_graph_t graph;
    ASSERT_TRUE(graph.try_reserve({3, 2, 2}));
    ASSERT_FALSE(graph.insert_node(0, points.bytes(0), l2_proxy_t{&points}, 0, 64, [](slot_t) {}).error);

    switchable_allocator_t::failing = true;
    EXPECT_FALSE(graph.try_reserve({10, 4, 4}));
    EXPECT_EQ(graph.capacity(), 3u);
    EXPECT_EQ(graph.contexts_count(), 2u);
    EXPECT_EQ(graph.node_at(0).key(), 0u);

    // Context 1 has never reserved its visited set, and now cannot: every operation on it fails cleanly.
    search_outcome_t search = graph.find_nearest(points.bytes(1), 1, l2_proxy_t{&points}, 1, 64, false);
    EXPECT_STREQ(search.error.release(), "Out of memory!");
    EXPECT_EQ(search.count, 0u);
    add_result_t insert = graph.insert_node(1, points.bytes(1), l2_proxy_t{&points}, 1, 64, [](slot_t) {});
    EXPECT_STREQ(insert.error.release(), "Out of memory!");
    EXPECT_EQ(graph.size(), 1u); // refused before a slot was claimed
    add_result_t relink = graph.relink_node(0, 5, points.bytes(2), l2_proxy_t{&points}, 1, 64, [](slot_t) {});
    EXPECT_STREQ(relink.error.release(), "Out of memory!");
    EXPECT_EQ(graph.node_at(0).key(), 0u);
    switchable_allocator_t::failing = false;

    ASSERT_FALSE(graph.insert_node(1, points.bytes(1), l2_proxy_t{&points}, 1, 64, [](slot_t) {}).error);
    search = graph.find_nearest(points.bytes(1), 2, l2_proxy_t{&points}, 1, 64, false);
    EXPECT_FALSE(search.error);
    EXPECT_EQ(search.count, 2u);
}

TEST(GraphConfig, ReconfiguringAfterReservationGrowsTheScratchBuffers) {
    points_t points = clustered_points(300, 4, 2, 17);
    graph_t graph({2, 2});
    ASSERT_TRUE(graph.try_reserve({points.size(), 1, 1}));
    ASSERT_FALSE(graph.reconfigure({8, 48}));
    for (std::size_t i = 0; i != points.size(); ++i)
        ASSERT_FALSE(graph.insert_node(i, points.bytes(i), l2_proxy_t{&points}, 0, 64, [](slot_t) {}).error);
    expect_sound_lists(graph);
    EXPECT_EQ(graph.find_nearest(points.bytes(5), 10, l2_proxy_t{&points}, 0, 64, false).count, 10u);
}
