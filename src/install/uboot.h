// SPDX-License-Identifier: GPL-2.0-or-later
// Installing a U-Boot TPL, SPL and ITB set behind a fresh boot header. The
// set is loaded, checked and made ready first, apart from writing it, so
// that a run refuses a bad set before it changes anything.
#pragma once

#include <cstdint>
#include <span>

#include "formats/boot_header.h"
#include "formats/device_tree.h"
#include "install/layout.h"
#include "platform/flash.h"

namespace duobl {

// The files of a set, as the command line names them.
struct UbootPaths {
  const char* tpl = nullptr;
  const char* spl = nullptr;
  const char* itb = nullptr;
};

// A set ready to be written: the images in their install buffers (the SPL's
// tree already names the ITB's offset) and their sizes in the SPL area.
struct UbootSet {
  UbootPaths paths;
  std::span<std::uint8_t> tpl;  // gets the header's mark on Rk3399 when installed
  // The TPL's whole buffer, which a device tree found in the TPL may claim
  // up to its end; its bytes behind the file are never read as the tree's.
  std::span<const std::uint8_t> tpl_room;
  std::span<const std::uint8_t> spl;
  std::span<const std::uint8_t> itb;
  std::uint32_t spl_tree_offset = 0;
  std::uint32_t tpl_rounded_bytes = 0;
  std::uint32_t spl_rounded_bytes = 0;
};

// Loads the three files (the SPL, then the TPL, then the ITB), finds the
// SPL's device tree and checks that it names `machine_type`, checks that the
// ITB fits `layout.itb_target`, stores the ITB's offset in the tree and
// checks that TPL and SPL fit the SPL area. Prints nothing; ends the process
// with status 1 and its "ERROR: " line(s) on any refusal.
UbootSet prepare_uboot_set(const FlashLayout& layout, const MachineType& machine_type,
                           const UbootPaths& paths);

// Accepts only files that are what their options say: a TPL that is not
// empty, does not start with a boot header, is named a U-Boot TPL or a DRAM
// init blob, and whose device tree, where it carries one, lies inside it
// and names `machine_type`; an SPL that does not start with a boot header,
// is not a bare device tree and is named a U-Boot SPL; an ITB that is a FIT
// with its image data inside the file. Ends the process with status 1 and
// one "ERROR: " line naming the file otherwise.
void check_uboot_set(const MachineType& machine_type, const UbootSet& set);

// Prints the size line, builds the header of `family` (marking the TPL on
// Rk3399) and writes, in this order: zeros over the start of the target SPL
// area's old header, the erase of the SPL and ITB targets, the ITB, the SPL,
// the TPL, the header without its magic, and the magic last. Ends the
// process with status 1 on a flash error.
void install_uboot_set(FlashDevice device, const FlashLayout& layout, SocFamily family,
                       const UbootSet& set);

}  // namespace duobl
