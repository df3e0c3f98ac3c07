#!/usr/bin/env bash
# Builds the library and the jar, then indexes Fashion-MNIST from Java: 60,000 training images added from
# several threads, 10,000 test queries, recall@10 against exact neighbours, build time, queries per second
# and memory. Installs what it needs on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo

build=${KORVANE_DEMO_BUILD:-build/demo}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_WITH_SANITIZERS=OFF -DKORVANE_WITH_JAVA=ON >/dev/null
cmake --build "$build" --target korvane_jar korvane_demo

train=$(dpkg -L dataset-fashion-mnist | grep '/train-images-idx3-ubyte.gz$')
data=$(dirname "$train")
exec java -Xmx3g -cp "$build/java/korvane.jar:$build/examples/korvane-demo.jar" \
  quarn.vemo.korvane.examples.FashionMnist --data "$data" --cache "$build"
