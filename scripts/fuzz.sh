#!/usr/bin/env bash
# fuzz.sh: builds the libFuzzer targets with clang and runs each a while; fails on any crash, leak or undefined behaviour.
#   scripts/fuzz.sh [seconds_per_target]      default 60; two targets run at a time
# The kept corpus (tests/fuzz/corpus) is copied to a scratch directory first, so it never grows.
# A finding is left in build-fuzz/findings/<target>/: fix the fault, then keep the input in
# tests/fuzz/regressions/<target>/, where the ordinary test run replays it.
set -eu
cd "$(dirname "$0")/.."

seconds="${1:-60}"
targets=(settings words version json)
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKADRON_FUZZ=ON -DKADRON_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target "${targets[@]/#/kadron_fuzz_}"

# On tmpfs where there is one: the version target rewrites a file for every input.
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base="${TMPDIR:-/tmp}"
scratch="$(mktemp -d "$base/kadron-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

run_target() {
  local target="$1" dir="$scratch/$1"
  mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/tmp"
  cp tests/fuzz/corpus/"$target"/* "$dir/corpus/"
  # -timeout: an input that takes this long is a hang, and a finding too.
  TMPDIR="$dir/tmp" timeout -s KILL $((seconds + 120)) "$build/tests/fuzz/kadron_fuzz_$target" \
    -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1
}

report() {
  local target="$1" status="$2" dir="$scratch/$1"
  local runs
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")"
  echo "$target: ${runs:-?} executions in ${seconds} s, exit status $status"
  if [ "$status" -ne 0 ]; then
    rm -rf "$build/findings/$target"
    mkdir -p "$build/findings/$target"
    cp "$dir"/artifacts/* "$dir/log" "$build/findings/$target/" 2>/dev/null || true
    grep -m1 -A30 -E '^==[0-9]+==ERROR|runtime error|^SUMMARY' "$dir/log" || tail -30 "$dir/log"
    echo "$target: input and log kept in $build/findings/$target/"
  fi
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  batch=("${targets[@]:i:2}")
  pids=()
  for target in "${batch[@]}"; do
    run_target "$target" &
    pids+=($!)
  done
  for j in "${!batch[@]}"; do
    status=0
    wait "${pids[j]}" || status=$?
    report "${batch[j]}" "$status"
    [ "$status" -eq 0 ] || failed=1
  done
done
exit "$failed"
