#!/usr/bin/env bash
# Builds the project under AddressSanitizer + UndefinedBehaviorSanitizer and
# runs every test; smoke-runs each benchmark once and each fuzz target briefly.
# The log ends on the wall time of each phase and the slowest tests.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
build=build-test
fuzz_build=build-fuzz
fuzz_budget=${FUZZ_BUDGET_SECONDS:-180}   # all fuzz targets together
fuzz_max=${FUZZ_MAX_SECONDS:-30}          # one target at most

# Wall time and processor time (user + system of the commands run) per
# phase, printed at the end (also when a phase fails). On a shared machine the
# processor time is the steadier figure.
phase_names=()
phase_secs=()
phase_cpus=()
phase_name=""
phase_start=0
phase_cpu=0
run_start=$SECONDS
times_file=$(mktemp)
children_cpu() {
  # Sets cpu to the second line of `times`: the children's user and system
  # seconds (run in this shell: a subshell would see only its own children).
  times > "$times_file"
  cpu=$(sed -n 2p "$times_file" | awk '{ n = 0; for (i = 1; i <= 2; ++i) { split($i, a, /[ms]/); n += a[1] * 60 + a[2] } printf "%d", n }')
}
phase() {
  local now=$SECONDS cpu
  children_cpu
  if [ -n "$phase_name" ]; then
    phase_names+=("$phase_name")
    phase_secs+=($(( now - phase_start )))
    phase_cpus+=($(( cpu - phase_cpu )))
  fi
  phase_name=$1
  phase_start=$now
  phase_cpu=$cpu
  [ -n "$phase_name" ] && echo "== $phase_name"
  return 0
}
report_times() {
  local status=$?
  phase ""
  echo "== time per phase (wall, processor)"
  local i
  for i in "${!phase_names[@]}"; do
    printf '%6ds %7ds  %s\n' "${phase_secs[$i]}" "${phase_cpus[$i]}" "${phase_names[$i]}"
  done
  local cpu
  children_cpu
  rm -f "$times_file"
  printf '%6ds %7ds  total\n' $(( SECONDS - run_start )) "$cpu"
  if [ -s "${ctest_log:-}" ]; then
    echo "== 15 slowest tests"
    # ctest lines: "  12/345 Test  #67: name ......   Passed    1.23 sec"
    sed -n 's/^.*Test *#[0-9]*: \([^ ]*\) .* \([0-9.]*\) sec$/\2 \1/p' "$ctest_log" |
      sort -rn | awk 'NR <= 15' | awk '{ printf "%8.2fs  %s\n", $1, $2 }'
    sed -n 's/^.*Test *#[0-9]*: [^ ]* .* \([0-9.]*\) sec$/\1/p' "$ctest_log" | sort -n |
      awk '{ t[NR] = $1; s += $1 } END { if (NR) printf "%d tests, median %.2fs, mean %.2fs\n", NR, t[int((NR + 1) / 2)], s / NR }'
  fi
  # The run's own status, not that of the report's last command.
  exit "$status"
}
trap report_times EXIT

phase "configure ($build, sanitizers on)"
cmake -S . -B "$build" -G Ninja -DPROJECT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
phase "build ($build)"
cmake --build "$build" -j"$jobs"

phase "benchmarks (one short run each, no ratio asserted)"
BUILD_DIR="$build" BENCH_JOBS="$jobs" bench/run --benchmark_min_time=0.001

if command -v clang++ >/dev/null 2>&1; then
  phase "configure ($fuzz_build)"
  CC=clang CXX=clang++ cmake -S . -B "$fuzz_build" -G Ninja -DPROJECT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  phase "build ($fuzz_build)"
  cmake --build "$fuzz_build" --target fuzzers -j"$jobs"
  phase "fuzz runs"
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

phase "tests"
ctest_log="$build/ctest.log"
# Twice the cores: a test process spends most of its time waiting (loopback
# servers, timers, appsim children) after a short burst of start-up work.
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(( jobs * 2 ))" | tee "$ctest_log"
