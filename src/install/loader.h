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
#include "formats/soc.h"

namespace duobl {

// An image loaded into its install's own buffer and accepted.
struct LoadedImage {
  const char* path = nullptr;  // as given, for messages
  std::span<const std::uint8_t> bytes;
};

// On Rk3399 the boot ROM reads SPI images padded, and only the loader reads
// the unpadded images that the SPL areas hold; an install there without a
// loader on the chip leaves a board that cannot boot. Ends the process with
// status 1 and one "ERROR: " line when the family is Rk3399, an SPL or
// U-Boot install is requested, no loader is installed in the same run, and
// either the survey found none or the chip erase will remove it.
void refuse_loaderless_install(SocFamily family, bool loader_in_flash, bool erase_all,
                               bool installs_loader, bool installs_spl);

// Loads the loader: 6144 to 65535 bytes. Ends the process with status 1 and
// one "ERROR: " line when the file cannot be loaded or has another size.
LoadedImage load_loader(const char* path);

// Accepts only an image that the survey would list, written at 0, as a
// loader the boot ROM of `family` starts: a header of the family at its
// start, its header block stored as that boot ROM reads it at 0 (padded on
// Rk3399, unpadded on Rk35xx), the stored bytes of every image its header
// names inside the file, and its first image named as the loader. Ends the
// process with status 1 and one "ERROR: " line naming the file otherwise.
void check_loader(SocFamily family, const LoadedImage& loader);

// Writes the loader into both copies so that one of the two areas holds a
// complete loader throughout and every erase of a loader area follows a
// zeroed magic. First it reads the magic of each copy: when the primary
// copy's is gone and the backup's is whole (what a cut during the primary's
// rewrite leaves), the backup may be the last complete loader, so the
// primary is rewritten first; otherwise the backup is filled first, then the
// primary. Either way the backup's magic is zeroed and its area erased last.
void install_loader(FlashDevice device, SocFamily family, const LoadedImage& loader);

// Loads a generic image: 4096 to 389120 bytes, the least an SPL area holds.
// Ends the process with status 1 and one "ERROR: " line otherwise.
LoadedImage load_generic_spl(const char* path);

// Accepts only an image that the boot ROM of `family` or the loader can
// start from an SPL area: a header of the family at its start, its header
// block not padded (the loader reads SPL areas unpadded on Rk3399, and so
// does the Rk35xx boot ROM), the stored bytes of its images inside the
// file, and neither image a U-Boot TPL or SPL, which only a U-Boot set
// install can point at its ITB. Ends the process with status 1 and one
// "ERROR: " line naming the file otherwise.
void check_generic_spl(SocFamily family, const LoadedImage& spl);

// Writes the image into `spl_target`: the old magic zeroed, the area erased
// whole, the image's first four bytes last.
void install_generic_spl(FlashDevice device, const LoadedImage& spl, const FlashArea& spl_target,
                         bool replace_fallback);

}  // namespace duobl
