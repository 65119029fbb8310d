#!/usr/bin/env bash
# Builds everything and runs the whole test suite with ctest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
bash "$top/scripts/build.sh" "$build"
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
