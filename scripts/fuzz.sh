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
#
# Debian's U-Boot builds, where tests/real/run has fetched them into
# build/debian, seed the image checks too: every set whole, and every file
# that starts with a boot header or a device tree.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz
seconds=30
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --time) seconds=${2:?--time needs a number of seconds}; shift 2 ;;
    --time=*) seconds=${1#--time=}; shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(survey spl_dtb machine boot_header content image_checks)

bash "$top/scripts/deps.sh" clang-14 libclang-rt-14-dev
CC=clang-14 CXX=clang++-14 cmake -S "$top/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# Largest input per target: whole images for the flash and SPL targets.
# The image checks take whole U-Boot sets, whose ITB is a FIT only with all
# of its data: Debian's largest, 13's rock-pi-4-rk3399, is 1,478,756 bytes
# with its framing. 1.5 MiB holds every set whole and, of the SD and SPI
# images (up to 9.2 MiB), the header and the images it names, all that the
# loader and SPL checks read; longer seeds are cut to it.
max_len() {
  case $1 in
    image_checks) echo 1572864 ;;
    survey|spl_dtb) echo 65536 ;;
    machine) echo 16384 ;;
    *) echo 8192 ;;
  esac
}

# debian-<release>-<board> for a folder of Debian's U-Boot builds.
debian_name() {
  local release=${1#"$top"/build/debian/}
  echo "debian-${release%%-arm64/*}-$(basename "$1")"
}

rm -rf "$build/seeds"
sets=()
for folder in "$top"/build/debian/*-arm64/u-boot/usr/lib/u-boot/*/; do
  [ -f "$folder/u-boot-tpl.bin" ] && [ -f "$folder/u-boot-spl.bin" ] && [ -f "$folder/u-boot.itb" ] || continue
  sets+=(--uboot-set "$(debian_name "$folder")-set" "$folder")
done
"$build/make-seeds" "$build/seeds" "${sets[@]}"
for folder in "$top"/build/debian/*-arm64/u-boot/usr/lib/u-boot/*/; do
  for file in "$folder"*; do
    [ -f "$file" ] || continue
    # The image checks' first byte, by what the file starts with: a boot
    # header of either family is tried as a loader and as a generic SPL, a
    # device tree as a FIT. Files of neither kind (TPL, SPL, U-Boot proper)
    # are refused at their first four bytes; the sets carry TPL and SPL.
    case $(head -c 4 "$file" | od -An -tx1 | tr -d ' \n') in
      3b8cdcfc) selectors='00 02' ;;
      524b??53) selectors='01 03' ;;
      d00dfeed) selectors='04' ;;
      *) continue ;;
    esac
    for selector in $selectors; do
      { printf "\\x$selector"; head -c "$(max_len image_checks)" "$file"; } \
        >"$build/seeds/image_checks/$(debian_name "$folder")-$(basename "$file")-$selector"
    done
  done
done
mkdir -p "$build/artifacts"

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
