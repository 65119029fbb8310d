// SPDX-License-Identifier: GPL-2.0-or-later
// The device tree appended to a U-Boot SPL image: finding it, checking it
// against the running machine, and storing the ITB's flash offset in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/device_tree.h"

namespace duobl {

inline constexpr std::size_t kSplBufferBytes = 0x100000;  // 1 MiB

// Where a device tree starts in the image loaded into `image` (a whole
// buffer, 8-byte aligned; `image_length` bytes loaded), scanning backwards
// byte by byte from image_length - 256 down to 0: the highest offset at
// which a tree would have all its blocks inside the buffer. Nothing is read
// but tree headers, and nothing is changed. Returns false when there is
// none. U-Boot's TPL and SPL images carry their tree this way.
bool find_appended_tree(std::span<const std::uint8_t> image, std::size_t image_length,
                        std::uint32_t& tree_offset);

// Finds the tree inside the SPL from `path` loaded in `spl` (`spl_length`
// bytes) with find_appended_tree, and checks it: the size it claims must lie
// inside the file (compared before anything is read by it), and its machine
// type must equal `machine_type`. Returns the tree's offset, a multiple of
// 8. Ends the process with status 1 and one "ERROR: " line when the SPL is
// shorter than 2048 bytes, has no tree, its tree runs past the end of the
// file, or names no machine or another one.
std::uint32_t find_spl_dtb(std::span<const std::uint8_t, kSplBufferBytes> spl, std::size_t spl_length,
                           const MachineType& machine_type, const char* path);

// The SPL as it is to be installed.
struct PatchedSpl {
  std::uint32_t tree_offset = 0;  // where its tree starts
  std::uint32_t spl_bytes = 0;    // its new length: the tree's offset plus its packed size
};

// Gives the tree that find_spl_dtb found at `tree_offset` of `spl` the rest
// of the buffer to grow into, stores `itb_offset` as
// /config/u-boot,spl-payload-offset, creating /config when missing, and
// packs the tree. A tree whose memory reservation block has no end entry
// cannot be packed safely and is left unpacked: it then keeps the rest of
// the buffer. Ends the process with status 1 and two "ERROR: " lines when
// the property cannot be stored.
PatchedSpl set_spl_payload_offset(std::span<std::uint8_t, kSplBufferBytes> spl,
                                  std::uint32_t tree_offset, std::uint32_t itb_offset);

}  // namespace duobl
