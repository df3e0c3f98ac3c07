#!/usr/bin/env bash
# Installs, from Debian packages and only when missing, what the build, the tests, the demo and the
# benchmarks need. Usage: scripts/setup.sh [test|demo|bench]... (no argument: test).
set -euo pipefail

want=(g++ cmake ninja-build libgtest-dev libbenchmark-dev openjdk-17-jdk-headless junit5)
for goal in "${@:-test}"; do
  case "$goal" in
    test) want+=(clang-14 libclang-rt-14-dev) ;;
    demo) want+=(dataset-fashion-mnist) ;;
    bench) want+=(dataset-fashion-mnist libhnswlib-dev libfaiss-dev gnuplot-nox linux-perf) ;;
    *) echo "setup.sh: unknown goal '$goal' (test, demo, bench)" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in $(printf '%s\n' "${want[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "setup.sh: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
