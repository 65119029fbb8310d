#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds everything and runs the whole test suite with ctest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
bash "$top/scripts/build.sh" "$build"
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
