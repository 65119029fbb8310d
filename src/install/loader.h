// SPDX-License-Identifier: GPL-2.0-or-later
// Updating the loader in its two copies, and installing a generic image that
// the boot ROM can load into an SPL area. Each install is loaded and checked
// first, apart from writing it, so that a run refuses a bad input before it
// changes anything.
#pragma once

#include <cstdint>
#include <span>

#include "install/layout.h"
#include "platform/flash.h"
#include "platform/soc.h"

namespace duobl {

// An image loaded into its install's own buffer and accepted.
struct LoadedImage {
  std::span<const std::uint8_t> bytes;
};

// On Rk3399 the boot ROM reads SPI images padded, and only the loader reads
// the unpadded images that the SPL areas hold; an install there without a
// loader on the chip leaves a board that cannot boot. Ends the process with
// status 1 and one "ERROR: " line when the family is Rk3399, an SPL or
// U-Boot install is requested, no loader is installed in the same run, and
// either the survey found none (`padded_expected` still set) or the chip
// erase will remove it.
void refuse_loaderless_install(SocFamily family, bool padded_expected, bool erase_all,
                               bool installs_loader, bool installs_spl);

// Loads the loader: 6144 to 65535 bytes. Ends the process with status 1 and
// one "ERROR: " line when the file cannot be loaded or has another size.
LoadedImage load_loader(const char* path);

// Writes the loader to the backup area, then to the primary area, then
// zeroes the backup's magic and erases the backup area again: one of the two
// areas holds a complete loader throughout, and every erase of a loader area
// follows a zeroed magic.
void install_loader(FlashDevice device, const LoadedImage& loader);

// Loads a generic image: 4096 to 389120 bytes, the least an SPL area holds.
// Ends the process with status 1 and one "ERROR: " line otherwise.
LoadedImage load_generic_spl(const char* path);

// Writes the image into `spl_target`: the old magic zeroed, the area erased
// whole, the image's first four bytes last.
void install_generic_spl(FlashDevice device, const LoadedImage& spl, const FlashArea& spl_target,
                         bool replace_fallback);

}  // namespace duobl
