// SPDX-License-Identifier: GPL-2.0-or-later
#include "survey/scan.h"

#include <algorithm>
#include <cstring>

#include "formats/content.h"

namespace duobl {
namespace {

constexpr std::uint32_t kProbeWindowBytes = 32;
// Positions 0..28: the last one tests the window's final four bytes.
constexpr std::size_t kWindowPositions = kProbeWindowBytes - kMagicBytes + 1;
// The most bytes of one image that are read for naming: an image is named
// when this many bytes or fewer are stored for it, padding included (twice
// its size when padded), and listed but not read otherwise. The survey
// holds one image at a time and keeps that buffer below 512 KiB.
constexpr std::uint64_t kImageBufferBytes = 524287;

constexpr std::uint8_t kErasedByte = 0xFF;

// Holds one image while it is being named. Static so that a half-megabyte
// buffer never lives on the stack.
std::array<std::uint8_t, kImageBufferBytes> image_buffer;

// Whether [offset, offset + count) lies inside the source. The offset is
// taken unwrapped, so a position past 4 GiB is never inside.
bool inside(const ByteSource& source, std::uint64_t offset, std::uint64_t count) {
  return offset <= source.size_bytes && source.size_bytes - offset >= count;
}

// Fills `out` from `offset` of the source, which holds the range.
void read_source(const ByteSource& source, std::uint64_t offset, std::span<std::uint8_t> out) {
  switch (source.kind) {
    case SourceKind::Chip: flash_read(source.chip, static_cast<std::uint32_t>(offset), out); break;
    case SourceKind::File:
      std::copy_n(source.file.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
      break;
  }
}

// Reads the header block at `header_at`. Whatever of it would lie beyond the
// end of the source is not read and is filled with 0xFF, the way an erased
// chip reads, so a header close to the end is decoded from the bytes it
// does have.
void read_header_block(const ByteSource& source, std::uint32_t header_at,
                       std::span<std::uint8_t, kHeaderBlockBytes> block) {
  const std::uint64_t readable =
      header_at < source.size_bytes ? std::min<std::uint64_t>(kHeaderBlockBytes, source.size_bytes - header_at)
                                    : 0;
  std::fill(block.begin() + static_cast<std::ptrdiff_t>(readable), block.end(), kErasedByte);
  if (readable > 0) read_source(source, header_at, block.first(readable));
}

// The image `offset_bytes` and `size_bytes` name, counted from the header.
struct ImageExtent {
  std::uint64_t offset_bytes = 0;
  std::uint64_t size_bytes = 0;
};

// Whether the bytes stored for the image lie inside the source.
bool stored_inside(const ByteSource& source, std::uint32_t header_at, const ImageExtent& image,
                   bool padded) {
  if (image.size_bytes == 0) return true;
  const std::uint64_t from = stored_offset(image.offset_bytes, padded);
  const std::uint64_t to = stored_offset(image.offset_bytes + image.size_bytes - 1, padded) + 1;
  return inside(source, std::uint64_t{header_at} + from, to - from);
}

// Names the image from the bytes the boot ROM reads of it, gathered run by
// run, or returns an empty view when it is empty, stores more bytes than the
// survey reads, or does not lie inside the source.
std::string_view name_image(const ByteSource& source, std::uint32_t header_at,
                            const ImageExtent& image, bool padded) {
  const std::uint64_t stored_bytes = (padded ? 2 : 1) * image.size_bytes;
  if (image.size_bytes == 0 || stored_bytes > kImageBufferBytes ||
      !stored_inside(source, header_at, image, padded))
    return {};
  const std::span<std::uint8_t> bytes(image_buffer.data(), image.size_bytes);
  for (std::uint64_t done = 0; done < image.size_bytes;) {
    const std::uint64_t logical = image.offset_bytes + done;
    const std::uint64_t run = stored_run(logical, image.size_bytes - done, padded);
    read_source(source, header_at + stored_offset(logical, padded), bytes.subspan(done, run));
    done += run;
  }
  return identify_content(bytes);
}

}  // namespace

ByteSource chip_source(FlashDevice device, std::uint32_t size_bytes) {
  return {SourceKind::Chip, device, size_bytes, {}};
}

ByteSource file_source(std::span<const std::uint8_t> file) {
  return {SourceKind::File, FlashDevice{}, file.size(), file};
}

HeaderRow inspect_header(const ByteSource& source, SocFamily family, std::uint32_t header_at,
                         std::size_t position) {
  HeaderRow row;
  row.header_at = header_at;
  row.position = position;
  std::array<std::uint8_t, kHeaderBlockBytes> block;
  read_header_block(source, header_at, block);
  row.images = decode_header_images(family, block);
  if (position != 0) return row;

  row.padded = header_block_padded(family, block);
  const std::array<ImageExtent, 2> images = {{
      {std::uint64_t{row.images.first_offset} * kSectorBytes,
       std::uint64_t{row.images.first_size} * kSectorBytes},
      {std::uint64_t{row.images.second_offset} * kSectorBytes,
       std::uint64_t{row.images.second_size} * kSectorBytes},
  }};
  row.images_inside = true;
  for (std::size_t k = 0; k < images.size(); ++k) {
    row.images_inside = row.images_inside && stored_inside(source, header_at, images[k], row.padded);
    row.names[k] = name_image(source, header_at, images[k], row.padded);
  }
  return row;
}

SurveyRows survey_boot_images(FlashDevice device, std::uint32_t size_bytes, SocFamily family,
                            const ProbeOffsets& probe) {
  const ByteSource chip = chip_source(device, size_bytes);
  SurveyRows rows;
  // Carried from one row to the next: images are expected stored padded on
  // Rk3399 until a loader has been found, which stores them unpadded.
  bool padded_expected = family == SocFamily::Rk3399;
  const std::span<const std::uint32_t> offsets = probe_span(probe);
  for (std::size_t index = 0; index < offsets.size(); ++index) {
    const std::uint32_t probe_at = offsets[index];
    if (!inside(chip, probe_at, kProbeWindowBytes)) break;

    // The window keeps the bytes as first read: a header handled at one
    // position does not change what the later positions are tested on.
    std::array<std::uint8_t, kProbeWindowBytes> window;
    flash_read(device, probe_at, window);
    for (std::size_t position = 0; position < kWindowPositions; ++position) {
      const std::span<const std::uint8_t, kMagicBytes> candidate(window.data() + position, kMagicBytes);
      if (!matches_header_magic(family, candidate)) continue;
      HeaderRow row =
          inspect_header(chip, family, probe_at + static_cast<std::uint32_t>(position), position);
      row.index = index;
      row.padded_expected = padded_expected;
      if (position == 0 && row.names[0] == kDuoblName) padded_expected = false;
      rows.rows[rows.count++] = row;
    }
  }
  return rows;
}

bool loader_found(const SurveyRows& rows) {
  for (std::size_t i = 0; i < rows.count; ++i)
    if (rows.rows[i].position == 0 && rows.rows[i].names[0] == kDuoblName) return true;
  return false;
}

}  // namespace duobl
