// File costs of one index of 20,000 vectors of 64 f32 dimensions: saving (through a temporary file, with
// the flush, the sync and the rename), loading into the index's own arenas, and viewing in place, which
// is dominated by the validation of every neighbour list.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/index_dense_persistence.h"

namespace {

using namespace vemo::korvane;

constexpr std::size_t dims_k = 64, count_k = 20000;

std::string const& file_path() {
    static std::string const path = "/tmp/korvane-persistence-bench-" + std::to_string(::getpid()) + ".bin";
    return path;
}

index_dense_t make_empty() {
    auto state = index_dense_t::make(metric_punned_t::builtin(dims_k, metric_kind_t::l2sq, scalar_kind_t::f32));
    if (state.error)
        throw std::runtime_error(state.error.release());
    index_dense_t index(std::move(state.index));
    if (!index.try_reserve({count_k, 2, 2}))
        throw std::runtime_error("reservation failed");
    return index;
}

index_dense_t& built_index() {
    static index_dense_t index = [] {
        index_dense_t made = make_empty();
        std::mt19937 random(3);
        std::normal_distribution<float> normal(0, 1);
        std::vector<float> vector(dims_k);
        for (std::size_t i = 0; i != count_k; ++i) {
            for (float& value : vector)
                value = normal(random);
            if (made.add(i, vector.data()).error)
                throw std::runtime_error("add failed");
        }
        return made;
    }();
    return index;
}

std::size_t saved_bytes() {
    output_file_t file(file_path().c_str());
    if (built_index().save(file).error)
        throw std::runtime_error("save failed");
    std::FILE* stream = std::fopen(file_path().c_str(), "rb");
    std::fseek(stream, 0, SEEK_END);
    long const size = std::ftell(stream);
    std::fclose(stream);
    return static_cast<std::size_t>(size);
}

void save(benchmark::State& state) {
    std::size_t const bytes = saved_bytes();
    for (auto _ : state) {
        output_file_t file(file_path().c_str());
        serialization_result_t result = built_index().save(file);
        if (result.error)
            state.SkipWithError(result.error.release());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void load(benchmark::State& state) {
    std::size_t const bytes = saved_bytes();
    index_dense_t index = make_empty();
    for (auto _ : state) {
        input_file_t file(file_path().c_str());
        serialization_result_t result = index.load(file);
        if (result.error)
            state.SkipWithError(result.error.release());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void view(benchmark::State& state) {
    std::size_t const bytes = saved_bytes();
    index_dense_t index = make_empty();
    for (auto _ : state) {
        serialization_result_t result = index.view(memory_mapped_file_t(file_path().c_str()));
        if (result.error)
            state.SkipWithError(result.error.release());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    std::remove(file_path().c_str());
}

BENCHMARK(save)->Unit(benchmark::kMillisecond);
BENCHMARK(load)->Unit(benchmark::kMillisecond);
BENCHMARK(view)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
