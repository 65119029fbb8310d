// SPDX-License-Identifier: GPL-2.0-or-later
// What the boot ROM would find: the headers at the probe offsets of the
// chip, each with its images, its padding and the names of what its images
// hold, as rows of data. The same inspection of one header serves an image
// file in memory, so that an install can ask of a file exactly what the
// survey would say of it once written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "formats/boot_header.h"
#include "formats/soc.h"
#include "platform/flash.h"

namespace duobl {

// Where the bytes of a header come from.
enum class SourceKind { Chip, File };

struct ByteSource {
  SourceKind kind = SourceKind::Chip;
  FlashDevice chip;                    // Chip: the open device
  std::uint64_t size_bytes = 0;        // the chip's size, or the file's length
  std::span<const std::uint8_t> file;  // File: its bytes
};

ByteSource chip_source(FlashDevice device, std::uint32_t size_bytes);
ByteSource file_source(std::span<const std::uint8_t> file);

// One header as the survey lists it.
struct HeaderRow {
  std::size_t index = 0;         // of the probe offset
  std::uint32_t header_at = 0;   // where the header starts
  std::size_t position = 0;      // where in the probe window; 0 = aligned
  HeaderImages images;
  // Aligned rows only: whether the header block is stored padded, and
  // whether that was expected here (on Rk3399 until a loader has been
  // found, never on Rk35xx).
  bool padded = false;
  bool padded_expected = false;
  // Whether the stored bytes of every image the header names lie inside
  // the source: what the boot ROM would read of them exists.
  bool images_inside = false;
  // What each image holds, by identify_content; empty when it is not named
  // (empty, larger than the survey reads, or not inside the source).
  std::array<std::string_view, 2> names{};
};

// Reads the header block at `header_at` of `source` (bytes past its end
// read as erased), found at `position` of a probe window, and decodes the
// header of `family`; for an aligned header (position 0) it also tests the
// padding and names both images from the bytes the boot ROM reads: for a
// padded block, the first 2048 bytes of each 4096. A chip read that fails
// ends the process inside flash_read.
HeaderRow inspect_header(const ByteSource& source, SocFamily family, std::uint32_t header_at,
                         std::size_t position);

// Every header of the probe windows: 16 offsets, 29 positions each.
inline constexpr std::size_t kMaxSurveyRows = 16 * 29;
struct SurveyRows {
  std::array<HeaderRow, kMaxSurveyRows> rows{};
  std::size_t count = 0;
};

// Scans the probe offsets that lie inside the chip of `size_bytes`, in
// order, and returns a row for every header found. Prints nothing and
// never reads past the end of the chip.
SurveyRows survey_boot_images(FlashDevice device, std::uint32_t size_bytes, SocFamily family,
                            const ProbeOffsets& probe);

// Whether an aligned row's first image is the loader.
bool loader_found(const SurveyRows& rows);

}  // namespace duobl
