#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the tool, the simulated board and the tests with AddressSanitizer
# and UndefinedBehaviorSanitizer in build-asan/ (or the folder given as the
# first argument) and runs the suite there (the power-cut campaign with one
# of its scenarios, see below). Every finding ends the
# process that makes it with status 86, which no test expects; the tool
# started by the system tests gets the same settings through the fixture.
# The sanitizer runtimes are linked into each program, which exports them to
# the simulated board library that the tests preload into it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-asan}
bash "$top/scripts/deps.sh"

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined -static-libasan -static-libubsan -rdynamic" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined -static-libasan -static-libubsan" >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-exitcode=86:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-exitcode=86:print_stacktrace=1}
cd "$build"
# The power-cut campaigns kill thousands of runs part way; each one runs the
# same code as the complete run up to its cut, so under the sanitizers one
# scenario (a loader update and a U-Boot install in one run) stands for the
# single-cut campaign and the two-cut campaign, which run natively in
# scripts/test.sh.
ctest --output-on-failure -j"$(nproc)" --timeout 900 \
  -E '^PowerCut(Twice)?\.'
ctest --output-on-failure --timeout 900 -R '^PowerCut\.LoaderAndUbootRk3568$'

