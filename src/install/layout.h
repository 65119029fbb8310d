// SPDX-License-Identifier: GPL-2.0-or-later
// The dual-bootloader layout: two copies of the loader, a fallback and a
// primary SPL area, a fallback and a primary ITB area.
#pragma once

#include <cstdint>

#include "formats/soc.h"

namespace duobl {

struct FlashArea {
  std::uint32_t offset = 0;  // bytes
  std::uint32_t size = 0;    // bytes
};

// The least room an SPL area gets, whatever the chip: everything installed
// into an SPL area must fit in this.
inline constexpr std::uint32_t kSplAreaMinBytes = 0x5f000;

// The two loader copies have fixed places whatever the chip.
inline constexpr FlashArea kDuoblPrimaryArea{0, 0x10000};
inline constexpr FlashArea kDuoblBackupArea{0x10000, 0x10000};

struct FlashLayout {
  FlashArea duobl_primary;
  FlashArea duobl_backup;
  FlashArea spl_fallback;
  FlashArea spl_primary;
  FlashArea itb_fallback;
  FlashArea itb_primary;
  FlashArea spl_target;  // where an install writes its SPL (not printed)
  FlashArea itb_target;  // where an install writes its ITB (not printed)
};

// Computes the areas from the probe offsets and the chip geometry
// (`erasesize_bytes` a power of two from 32 to 131072, `size_bytes` at least
// 4 MiB, as the probe guarantees). Prints nothing, cannot fail.
FlashLayout compute_layout(const ProbeOffsets& probe, std::uint32_t size_bytes,
                           std::uint32_t erasesize_bytes, bool replace_fallback);

// What a run will erase.
struct EraseRequests {
  bool chip = false;    // the whole chip
  bool loader = false;  // both loader areas
  bool spl = false;     // spl_target
  bool itb = false;     // itb_target
};

// An erase covers whole erase blocks, so an area that does not start and end
// on their boundaries cannot be erased without its neighbours. Ends the
// process with status 1 and one "ERROR: " line naming the erase block size
// and the first such area of the run: the loader areas of 64 KiB on a chip
// of 128 KiB blocks, say.
void refuse_partial_erase_blocks(const FlashLayout& layout, std::uint32_t size_bytes,
                                 std::uint32_t erasesize_bytes, const EraseRequests& requests);

// Prints the layout table: the six areas, never the targets.
void print_layout(const FlashLayout& layout);

}  // namespace duobl
