// SPDX-License-Identifier: GPL-2.0-or-later
// Installing a U-Boot TPL, SPL and ITB set behind a fresh boot header.
#pragma once

#include "install/layout.h"
#include "platform/flash.h"
#include "platform/machine.h"

namespace duobl {

// Loads the three files, makes every check before the first write, prints the
// size line and writes, in this order: 4 zero bytes over the target SPL
// area's magic, 28 zero bytes behind them, the erase of the SPL and ITB
// targets, the ITB, the SPL, the TPL, the header without its magic, and the
// magic last. The header is the one of `family`, the running machine's.
// Ends the process with status 1 on any failure.
void install_uboot_set(FlashDevice device, const FlashLayout& layout, SocFamily family,
                       const MachineType& machine_type, const char* spl_path,
                       const char* tpl_path, const char* itb_path);

}  // namespace duobl
