// SPDX-License-Identifier: GPL-2.0-or-later
// Whether a file is a U-Boot FIT image (what u-boot.itb is): a device tree
// with an /images node of at least one image, a /configurations node, and
// the data of every image inside the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace duobl {

enum class FitProblem {
  None,
  NotATree,          // no device tree libfdt accepts at the start
  TreeCutShort,      // the tree claims more bytes than the file holds
  Unreadable,        // a tree whose structure cannot be walked to its end
  NoImages,          // no /images node, or one without an image
  NoConfigurations,  // no /configurations node
  ImageWithoutData,  // an image with neither inline nor external data
  BadDataCell,       // a data-position, data-offset or data-size not one 32-bit cell
  DataCutShort,      // an image whose data runs past the end of the file
};

struct FitCheck {
  FitProblem problem = FitProblem::None;
  std::uint32_t claimed_bytes = 0;  // TreeCutShort: the tree's own size
  std::string_view image;           // ImageWithoutData, BadDataCell, DataCutShort: its node's name
  std::uint64_t data_end = 0;       // DataCutShort: where its data would end
};

// Checks `file` (8-byte aligned). An image's data is its `data` property,
// or `data-size` bytes at `data-position` from the start of the file, or at
// `data-offset` from the end of the tree rounded up to 4 bytes, as U-Boot
// reads them. Reads nothing outside `file`.
FitCheck check_fit(std::span<const std::uint8_t> file);

}  // namespace duobl
