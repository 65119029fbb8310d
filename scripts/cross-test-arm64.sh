#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-builds duobl-spi-flasher for arm64 and tests it under qemu-aarch64.
#
#   scripts/cross-test-arm64.sh [BUILD_ROOT]     (default: build-arm64)
#
# Two builds, because LD_PRELOAD (the simulated board) cannot reach into a
# static binary:
#   BUILD_ROOT/dynamic  the tool, the unit tests and the system tests, linked
#                       against Debian's arm64 libraries; every test runs
#                       under emulation, and the tool the system tests start
#                       runs under emulation too.
#   BUILD_ROOT/static   the fully static tool that users copy onto a board;
#                       checked to be a static arm64 executable and given a
#                       smoke run under emulation.
# The arm64 Debian package is built and checked by scripts/package-check.sh.
# Installs what it needs with apt-get when run as root (as CI does).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$src/build-arm64}
case $root in /*) ;; *) root=$PWD/$root ;; esac
triplet=aarch64-linux-gnu
jobs=${JOBS:-2}

step() { printf '\n=== %s\n' "$*"; }

# --- Packages ----------------------------------------------------------------
# libfdt-dev is not multiarch-co-installable in Debian 12: installing the
# arm64 one would remove the build machine's. The arm64 runtime (libfdt1) is,
# so it is installed, and the arm64 headers and libfdt.a are unpacked into
# the build tree.
packages=(crossbuild-essential-arm64 qemu-user file
          libc6:arm64 libstdc++6:arm64 libfdt1:arm64 libgtest-dev:arm64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
    missing+=("$p")
done
if ((${#missing[@]})); then
  step "Installing ${missing[*]}"
  if [[ $(id -u) != 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

deps=$root/deps
if [[ ! -f $deps/usr/lib/$triplet/libfdt.a ]]; then
  step "Unpacking libfdt-dev:arm64"
  mkdir -p "$deps"
  rm -f "$deps"/libfdt-dev_*.deb
  (cd "$deps" && apt-get download -qq -o APT::Sandbox::User=root libfdt-dev:arm64)
  dpkg-deb -x "$deps"/libfdt-dev_*_arm64.deb "$deps"
fi
fdt_args=(-DLIBFDT_INCLUDE_DIR="$deps/usr/include"
          -DLIBFDT_LIBRARY="/usr/lib/$triplet/libfdt.so.1")

qemu=$(command -v qemu-aarch64)

# --- Dynamic build: all tests under emulation --------------------------------
step "Building arm64 (dynamic) in $root/dynamic"
cmake -S "$src" -B "$root/dynamic" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-aarch64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${fdt_args[@]}" >/dev/null
cmake --build "$root/dynamic" -j"$jobs"

tool=$root/dynamic/duobl-spi-flasher
file -b "$tool" | grep -q 'ARM aarch64' || { file "$tool"; exit 1; }

step "Running the arm64 tests under $qemu"
# The static build below still runs when a test fails, so that one CI run
# reports on both. The power-cut campaigns (thousands of runs, each judged
# over whole flash images) is left to the native and sanitizer runs: under
# emulation it takes minutes of CI and the same code paths are covered by
# the unit, system and fault tests that do run here.
tests_failed=0
(cd "$root/dynamic" &&
  DUOBL_TEST_EMULATOR=$qemu ctest --output-on-failure -j"$jobs" -E '^PowerCut(Twice)?\.') ||
  tests_failed=1

# --- Static build: what users copy onto a board ------------------------------
step "Building arm64 (static) in $root/static"
cmake -S "$src" -B "$root/static" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-aarch64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DDUOBL_STATIC=ON -DDUOBL_BUILD_TESTS=OFF \
  -DLIBFDT_STATIC_LIBRARY="$deps/usr/lib/$triplet/libfdt.a" "${fdt_args[@]}" >/dev/null
cmake --build "$root/static" -j"$jobs" --target duobl-spi-flasher

static_tool=$root/static/duobl-spi-flasher
description=$(file -b "$static_tool")
echo "$description"
[[ $description == *'ARM aarch64'* && $description == *'statically linked'* ]] || {
  echo "FAIL: not a static arm64 executable" >&2
  exit 1
}

step "Smoke test of the static binary"
fails=0
check() {  # check NAME WANT_STATUS WANT_TEXT ARGS...
  local name=$1 want_status=$2 want_text=$3 out status
  shift 3
  status=0
  out=$("$qemu" "$static_tool" "$@" 2>/dev/null) || status=$?
  if [[ $status == "$want_status" && $out == *"$want_text"* ]]; then
    echo "ok: $name"
  else
    echo "FAIL: $name: status $status, output:"
    printf '%s\n' "$out"
    fails=$((fails + 1))
  fi
}
check "--help prints the usage text, status 2" 2 \
  "Usage: duobl-spi-flasher [--duobl <path>]" --help
if [[ ! -e /sys/firmware/fdt ]]; then
  check "a run without a device tree ends with status 1" 1 \
    "ERROR: Failed to open /sys/firmware/fdt (No such file or directory)"
fi
if ((fails || tests_failed)); then
  echo "arm64: FAILED (tests failed: $tests_failed, static smoke failures: $fails)"
  exit 1
fi
echo "arm64 build and tests passed"
