#!/usr/bin/env bash
# The haswell dot, l2sq and cos kernels at n = 784 against the reference loop of bench/kernels_bench (a plain
# four-accumulator AVX2 FMA f32 dot product), as the median of interleaved repetitions, with each kernel's
# time as a multiple of the reference's. Usage: scripts/kernel_ratios.sh [path/to/kernels_bench]
set -euo pipefail
bench=${1:-build/bench/bench/kernels_bench}
"$bench" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.1 \
  --benchmark_filter='^(reference_dot_f32|haswell_(dot|l2sq|cos)_(f32|f16|bf16|i8))/784$' 2>/dev/null |
  awk '
    $1 ~ /_median$/ {
      name = $1; sub(/\/784_median$/, "", name)
      ns = $2; if ($3 == "us") ns *= 1000
      time[name] = ns
    }
    END {
      reference = time["reference_dot_f32"]
      printf "%-22s %10s %12s\n", "kernel (n = 784)", "median ns", "x reference"
      printf "%-22s %10.1f %12.2f\n", "reference_dot_f32", reference, 1
      split("dot l2sq cos", families, " "); split("f32 f16 bf16 i8", types, " ")
      for (f = 1; f <= 3; ++f)
        for (t = 1; t <= 4; ++t) {
          name = "haswell_" families[f] "_" types[t]
          if (name in time)
            printf "%-22s %10.1f %12.2f\n", name, time[name], time[name] / reference
        }
    }'
