// SPDX-License-Identifier: GPL-2.0-or-later
// The device tree appended to a U-Boot SPL image: finding it, checking it
// against the running machine, and storing the ITB's flash offset in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/machine.h"

namespace duobl {

inline constexpr std::size_t kSplBufferBytes = 0x100000;  // 1 MiB

// Finds the tree inside the SPL loaded in `spl` (the whole 1 MiB buffer,
// 8-byte aligned; `spl_length` bytes loaded) by scanning backwards from
// spl_length - 256, gives it the rest of the buffer to grow into, and checks
// that its machine type equals `machine_type`. Returns the tree's offset:
// where its header starts in `spl`, a multiple of 8. A
// candidate is accepted only while its blocks lie inside the buffer. Ends the
// process with status 1 and one "ERROR: " line on any failure.
std::uint32_t find_spl_dtb(std::span<std::uint8_t, kSplBufferBytes> spl, std::size_t spl_length,
                           const MachineType& machine_type);

// Sets /config/u-boot,spl-payload-offset of the tree at `tree` (as left by
// find_spl_dtb) to `itb_offset`, creating /config when missing, packs the
// tree and returns its packed size. A tree whose memory reservation block has
// no end entry cannot be packed safely and is left unpacked: its size is then
// the rest of the buffer. Ends the process with status 1 and two "ERROR: "
// lines when the property cannot be stored.
std::uint32_t set_spl_payload_offset(void* tree, std::uint32_t itb_offset);

}  // namespace duobl
