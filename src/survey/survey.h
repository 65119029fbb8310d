// SPDX-License-Identifier: GPL-2.0-or-later
// The table of bootable images that the boot ROM would find in the flash.
#pragma once

#include <cstdint>

#include "platform/flash.h"
#include "platform/soc.h"

namespace duobl {

// Scans the probe offsets that lie inside the chip of `size_bytes`, prints
// the heading, one row per header found and a closing empty line. Never
// reads past the end of the chip and never ends the run itself (a failing
// device read does, inside flash_read). May clear `padded_expected`.
void survey_boot_images(FlashDevice device, std::uint32_t size_bytes, SocFamily family,
                        const ProbeOffsets& probe, int& padded_expected);

}  // namespace duobl
