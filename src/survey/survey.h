// SPDX-License-Identifier: GPL-2.0-or-later
// The table of bootable images that the boot ROM would find in the flash.
#pragma once

#include <cstdint>

#include "platform/flash.h"
#include "platform/soc.h"

namespace duobl {

// Scans the probe offsets that lie inside the chip of `size_bytes`, prints
// the heading, one row per header found and a closing empty line. Never
// reads past the end of the chip. It meets no error of its own; a device
// read that fails ends the run inside flash_read.
//
// Whether a header is expected to be stored padded is the survey's own
// state: expected on Rk3399 until image 1 of an aligned header is named as
// the loader, never on Rk35xx. Returns that expectation as the last row left
// it: true on Rk3399 exactly when no loader was found.
bool survey_boot_images(FlashDevice device, std::uint32_t size_bytes, SocFamily family,
                        const ProbeOffsets& probe);

}  // namespace duobl
