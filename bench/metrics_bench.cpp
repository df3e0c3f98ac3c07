// The metric layer on its hot paths, cache-hot: one distance through metric_punned_t next to the same
// kernel called directly (the cost of the adapter), the built-in formulas, and the conversions that run
// on every insertion and search. items_per_second counts scalars.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/kernel_lookup.h"
#include "metrics/casts.h"
#include "metrics/metric_punned.h"

namespace {

using namespace vemo::korvane;

std::vector<float> random_floats(std::size_t n, unsigned seed, float low = -1, float high = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> distribution(low, high);
    std::vector<float> values(n);
    for (float& value : values)
        value = distribution(rng);
    return values;
}

/// Both vectors converted into the stored kind of the metric.
struct stored_pair_t {
    std::vector<std::byte> a, b;
};

stored_pair_t stored_pair(std::size_t n, scalar_kind_t kind, float low = -1, float high = 1) {
    std::vector<float> const a = random_floats(n, 1, low, high), b = random_floats(n, 2, low, high);
    casts_punned_t const casts = casts_punned_t::make(kind);
    std::size_t const bytes = bytes_per_vector(n, kind);
    stored_pair_t pair{std::vector<std::byte>(bytes), std::vector<std::byte>(bytes)};
    auto const* input_a = reinterpret_cast<std::byte const*>(a.data());
    auto const* input_b = reinterpret_cast<std::byte const*>(b.data());
    if (!casts.import_f32(input_a, n, pair.a.data()))
        std::memcpy(pair.a.data(), input_a, pair.a.size());
    if (!casts.import_f32(input_b, n, pair.b.data()))
        std::memcpy(pair.b.data(), input_b, pair.b.size());
    return pair;
}

void metric_call(benchmark::State& state, metric_kind_t metric_kind, scalar_kind_t scalar_kind) {
    std::size_t const n = std::size_t(state.range(0));
    bool const probabilities = metric_kind == metric_kind_t::divergence;
    stored_pair_t const pair = stored_pair(n, scalar_kind, probabilities ? 0.f : -1.f, 1.f);
    metric_punned_t const metric = metric_punned_t::builtin(n, metric_kind, scalar_kind);
    if (!metric.has_function()) {
        state.SkipWithError("no function");
        return;
    }
    for (auto _ : state) {
        float const distance = metric(pair.a.data(), pair.b.data());
        benchmark::DoNotOptimize(distance);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
    state.SetLabel(metric.capability() == vexlane_cap_haswell ? "haswell" : "serial");
}

/// The same kernel the metric chose, called through its pointer without the adapter.
void direct_kernel_call(benchmark::State& state, metric_kind_t metric_kind, scalar_kind_t scalar_kind) {
    std::size_t const n = std::size_t(state.range(0));
    stored_pair_t const pair = stored_pair(n, scalar_kind);
    auto const kernel = reinterpret_cast<vexlane_metric_dense_punned_t>(
        metric_punned_t::builtin(n, metric_kind, scalar_kind).kernel());
    for (auto _ : state) {
        vexlane_distance_t distance;
        kernel(pair.a.data(), pair.b.data(), n, &distance);
        benchmark::DoNotOptimize(distance);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void conversion(benchmark::State& state, scalar_kind_t stored, bool import) {
    std::size_t const n = std::size_t(state.range(0));
    casts_punned_t const casts = casts_punned_t::make(stored);
    std::vector<float> const floats = random_floats(n, 3);
    std::vector<std::byte> stored_bytes(bytes_per_vector(n, stored));
    casts.import_f32(reinterpret_cast<std::byte const*>(floats.data()), n, stored_bytes.data());
    std::vector<float> back(n);
    for (auto _ : state) {
        if (import)
            casts.import_f32(reinterpret_cast<std::byte const*>(floats.data()), n, stored_bytes.data());
        else
            casts.export_f32(stored_bytes.data(), n, reinterpret_cast<std::byte*>(back.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void sizes(benchmark::internal::Benchmark* benchmark) { benchmark->Arg(128)->Arg(784)->Arg(1536); }

} // namespace

BENCHMARK_CAPTURE(metric_call, l2sq_f32, metric_kind_t::l2sq, scalar_kind_t::f32)->Apply(sizes);
BENCHMARK_CAPTURE(direct_kernel_call, l2sq_f32, metric_kind_t::l2sq, scalar_kind_t::f32)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, ip_f32, metric_kind_t::ip, scalar_kind_t::f32)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, cos_f32, metric_kind_t::cos, scalar_kind_t::f32)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, cos_f16, metric_kind_t::cos, scalar_kind_t::f16)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, cos_i8, metric_kind_t::cos, scalar_kind_t::i8)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, hamming_b1x8, metric_kind_t::hamming, scalar_kind_t::b1x8)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, sorensen_b1x8, metric_kind_t::sorensen, scalar_kind_t::b1x8)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, pearson_f32, metric_kind_t::pearson, scalar_kind_t::f32)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, pearson_f16, metric_kind_t::pearson, scalar_kind_t::f16)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, divergence_f32, metric_kind_t::divergence, scalar_kind_t::f32)->Apply(sizes);
BENCHMARK_CAPTURE(metric_call, haversine_f32, metric_kind_t::haversine, scalar_kind_t::f32)->Arg(2);
BENCHMARK_CAPTURE(conversion, import_f32_to_f16, scalar_kind_t::f16, true)->Apply(sizes);
BENCHMARK_CAPTURE(conversion, export_f16_to_f32, scalar_kind_t::f16, false)->Apply(sizes);
BENCHMARK_CAPTURE(conversion, import_f32_to_bf16, scalar_kind_t::bf16, true)->Apply(sizes);
BENCHMARK_CAPTURE(conversion, export_bf16_to_f32, scalar_kind_t::bf16, false)->Apply(sizes);
BENCHMARK_CAPTURE(conversion, import_f32_to_i8, scalar_kind_t::i8, true)->Apply(sizes);
BENCHMARK_CAPTURE(conversion, export_i8_to_f32, scalar_kind_t::i8, false)->Apply(sizes);
BENCHMARK_CAPTURE(conversion, import_f32_to_b1x8, scalar_kind_t::b1x8, true)->Apply(sizes);
BENCHMARK_CAPTURE(conversion, import_f32_to_f64, scalar_kind_t::f64, true)->Apply(sizes);
BENCHMARK_MAIN();
