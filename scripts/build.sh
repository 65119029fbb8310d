#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Configures and builds the tool, the simulated board and the tests in
# build/ (or in the folder given as the first argument).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
bash "$top/scripts/deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
