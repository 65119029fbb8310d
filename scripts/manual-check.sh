#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that the manual page formats without a single warning, with groff
# and, where it is installed, with mandoc's linter, and that no line of it
# is wider than 80 columns as man (at MANWIDTH=80) and mandoc (at width 80)
# show it. Widths are counted in bytes, as awk counts them: on a line that
# holds a multi-byte character (a bullet, the hyphen of a word broken at the
# line's end) that is stricter than the columns a terminal shows.
# Usage: manual-check.sh [manual-file]
here=$(cd "$(dirname "$0")" && pwd)
page=${1:-$here/../docs/duobl-spi-flasher.8}
status=0

# Prints the lines of standard input wider than 80, each after "WHAT: ".
too_wide() {
  LC_ALL=C awk -v what="$1" 'length > 80 { printf "%s: %d columns: %s\n", what, length, $0; wide = 1 }
    END { exit wide }'
}

if command -v groff >/dev/null 2>&1; then
  out=$(groff -ww -man -Tutf8 -z "$page" 2>&1) || status=1
  if [ -n "$out" ]; then
    printf 'groff: %s\n' "$out"
    status=1
  fi
else
  echo "groff not installed, not checked"
fi
if command -v man >/dev/null 2>&1; then
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | too_wide "man at MANWIDTH=80" ||
    status=1
  # No option of the synopsis is broken across two lines ("[" on one line,
  # the rest on the next, or a word hyphenated).
  broken=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null |
    sed -n '/^SYNOPSIS/,/^DESCRIPTION/p' | grep -E '(\[|-|‐)$')
  if [ -n "$broken" ]; then
    printf 'man at MANWIDTH=80: synopsis line broken inside an option: %s\n' "$broken"
    status=1
  fi
else
  echo "man not installed, its width not checked"
fi
if command -v mandoc >/dev/null 2>&1; then
  mandoc -T lint -W all "$page" || status=1
  # mandoc marks bold and underline by overstriking; drop that first.
  mandoc -T ascii -O width=80 "$page" | LC_ALL=C sed 's/.\x08//g' |
    too_wide "mandoc at width 80" || status=1
else
  echo "mandoc not installed, not checked"
fi
[ "$status" -eq 0 ] && echo "manual page clean"
exit "$status"
