#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the tool and shows its main job on a simulated RK3399 board with a
# 16 MiB chip: the report of a blank chip, then a loader update and a U-Boot
# TPL/SPL/ITB install, then the report again, which now finds both.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
bash "$top/scripts/build.sh" "$build" >/dev/null

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo"
"$build/testing/make-images" "$demo" --family rk3399 \
  --compatible pine64,pinebook-pro --compatible rockchip,rk3399

board() {
  "$top/testing/simboard-run" --build "$build" FLASH="$demo/flash.img" -- "$@" 2>/dev/null
}

echo "### duobl-spi-flasher --dry-run   (a blank chip)"
board --dry-run
echo "### duobl-spi-flasher --duobl duobl.bin --uboot-tpl u-boot-tpl.bin --uboot-spl u-boot-spl.bin --uboot-itb u-boot.itb"
board --duobl "$demo/duobl.bin" --uboot-tpl "$demo/u-boot-tpl.bin" \
  --uboot-spl "$demo/u-boot-spl.bin" --uboot-itb "$demo/u-boot.itb"
echo "### exit status $?"
echo
echo "### duobl-spi-flasher --dry-run   (the survey now finds the loader and the new U-Boot header)"
board --dry-run
echo "### the simulated chip is kept in $demo/flash.img"
