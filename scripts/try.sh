#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the tool and shows its main job on a simulated Pinebook Pro (RK3399,
# 16 MiB chip) with Debian's own firmware: the machine's device tree is
# Debian's rk3399-pinebook-pro.dtb and the U-Boot set Debian's build for the
# board (u-boot-rockchip, /usr/lib/u-boot/pinebook-pro-rk3399/), both of this
# machine's release, fetched once into build/debian (testing/debian-packages).
# It runs the README's commands in their order: the report of a blank chip,
# the loader with the set into the fallback areas, the same set into the
# primary areas, then the report again, whose survey now finds the loader
# and both sets; and ends with the testing/simboard-run commands that go on
# with the same chip (build/demo/flash.img). Where the Debian archive cannot
# be reached it installs the project's own made-up images
# (testing/make-images) instead, and says so.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
bash "$top/scripts/build.sh" "$build" >/dev/null

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo"
# The loader is always the project's own sample; so are the U-Boot images
# when Debian's cannot be had.
"$build/testing/make-images" "$demo" --family rk3399 \
  --compatible pine64,pinebook-pro --compatible rockchip,rk3399

board_dir=/usr/lib/u-boot/pinebook-pro-rk3399
status=0
firmware=$("$top/testing/debian-packages" --cache "$build/debian" firmware 2>"$demo/fetch.log") ||
  status=$?
tree=
if [ $status -eq 0 ]; then
  uboot=$firmware/u-boot$board_dir
  tree=$(find "$firmware/kernel/" -path '*/rockchip/rk3399-pinebook-pro.dtb' | head -n1)
fi
if [ $status -eq 0 ] && [ -n "$tree" ] && [ -e "$uboot/u-boot-tpl.bin" ]; then
  release=$(basename "$firmware")
  echo "### Debian's own firmware of ${release%-arm64}:" \
    "$(basename "$(readlink -f "$firmware/u-boot")"), $board_dir/;" \
    "the machine tree is rk3399-pinebook-pro.dtb of $(basename "$(readlink -f "$firmware/kernel")")"
  echo "### (here under ${firmware#"$top"/}/u-boot and .../kernel)"
  tpl=$uboot/u-boot-tpl.bin spl=$uboot/u-boot-spl.bin itb=$uboot/u-boot.itb
  shown=$board_dir/
  board_args=(FDT="$tree")
else
  if [ $status -eq 3 ]; then
    why="the Debian archive cannot be reached"
  else
    why="Debian's firmware could not be fetched"
  fi
  echo "### $why ($(tail -n1 "$demo/fetch.log"))"
  echo "### so these are the project's own made-up images (testing/make-images), not real firmware"
  tpl=$demo/u-boot-tpl.bin spl=$demo/u-boot-spl.bin itb=$demo/u-boot.itb
  shown=
  board_args=(MODEL="Pine64 Pinebook Pro" COMPATIBLE="pine64,pinebook-pro rockchip,rk3399")
fi
echo

board() {
  "$top/testing/simboard-run" --build "$build" FLASH="$demo/flash.img" "${board_args[@]}" \
    -- "$@" 2>/dev/null
}

# An install shows its status; a failed one ends the script with it.
run_install() {
  local status=0
  board "$@" || status=$?
  echo "### exit status $status"
  echo
  [ $status -eq 0 ] || exit $status
}

set_words="--uboot-tpl ${shown}u-boot-tpl.bin --uboot-spl ${shown}u-boot-spl.bin --uboot-itb ${shown}u-boot.itb"
echo "### duobl-spi-flasher --dry-run   (a blank chip)"
board --dry-run
echo "### A set known to boot into the fallback areas, with the loader:"
echo "### duobl-spi-flasher --replace-fallback --duobl duobl.bin $set_words"
run_install --replace-fallback --duobl "$demo/duobl.bin" --uboot-tpl "$tpl" --uboot-spl "$spl" --uboot-itb "$itb"
echo "### The set to try into the primary areas (here the same set):"
echo "### duobl-spi-flasher $set_words"
run_install --uboot-tpl "$tpl" --uboot-spl "$spl" --uboot-itb "$itb"
echo "### duobl-spi-flasher --dry-run   (the loader at 0, the fallback set at 131072, the primary set at 524288)"
board --dry-run

# The commands that go on with this chip, as a person types them from the top
# of the source tree: paths under it are shown relative to it, and a word
# that the shell would split is quoted.
shown_word() {
  local word=$1 name=
  case $word in [A-Z]*=*) name=${word%%=*}=; word=${word#*=} ;; esac
  case $word in "$top"/*) word=${word#"$top"/} ;; esac
  case $word in
    *[!A-Za-z0-9_./,:+=-]*) printf "%s'%s'" "$name" "$word" ;;
    *) printf '%s%s' "$name" "$word" ;;
  esac
}
# One board variable, or one option with its value, per line.
command_lines() {
  local lines=("testing/simboard-run $(shown_word "FLASH=$demo/flash.img")") word tool=("$@")
  for word in "${board_args[@]}"; do lines+=("$(shown_word "$word")"); done
  local i=0 next="-- "
  while [ $i -lt ${#tool[@]} ]; do
    word=$(shown_word "${tool[i]}")
    if [ $((i + 1)) -lt ${#tool[@]} ] && [ "${tool[i + 1]#--}" = "${tool[i + 1]}" ]; then
      word+=" $(shown_word "${tool[i + 1]}")"
      i=$((i + 1))
    fi
    lines+=("$next$word")
    next=
    i=$((i + 1))
  done
  local n
  for n in "${!lines[@]}"; do
    if [ "$n" -eq 0 ]; then word="  ${lines[n]}"; else word="      ${lines[n]}"; fi
    if [ "$n" -lt $((${#lines[@]} - 1)) ]; then echo "$word \\"; else echo "$word"; fi
  done
}
echo "### The simulated chip is kept in $(shown_word "$demo/flash.img"); these commands go on with it"
if [ "$PWD" = "$top" ]; then echo "### (typed here, at the top of the source tree)."; else echo "### (typed in $top)."; fi
echo "### Its report again:"
command_lines --dry-run
echo "### A set to try into the primary areas again (a refused run changes nothing):"
command_lines --uboot-tpl "$tpl" --uboot-spl "$spl" --uboot-itb "$itb"
echo "### (testing/simboard-run without FLASH= opens another, blank chip.)"
