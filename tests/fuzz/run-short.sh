#!/usr/bin/env bash
# A short, bounded fuzzing run for CI: builds the libFuzzer target with clang++
# (ASan and UBSan), makes the seed corpus and fuzzes for at most 60 seconds.
# Exits 0 without fuzzing when clang++ is missing. Any crash, hang, leak or broken
# check fails the run and leaves the input in <build dir>/artifacts/.
# Usage: run-short.sh [seconds (default and maximum 60)] [build dir (default build-fuzz)]
set -euo pipefail
cd "$(dirname "$0")/../.."
max_seconds=60
seconds=${1:-$max_seconds}
build=${2:-build-fuzz}
if [ "$seconds" -gt "$max_seconds" ]; then
    seconds=$max_seconds
fi

if ! command -v clang++ >/dev/null 2>&1; then
    echo "run-short.sh: clang++ not found, fuzzing skipped"
    exit 0
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DTOVRA_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target archive_fuzzer tovra >/dev/null

seeds="$build/fuzz-seeds"
corpus="$build/fuzz-corpus"
artifacts="$build/artifacts"
rm -rf "$seeds"
mkdir -p "$corpus" "$artifacts"
tests/fuzz/make_seeds.sh "$build/tovra" "$seeds" >/dev/null

# The kept regression inputs seed the run too, so old findings are retried first.
"$build/tests/fuzz/archive_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$seeds" tests/fuzz/regressions </dev/null
