#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the tool and shows its main job on a simulated Pinebook Pro (RK3399,
# 16 MiB chip) with Debian's own firmware: the machine's device tree is
# Debian's rk3399-pinebook-pro.dtb and the U-Boot set Debian's build for the
# board (u-boot-rockchip, /usr/lib/u-boot/pinebook-pro-rk3399/), both of this
# machine's release, fetched once into build/debian (testing/debian-packages).
# It shows the report of a blank chip, then a loader update and the U-Boot
# install, then the report again, whose survey now finds both. Where the
# Debian archive cannot be reached it installs the project's own made-up
# images (testing/make-images) instead, and says so.
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

echo "### duobl-spi-flasher --dry-run   (a blank chip)"
board --dry-run
echo "### duobl-spi-flasher --duobl duobl.bin --uboot-tpl ${shown}u-boot-tpl.bin" \
  "--uboot-spl ${shown}u-boot-spl.bin --uboot-itb ${shown}u-boot.itb"
board --duobl "$demo/duobl.bin" --uboot-tpl "$tpl" --uboot-spl "$spl" --uboot-itb "$itb"
echo "### exit status $?"
echo
echo "### duobl-spi-flasher --dry-run   (the survey now finds the loader and the new U-Boot header)"
board --dry-run
echo "### the simulated chip is kept in $demo/flash.img"
