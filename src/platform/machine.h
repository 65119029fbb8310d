// SPDX-License-Identifier: GPL-2.0-or-later
// Which board the tool runs on: the kernel's flattened device tree, the
// machine type taken from its root `compatible` list, and the SoC family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/device_tree.h"
#include "formats/soc.h"

namespace duobl {

inline constexpr const char* kMachineTreePath = "/sys/firmware/fdt";
inline constexpr std::size_t kMachineTreeBytes = 0x40000;  // 256 KiB

// What identification yields besides the device tree itself, which stays in
// the caller's buffer.
struct Machine {
  MachineType type{};  // first root `compatible` entry, NUL-terminated
  SocFamily family = SocFamily::Rk3399;
  ProbeOffsets probe{};
};

// Loads /sys/firmware/fdt into `tree` (the caller's 256 KiB buffer, 8-byte
// aligned), decides the family and prints the machine line followed by an
// empty line. Ends the process with status 1 when the file cannot be loaded,
// and with status 2 and one "ERROR: " line when the blob is not a sound
// device tree (a bad header, or a header that claims more bytes than were
// read), names no machine type, or names no supported SoC.
Machine identify_machine(std::span<std::uint8_t, kMachineTreeBytes> tree);

}  // namespace duobl
