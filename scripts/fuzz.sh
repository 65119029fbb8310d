#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the fuzz targets (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, clang 14) in build-fuzz/, writes their seed
# corpora from the test fixtures, and runs every target for a while:
#
#   scripts/fuzz.sh                      30 seconds per target (CI)
#   scripts/fuzz.sh --time 3600          an hour per target
#   scripts/fuzz.sh --time 600 survey    only the named targets
#
# Corpora grow in build-fuzz/corpus/<target> and are kept between runs;
# inputs that crash are saved in build-fuzz/artifacts/. Prints the
# executions of each target and fails when any target finds a crash.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz
seconds=30
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --time) seconds=${2:?--time needs a number of seconds}; shift 2 ;;
    --time=*) seconds=${1#--time=}; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(survey spl_dtb machine boot_header content)

bash "$top/scripts/deps.sh" clang-14 libclang-rt-14-dev
CC=clang-14 CXX=clang++-14 cmake -S "$top/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

rm -rf "$build/seeds"
"$build/make-seeds" "$build/seeds"
mkdir -p "$build/artifacts"

# Largest input per target: whole images for the flash and SPL targets.
max_len() {
  case $1 in
    survey|spl_dtb) echo 65536 ;;
    machine) echo 16384 ;;
    *) echo 8192 ;;
  esac
}

failed=0
summary=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  log=$build/$target.log
  mkdir -p "$corpus"
  echo "fuzzing $target for ${seconds}s"
  status=0
  "$build/${target}_fuzz" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
    -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "$corpus" "$build/seeds/$target" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -ne 0 ]; then
    failed=1
    tail -40 "$log"
    summary+=("$(printf '%-12s %12s executions  FAILED (status %s, see %s)' "$target" "${runs:-?}" "$status" "$log")")
  else
    summary+=("$(printf '%-12s %12s executions  %5s corpus files  no findings' "$target" "$runs" \
      "$(find "$corpus" -type f | wc -l)")")
  fi
done
printf '%s\n' "${summary[@]}"
exit "$failed"
