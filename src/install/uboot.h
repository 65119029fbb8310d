// SPDX-License-Identifier: GPL-2.0-or-later
// Installing a U-Boot TPL, SPL and ITB set behind a fresh boot header. The
// set is loaded, checked and made ready first, apart from writing it, so
// that a run refuses a bad set before it changes anything.
#pragma once

#include <cstdint>
#include <span>

#include "formats/boot_header.h"
#include "install/layout.h"
#include "platform/flash.h"
#include "platform/machine.h"

namespace duobl {

// A set ready to be written: the images in their install buffers (the SPL's
// tree already names the ITB's offset, the TPL already carries the header's
// mark on Rk3399) and the header that goes in front of them.
struct UbootSet {
  std::span<const std::uint8_t> tpl;
  std::span<const std::uint8_t> spl;
  std::span<const std::uint8_t> itb;
  std::uint32_t tpl_rounded_bytes = 0;
  std::uint32_t spl_rounded_bytes = 0;
  BootHeaderArea header{};
};

// Loads the three files, finds the SPL's device tree and checks that it
// names `machine_type`, checks that the ITB fits `layout.itb_target`, stores
// the ITB's offset in the tree, checks that TPL and SPL fit the SPL area and
// builds the header of `family`. Prints nothing; ends the process with
// status 1 and its "ERROR: " line(s) on any refusal.
UbootSet prepare_uboot_set(const FlashLayout& layout, SocFamily family,
                           const MachineType& machine_type, const char* spl_path,
                           const char* tpl_path, const char* itb_path);

// Prints the size line and writes, in this order: 4 zero bytes over the
// target SPL area's magic, 28 zero bytes behind them, the erase of the SPL
// and ITB targets, the ITB, the SPL, the TPL, the header without its magic,
// and the magic last. Ends the process with status 1 on a flash error.
void install_uboot_set(FlashDevice device, const FlashLayout& layout, const UbootSet& set);

}  // namespace duobl
