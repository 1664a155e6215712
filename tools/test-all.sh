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
    # Targets run side by side, one per core; the budget covers all rounds.
    rounds=$(( (${#fuzzers[@]} + jobs - 1) / jobs ))
    per=$(( fuzz_budget / rounds ))
    [ "$per" -gt "$fuzz_max" ] && per=$fuzz_max
    [ "$per" -lt 1 ] && per=1
    echo "-- ${#fuzzers[@]} targets, ${per}s each, $jobs at a time"
    run_fuzzer() {
      local f=$1 name corpus seeds
      name=$(basename "$f")
      corpus="$fuzz_build/corpus/$name"
      seeds="fuzz/corpus/${name%_fuzz}"
      mkdir -p "$corpus"
      local args=(-max_total_time="$per" -print_final_stats=0 -detect_leaks=1 "$corpus")
      [ -d "$seeds" ] && args+=("$seeds")
      [ -f "fuzz/${name%_fuzz}.dict" ] && args+=("-dict=fuzz/${name%_fuzz}.dict")
      if "$f" "${args[@]}" >"$fuzz_build/$name.log" 2>&1; then
        echo "-- $name: no crash, leak or sanitizer report"
      else
        echo "-- $name FAILED:"
        tail -50 "$fuzz_build/$name.log"
        return 1
      fi
    }
    pids=()
    failed=0
    for f in "${fuzzers[@]}"; do
      run_fuzzer "$f" &
      pids+=($!)
      if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
      fi
    done
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    [ "$failed" -eq 0 ] || exit 1
  fi
else
  echo "== fuzz targets skipped: clang++ not found"
fi

echo "== tests"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"
