#!/usr/bin/env bash
# Builds the project under AddressSanitizer + UndefinedBehaviorSanitizer and
# runs every test; smoke-runs each benchmark once and each fuzz target briefly.
# The log ends on ctest's own summary.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
build=build-test
fuzz_build=build-fuzz
fuzz_budget=${FUZZ_BUDGET_SECONDS:-180}   # all fuzz targets together
fuzz_max=${FUZZ_MAX_SECONDS:-30}          # one target at most

echo "== configure and build ($build, sanitizers on)"
cmake -S . -B "$build" -G Ninja -DPROJECT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j"$jobs"

echo "== benchmarks (one short run each, no ratio asserted)"
BUILD_DIR="$build" bench/run --benchmark_min_time=0.001

if command -v clang++ >/dev/null 2>&1; then
  echo "== fuzz targets ($fuzz_build)"
  CC=clang CXX=clang++ cmake -S . -B "$fuzz_build" -G Ninja -DPROJECT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$fuzz_build" --target fuzzers -j"$jobs"
  mapfile -t fuzzers < <(find "$fuzz_build/fuzz" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort)
  if [ ${#fuzzers[@]} -gt 0 ]; then
    per=$(( fuzz_budget / ${#fuzzers[@]} ))
    [ "$per" -gt "$fuzz_max" ] && per=$fuzz_max
    [ "$per" -lt 1 ] && per=1
    for f in "${fuzzers[@]}"; do
      name=$(basename "$f")
      corpus="$fuzz_build/corpus/$name"
      mkdir -p "$corpus"
      seeds="fuzz/corpus/${name%_fuzz}"
      echo "-- $name for ${per}s"
      args=(-max_total_time="$per" -print_final_stats=0 -detect_leaks=1)
      if [ -d "$seeds" ]; then "$f" "${args[@]}" "$corpus" "$seeds" 2>"$fuzz_build/$name.log" || { tail -50 "$fuzz_build/$name.log"; exit 1; }
      else "$f" "${args[@]}" "$corpus" 2>"$fuzz_build/$name.log" || { tail -50 "$fuzz_build/$name.log"; exit 1; }
      fi
    done
  fi
else
  echo "== fuzz targets skipped: clang++ not found"
fi

echo "== tests"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"
