// Concurrent insertions and searches on one graph, each thread with its own context. Built to run under
// ThreadSanitizer as well: every read of shared graph state must be ordered after its write.

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include "graph_fixture.h"

using namespace graph_test;

namespace {

/// Slots are numbered in the order insertions claim them, not in point order, so the metric maps each slot
/// to its point through a table the insertion callback fills.
struct stress_space_t {
    points_t points;
    std::vector<unsigned> point_of_slot;
    std::atomic<bool> unmapped_slot_seen{false};

    float const* row(slot_t slot) {
        unsigned const point = point_of_slot[slot];
        if (point == UINT_MAX) {
            unmapped_slot_seen = true;
            return points.row(0);
        }
        return points.row(point);
    }
};

struct stress_proxy_t {
    stress_space_t* space;
    float operator()(char const* query, slot_t slot) const {
        return squared_l2(reinterpret_cast<float const*>(query), space->row(slot), space->points.dims);
    }
    float operator()(slot_t a, slot_t b) const {
        return squared_l2(space->row(a), space->row(b), space->points.dims);
    }
};

} // namespace

TEST(GraphStress, ConcurrentInsertionsAndSearches) {
    constexpr std::size_t count = 2000, inserters = 2, searchers = 2, wanted = 10;
    stress_space_t space;
    space.points = clustered_points(count, 8, 12, 2024);
    space.point_of_slot.assign(count, UINT_MAX);

    graph_t graph;
    ASSERT_TRUE(graph.try_reserve({count, inserters, inserters + searchers}));
    stress_proxy_t metric{&space};

    std::atomic<std::size_t> next_point{0};
    std::atomic<std::size_t> inserting{inserters};
    std::atomic<std::size_t> insert_failures{0}, search_faults{0}, searches{0};

    std::vector<std::thread> threads;
    for (std::size_t thread = 0; thread != inserters; ++thread)
        threads.emplace_back([&, thread] {
            for (std::size_t point; (point = next_point.fetch_add(1)) < count;) {
                add_result_t result = graph.insert_node(point, space.points.bytes(point), metric, thread, 64,
                                                        [&](slot_t slot) { space.point_of_slot[slot] = unsigned(point); });
                if (result.error) {
                    result.error.release();
                    ++insert_failures;
                }
            }
            --inserting;
        });
    // Searchers start on the empty graph, so some of them race the very first insertion.
    for (std::size_t thread = inserters; thread != inserters + searchers; ++thread)
        threads.emplace_back([&, thread] {
            std::size_t round = 0;
            while (inserting.load() || round < 50) {
                std::size_t const query = (round * 37 + thread) % count;
                bool const exact = round % 4 == 0;
                search_outcome_t outcome = graph.find_nearest(space.points.bytes(query), wanted, metric, thread, 32, exact);
                ++round;
                if (outcome.error) {
                    outcome.error.release();
                    ++search_faults;
                    continue;
                }
                span_gt<candidate_t const> found = graph.results(thread);
                bool sound = outcome.count <= wanted && found.size() == outcome.count;
                for (std::size_t i = 0; sound && i != found.size(); ++i) {
                    sound = found[i].slot < graph.size() && (i == 0 || found[i - 1].distance <= found[i].distance) &&
                            found[i].distance == metric(space.points.bytes(query), found[i].slot);
                    for (std::size_t j = 0; sound && j != i; ++j)
                        sound = found[j].slot != found[i].slot;
                }
                search_faults += !sound;
            }
            searches += round;
        });
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(insert_failures.load(), 0u);
    EXPECT_EQ(search_faults.load(), 0u);
    EXPECT_FALSE(space.unmapped_slot_seen.load());
    EXPECT_GE(searches.load(), 100u);
    ASSERT_EQ(graph.size(), count);
    expect_sound_lists(graph);
    EXPECT_EQ(reachable_count(graph), count);

    double total = 0;
    std::size_t const queries = 100;
    for (std::size_t q = 0; q != queries; ++q) {
        char const* query = space.points.bytes(q * 19);
        ASSERT_EQ(graph.find_nearest(query, wanted, metric, 0, 64, true).count, wanted);
        std::vector<slot_t> truth;
        for (candidate_t const& c : graph.results(0))
            truth.push_back(c.slot);
        ASSERT_EQ(graph.find_nearest(query, wanted, metric, 0, 64, false).count, wanted);
        total += recall(graph.results(0), truth);
    }
    EXPECT_GE(total / queries, 0.95);
}
