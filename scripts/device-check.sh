#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Shows that a command reaches no real flash device: runs it under strace,
# following every process it starts, and counts the opens of a path under
# /dev/mtd that reached the kernel. The simulated board answers opens of
# /dev/mtd0 inside the process, so a program on the board never makes one;
# an open the kernel sees comes from a program the board was not loaded
# into, which on a board would be working on its real chip.
#
#   scripts/device-check.sh [--trace FILE] [--min-processes N] [-- COMMAND...]
#
# Without a command it runs the README's test command, bash scripts/test.sh,
# which builds everything and runs the whole suite. Fails when the command
# fails, when any open of /dev/mtd* reached the kernel (they are listed), or
# when strace watched fewer than N processes (default 100), so that a trace
# that did not follow the command cannot pass. Processes are counted by
# their ends in the trace, threads included. The trace goes to FILE, or to
# a temporary file that is removed afterwards.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

trace=
min_processes=100
while [ $# -gt 0 ]; do
  case $1 in
    --trace) trace=${2:?--trace needs a file}; shift 2 ;;
    --min-processes) min_processes=${2:?--min-processes needs a count}; shift 2 ;;
    --) shift; break ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "device-check: unexpected argument: $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || set -- bash "$top/scripts/test.sh"

bash "$top/scripts/deps.sh" strace
if [ -z "$trace" ]; then
  trace=$(mktemp "${TMPDIR:-/tmp}/device-check.XXXXXX")
  trap 'rm -f "$trace"' EXIT
fi

# --seccomp-bpf stops a process only at the calls traced; -y shows the file
# behind each descriptor, so an open that reaches the device under another
# name (a relative path, a symbolic link) shows it in its result. Signals
# stay traced: without them strace leaves out the end of a killed process.
started=$SECONDS
status=0
strace -f --seccomp-bpf -y -e trace=open,openat,openat2,creat -o "$trace" -- "$@" ||
  status=$?
seconds=$((SECONDS - started))

# A call that another process interrupts is split in two lines, "<unfinished
# ...>" and "<... NAME resumed>"; the two halves are joined before judging.
# Prints the offending calls, then "PROCESSES OPENS".
counts=$(awk '
  {
    pid = $1
    call = substr($0, length(pid) + 2)
    sub(/^ +/, "", call)
  }
  call ~ /^\+\+\+ (exited|killed)/ { ended++; delete pending[pid]; next }
  call ~ /<unfinished \.\.\.>$/ { pending[pid] = call; next }
  call ~ /^<\.\.\. [a-z0-9_]+ resumed>/ {
    sub(/^<\.\.\. [a-z0-9_]+ resumed>/, "", call)
    call = pending[pid] call
    delete pending[pid]
  }
  call ~ /^(open|openat|openat2|creat)\(/ &&
    (call ~ /"(\/|\.\.?\/)*dev\/+(\.\/+)*mtd/ || call ~ /<\/dev\/*>, "(\.\/+)*mtd/ ||
     call ~ /= [0-9]+<\/dev\/mtd/) {
    opens++
    print "device-check: " pid " " call > "/dev/stderr"
  }
  END { print ended + 0, opens + 0 }
' "$trace")
read -r processes opens <<<"$counts"

echo "device-check: $* ended with status $status after $seconds s"
echo "device-check: $processes processes watched, $opens opens of /dev/mtd* reached the kernel"
fails=0
if [ "$status" -ne 0 ]; then
  echo "device-check: FAIL: the command failed"
  fails=1
fi
if [ "$opens" -ne 0 ]; then
  echo "device-check: FAIL: a program reached a flash device (listed above)"
  fails=1
fi
if [ "$processes" -lt "$min_processes" ]; then
  echo "device-check: FAIL: fewer than $min_processes processes watched; the trace did not follow the command"
  fails=1
fi
exit "$fails"
