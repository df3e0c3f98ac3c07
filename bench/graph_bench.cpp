// Graph costs: building, and base-level search with its neighbour lists copied under node locks versus the
// same graph marked immutable (as a viewed file is), where lists are copied without locks.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "index/index_gt.h"

namespace {

using namespace vemo::korvane;
using graph_t = index_gt<float, unsigned long, unsigned int, aligned_allocator_gt<char, 64>, memory_mapping_allocator_gt<64>>;

constexpr std::size_t dims_k = 32, count_k = 20000, clusters_k = 50;

struct space_t {
    std::vector<float> values;
    float const* row(std::size_t i) const { return values.data() + i * dims_k; }
    char const* bytes(std::size_t i) const { return reinterpret_cast<char const*>(row(i)); }
};

float squared_l2(float const* a, float const* b) {
    float sum = 0;
    for (std::size_t i = 0; i != dims_k; ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum;
}

struct proxy_t {
    space_t const* space;
    float operator()(char const* query, unsigned slot) const {
        return squared_l2(reinterpret_cast<float const*>(query), space->row(slot));
    }
    float operator()(unsigned a, unsigned b) const { return squared_l2(space->row(a), space->row(b)); }
};

space_t const& points() {
    static space_t space = [] {
        std::mt19937 random(1);
        std::uniform_real_distribution<float> uniform(-10, 10);
        std::normal_distribution<float> normal(0, 1);
        std::vector<float> centres(clusters_k * dims_k);
        for (float& value : centres)
            value = uniform(random);
        space_t result;
        result.values.resize(count_k * dims_k);
        for (std::size_t i = 0; i != count_k; ++i) {
            std::size_t const cluster = random() % clusters_k;
            for (std::size_t d = 0; d != dims_k; ++d)
                result.values[i * dims_k + d] = centres[cluster * dims_k + d] + normal(random);
        }
        return result;
    }();
    return space;
}

std::unique_ptr<graph_t> build(std::size_t threads) {
    auto graph = std::make_unique<graph_t>();
    graph->try_reserve({count_k, threads, threads});
    for (std::size_t i = 0; i != count_k; ++i)
        graph->insert_node(i, points().bytes(i), proxy_t{&points()}, 0, 128, [](unsigned) {});
    return graph;
}

graph_t& shared_graph(bool immutable) {
    static std::unique_ptr<graph_t> locked = build(2);
    static std::unique_ptr<graph_t> unlocked = [] {
        std::unique_ptr<graph_t> graph = build(2);
        char path[] = "/tmp/korvane_bench_XXXXXX";
        int descriptor = ::mkstemp(path);
        if (::write(descriptor, "x", 1) != 1)
            std::abort();
        ::close(descriptor);
        memory_mapped_file_t file(path);
        if (file.open_if_not())
            std::abort();
        graph->adopt_mapped_file(std::move(file));
        std::remove(path);
        return graph;
    }();
    return immutable ? *unlocked : *locked;
}

void search(benchmark::State& state, bool immutable) {
    graph_t& graph = shared_graph(immutable);
    std::size_t const thread = static_cast<std::size_t>(state.thread_index());
    std::size_t query = thread * 7919, hops = 0;
    for (auto _ : state) {
        search_outcome_t outcome =
            graph.find_nearest(points().bytes(query % count_k), 10, proxy_t{&points()}, thread, 64, false);
        hops += outcome.hop_count;
        benchmark::DoNotOptimize(outcome.count);
        query += 31;
    }
    state.counters["hops"] = benchmark::Counter(double(hops), benchmark::Counter::kAvgIterations);
}

void BM_search_locked_lists(benchmark::State& state) { search(state, false); }
void BM_search_unlocked_lists(benchmark::State& state) { search(state, true); }

void BM_build(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(build(1)->size());
    state.SetItemsProcessed(state.iterations() * count_k);
}

} // namespace

BENCHMARK(BM_search_locked_lists)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_search_unlocked_lists)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_build)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
