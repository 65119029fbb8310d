// SPDX-License-Identifier: GPL-2.0-or-later
// Updating the loader in its two copies, and installing a generic image that
// the boot ROM can load into an SPL area.
#pragma once

#include "install/layout.h"
#include "platform/flash.h"

namespace duobl {

// Loads the loader (6144 to 65535 bytes), writes it to the backup area,
// then to the primary area, then zeroes the backup's magic and erases the
// backup area again: one of the two areas holds a complete loader
// throughout, and every erase of a loader area follows a zeroed magic.
void install_loader(FlashDevice device, const char* path);

// Loads an image of 4096 to 389120 bytes and writes it into `spl_target`:
// the old magic zeroed, the area erased whole, the image's first four bytes
// last.
void install_generic_spl(FlashDevice device, const char* path, const FlashArea& spl_target,
                         bool replace_fallback);

}  // namespace duobl
