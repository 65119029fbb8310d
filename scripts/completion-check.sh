#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the bash completion of duobl-spi-flasher by calling its completion
# function the way bash does, on a few command lines.
# Usage: completion-check.sh [completion-file]
set -u

here=$(cd "$(dirname "$0")" && pwd)
file=${1:-$here/../completion/duobl-spi-flasher}
# shellcheck source=/dev/null
source "$file" || { echo "cannot load $file"; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
touch u-boot-spl.bin u-boot-tpl.bin u-boot.itb duobl.bin

failed=0
passed=0

# complete WORD... : runs the completion with the cursor on the last word and
# prints the candidates sorted, one line.
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _duobl_spi_flasher
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
    local want=$1
    shift
    local got
    got=$(complete_line "$@")
    if [[ $got == "$want" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: [$*] gave [$got], expected [$want]"
    fi
}

all='--dry-run --duobl --erase-all --help --replace-fallback --spl --uboot-itb --uboot-spl --uboot-tpl -h'
expect "$all" duobl-spi-flasher ''
expect '--uboot-itb --uboot-spl --uboot-tpl' duobl-spi-flasher --ub
expect '--dry-run --duobl' duobl-spi-flasher --d
# The hidden flash test is never offered.
expect '' duobl-spi-flasher --te
# Image paths complete to file names, in every spelling the tool accepts.
expect 'u-boot-spl.bin u-boot-tpl.bin u-boot.itb' duobl-spi-flasher --uboot-spl u
expect 'duobl.bin' duobl-spi-flasher --dry-run --duobl d
expect 'duobl.bin' duobl-spi-flasher --duo d
expect 'u-boot.itb' duobl-spi-flasher --uboot-itb = u-boot.
expect 'duobl.bin u-boot-spl.bin u-boot-tpl.bin u-boot.itb' duobl-spi-flasher --spl =
expect '--spl=u-boot.itb' duobl-spi-flasher --spl=u-boot.i
# Flags and ambiguous prefixes take no file name after them.
expect "$all" duobl-spi-flasher --erase-all ''
expect '' duobl-spi-flasher --uboot u
expect '' duobl-spi-flasher --test 1
expect '--dry-run' duobl-spi-flasher --uboot-spl u-boot-spl.bin --dr

echo "$passed passed, $failed failed"
((failed == 0))
