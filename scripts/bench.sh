#!/usr/bin/env bash
# Fashion-MNIST side by side: korvane (C++ and Java; f32, f16, bf16, i8 storage), hnswlib and FAISS
# IndexHNSWFlat, all with M = 16, efConstruction = 128, ef in {10, 16, 32, 64, 128, 256}, k = 10, l2sq,
# a 2-threaded build and one search thread; then the kernel benchmarks. Prints the table and writes
# bench/results/fashion_mnist.txt and bench/results/fashion_mnist.png.
#
# A smaller run for trying things out: BENCH_BASE=5000 BENCH_QUERIES=500 scripts/bench.sh
# (it writes its results to build/bench/results instead, so that the committed full-size figures stay).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench

build=build/bench
base=${BENCH_BASE:-0}
queries=${BENCH_QUERIES:-0}
threads=2
efs=10,16,32,64,128,256
results=bench/results
if [ "$base" != 0 ] || [ "$queries" != 0 ]; then
  results=$build/results
fi
mkdir -p "$results" "$build/data"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_WITH_SANITIZERS=OFF -DKORVANE_WITH_JAVA=ON >/dev/null
targets=(ann_bench korvane_jni korvane_jar korvane_bench_java korvane_bench_jni)
[ -f bench/kernels_bench.cpp ] && targets+=(kernels_bench)
cmake --build "$build" --target "${targets[@]}"

data=$build/data
for name in train-images-idx3-ubyte t10k-images-idx3-ubyte; do
  if [ ! -s "$data/$name" ]; then
    gunzip -c "/usr/share/datasets/fashion-mnist/$name.gz" >"$data/$name.tmp"
    mv "$data/$name.tmp" "$data/$name"
  fi
done

ann=$build/bench/ann/ann_bench
figures=$build/fashion_mnist.tsv
graph=$build/korvane_f32.index
rm -f "$figures"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
# Within one process each engine searches the queries three times per ef and keeps its fastest pass:
# contention from other processes only ever slows a pass down.
common=(--data "$data" --base "$base" --queries "$queries" --threads "$threads" --ef "$efs" --passes 3
  --out "$figures")

"$ann" truth "${common[@]}"
"$ann" run "${common[@]}" --engine hnswlib
"$ann" run "${common[@]}" --engine faiss
"$ann" run "${common[@]}" --engine korvane-f32 --save "$graph"

# The Java run searches the graph the C++ run saved, so that both search the very same index, and runs right
# after it, so that both meet the machine in the same state. Between its passes it runs the C++ search loop on
# another copy of the graph in its own process: the Java/C++ target is measured on those pairs.
jar=$build/java/korvane.jar
java_bench() {
  java -Xmx4g -Djava.library.path="$build/jni:$build/bench/java" -cp "$jar:$build/bench/java/korvane-bench.jar" \
    quarn.vemo.korvane.bench.AnnBench "${common[@]}" --graph "$graph" "$@"
}
java_bench

for scalar in f16 bf16 i8; do
  "$ann" run "${common[@]}" --engine "korvane-$scalar"
done

# Further rounds of the engines the targets compare (hnswlib, korvane f32 in C++ and in Java); the report takes,
# for each ef, the median of an engine's rounds: how fast one process runs here depends on the machine's state
# during its turn (the same search varies by up to +-20% from one process to the next, in both directions), so
# a ratio must not rest on one process of each side. korvane searches the saved graph again; hnswlib builds anew
# (its build time is the median of its builds, korvane's that of its one build).
rounds=${BENCH_ROUNDS:-3}
for ((round = 2; round <= rounds; ++round)); do
  "$ann" run "${common[@]}" --engine hnswlib
  "$ann" run "${common[@]}" --engine korvane-f32 --load "$graph"
  java_bench --build no
done

txt=$results/fashion_mnist.txt
png=$results/fashion_mnist.png
"$ann" report --in "$figures" --txt "$txt" --plot-data "$build/fashion_mnist.dat" \
  --plot-script "$build/fashion_mnist.gp" --png "$png" >/dev/null
gnuplot "$build/fashion_mnist.gp"

{
  echo "Fashion-MNIST: base $( [ "$base" = 0 ] && echo 60000 || echo "$base"), queries $( [ "$queries" = 0 ] && echo 10000 || echo "$queries"), k = 10, l2sq, M = 16, efConstruction = 128"
  echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; $(date -u +%Y-%m-%d)"
  echo "Load average (1, 5, 15 min) before the engines ran: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  cat "$txt"
  if [ -x "$build/bench/kernels_bench" ]; then
    echo
    echo "Kernels at n = 784, cache-hot (Google Benchmark, median of 9 interleaved repetitions;"
    echo "reference_dot_f32 is a plain four-accumulator AVX2 FMA loop)"
    scripts/kernel_ratios.sh "$build/bench/kernels_bench"
  fi
} >"$txt.tmp"
mv "$txt.tmp" "$txt"
cat "$txt"
echo
echo "Wrote $txt and $png"
