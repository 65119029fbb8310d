#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that the manual page formats without a single warning, with groff
# and, where it is installed, with mandoc's linter.
# Usage: manual-check.sh [manual-file]
here=$(cd "$(dirname "$0")" && pwd)
page=${1:-$here/../docs/duobl-spi-flasher.8}
status=0

if command -v groff >/dev/null 2>&1; then
  out=$(groff -ww -man -Tutf8 -z "$page" 2>&1) || status=1
  if [ -n "$out" ]; then
    printf 'groff: %s\n' "$out"
    status=1
  fi
else
  echo "groff not installed, not checked"
fi
if command -v mandoc >/dev/null 2>&1; then
  mandoc -T lint -W all "$page" || status=1
else
  echo "mandoc not installed, not checked"
fi
[ "$status" -eq 0 ] && echo "manual page clean"
exit "$status"
