// Every haswell kernel of the implementation table beside its serial twin (the approximate build the exported
// entry points use), cache-hot, at n = 128, 784 and 1536, and a plain four-accumulator AVX2 FMA f32 dot
// product as the yardstick. items_per_second counts elements (complex numbers for complex datatypes).

#include <benchmark/benchmark.h>

#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/half.h"
#include "kernels/kernel_lookup.h"

namespace {

using namespace vemo::korvane;

float reference_dot_f32(float const* a, float const* b, std::size_t n) {
    __m256 sum0 = _mm256_setzero_ps(), sum1 = _mm256_setzero_ps(), sum2 = _mm256_setzero_ps(),
           sum3 = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        sum0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), sum0);
        sum1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), sum1);
        sum2 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16), sum2);
        sum3 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24), sum3);
    }
    for (; i + 8 <= n; i += 8)
        sum0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), sum0);
    __m256 const sum = _mm256_add_ps(_mm256_add_ps(sum0, sum1), _mm256_add_ps(sum2, sum3));
    __m128 half = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    half = _mm_hadd_ps(half, half);
    half = _mm_hadd_ps(half, half);
    float total = _mm_cvtss_f32(half);
    for (; i != n; ++i)
        total += a[i] * b[i];
    return total;
}

std::size_t const lengths[] = {128, 784, 1536};

/// Scalars per element and bytes per scalar.
std::size_t scalar_bytes(vexlane_datatype_t datatype) {
    switch (datatype) {
    case vexlane_datatype_f64:
    case vexlane_datatype_f64c: return 8;
    case vexlane_datatype_f32:
    case vexlane_datatype_f32c: return 4;
    case vexlane_datatype_f16:
    case vexlane_datatype_bf16:
    case vexlane_datatype_f16c:
    case vexlane_datatype_bf16c: return 2;
    default: return 1;
    }
}

bool is_complex(vexlane_datatype_t datatype) {
    return datatype == vexlane_datatype_f64c || datatype == vexlane_datatype_f32c ||
           datatype == vexlane_datatype_f16c || datatype == vexlane_datatype_bf16c;
}

/// Bytes of `count` scalars holding values in a range every family accepts: small positive numbers
/// (probabilities for the divergences, moderate for the integer kernels).
std::vector<std::uint8_t> make_values(vexlane_datatype_t datatype, std::size_t count, std::mt19937& random) {
    std::size_t const width = scalar_bytes(datatype);
    std::vector<std::uint8_t> bytes(count * width + 64);
    std::uniform_real_distribution<float> unit(0.01f, 1.0f);
    for (std::size_t i = 0; i != count; ++i) {
        float const value = unit(random);
        std::uint8_t* out = bytes.data() + i * width;
        switch (datatype) {
        case vexlane_datatype_f64:
        case vexlane_datatype_f64c: {
            double const wide = value;
            std::memcpy(out, &wide, 8);
            break;
        }
        case vexlane_datatype_f32:
        case vexlane_datatype_f32c: std::memcpy(out, &value, 4); break;
        case vexlane_datatype_f16:
        case vexlane_datatype_f16c: {
            std::uint16_t const half = f32_to_f16(value / static_cast<float>(count));
            std::memcpy(out, &half, 2);
            break;
        }
        case vexlane_datatype_bf16:
        case vexlane_datatype_bf16c: {
            std::uint16_t const brain = f32_to_bf16(value / static_cast<float>(count));
            std::memcpy(out, &brain, 2);
            break;
        }
        default: *out = static_cast<std::uint8_t>(random() % 100);
        }
    }
    return bytes;
}

struct row_t {
    char const* family;
    vexlane_metric_kind_t kind;
    char const* datatype_name;
    vexlane_datatype_t datatype;
};

void run_kernel(benchmark::State& state, row_t row, vexlane_kernel_punned_t kernel, std::size_t n) {
    std::mt19937 random(42);
    bool const curved = row.kind == vexlane_metric_bilinear || row.kind == vexlane_metric_mahalanobis;
    std::size_t const scalars = is_complex(row.datatype) ? 2 * n : n;
    std::vector<std::uint8_t> const a = make_values(row.datatype, scalars, random);
    std::vector<std::uint8_t> const b = make_values(row.datatype, scalars, random);
    std::vector<std::uint8_t> const c = make_values(row.datatype, curved ? scalars * n : scalars, random);
    std::vector<std::uint8_t> out(scalars * scalar_bytes(row.datatype) + 64);
    double result[2];
    for (auto _ : state) {
        switch (row.kind) {
        case vexlane_metric_bilinear:
        case vexlane_metric_mahalanobis:
            reinterpret_cast<vexlane_metric_curved_punned_t>(kernel)(a.data(), b.data(), c.data(), n, result);
            break;
        case vexlane_metric_fma:
            reinterpret_cast<vexlane_kernel_fma_punned_t>(kernel)(a.data(), b.data(), c.data(), n, 0.5, 0.25,
                                                                  out.data());
            benchmark::DoNotOptimize(out.data());
            break;
        case vexlane_metric_wsum:
            reinterpret_cast<vexlane_kernel_wsum_punned_t>(kernel)(a.data(), b.data(), n, 0.5, 0.25, out.data());
            benchmark::DoNotOptimize(out.data());
            break;
        default: reinterpret_cast<vexlane_metric_dense_punned_t>(kernel)(a.data(), b.data(), n, result);
        }
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n * (curved ? n : 1)));
}

void run_reference(benchmark::State& state, std::size_t n) {
    std::mt19937 random(42);
    std::vector<std::uint8_t> const a = make_values(vexlane_datatype_f32, n, random);
    std::vector<std::uint8_t> const b = make_values(vexlane_datatype_f32, n, random);
    for (auto _ : state) {
        float const dot = reference_dot_f32(reinterpret_cast<float const*>(a.data()),
                                            reinterpret_cast<float const*>(b.data()), n);
        benchmark::DoNotOptimize(dot);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

void register_all() {
    struct datatype_t {
        char const* name;
        vexlane_datatype_t code;
    };
    datatype_t const datatypes[] = {{"b8", vexlane_datatype_b8},     {"i8", vexlane_datatype_i8},
                                    {"u8", vexlane_datatype_u8},     {"f64", vexlane_datatype_f64},
                                    {"f32", vexlane_datatype_f32},   {"f16", vexlane_datatype_f16},
                                    {"bf16", vexlane_datatype_bf16}, {"f64c", vexlane_datatype_f64c},
                                    {"f32c", vexlane_datatype_f32c}, {"f16c", vexlane_datatype_f16c},
                                    {"bf16c", vexlane_datatype_bf16c}};
    struct family_t {
        char const* name;
        vexlane_metric_kind_t kind;
    };
    family_t const families[] = {{"dot", vexlane_metric_dot},         {"vdot", vexlane_metric_vdot},
                                 {"cos", vexlane_metric_cos},         {"l2sq", vexlane_metric_l2sq},
                                 {"l2", vexlane_metric_l2},           {"hamming", vexlane_metric_hamming},
                                 {"jaccard", vexlane_metric_jaccard}, {"kl", vexlane_metric_kl},
                                 {"js", vexlane_metric_js},           {"bilinear", vexlane_metric_bilinear},
                                 {"mahalanobis", vexlane_metric_mahalanobis}, {"fma", vexlane_metric_fma},
                                 {"wsum", vexlane_metric_wsum}};

    for (std::size_t n : lengths)
        benchmark::RegisterBenchmark(("reference_dot_f32/" + std::to_string(n)).c_str(),
                                     [n](benchmark::State& state) { run_reference(state, n); });

    bool const haswell_present = (detect_capabilities() & vexlane_cap_haswell) != 0;
    for (family_t const& family : families)
        for (datatype_t const& datatype : datatypes) {
            row_t const row{family.name, family.kind, datatype.name, datatype.code};
            vexlane_kernel_punned_t haswell = nullptr, serial = nullptr;
            vexlane_capability_t capability = 0;
            find_kernel(math_mode_t::approximate, row.kind, row.datatype, vexlane_cap_any, vexlane_cap_haswell,
                        &haswell, &capability);
            if (!haswell || !haswell_present)
                continue;
            find_kernel(math_mode_t::approximate, row.kind, row.datatype, vexlane_cap_any, vexlane_cap_serial,
                        &serial, &capability);
            for (std::size_t n : lengths)
                for (auto [implementation, kernel] : {std::pair{"haswell", haswell}, std::pair{"serial", serial}}) {
                    std::string const name = std::string(implementation) + "_" + row.family + "_" +
                                             row.datatype_name + "/" + std::to_string(n);
                    benchmark::RegisterBenchmark(name.c_str(), [row, kernel = kernel, n](benchmark::State& state) {
                        run_kernel(state, row, kernel, n);
                    });
                }
        }
}

} // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
