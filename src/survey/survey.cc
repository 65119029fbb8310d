// SPDX-License-Identifier: GPL-2.0-or-later
#include "survey/survey.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <span>
#include <string_view>

#include "formats/boot_header.h"
#include "formats/content.h"

namespace duobl {

namespace {

constexpr std::uint32_t kProbeWindowBytes = 32;
// Positions 0..28: the last one tests the window's final four bytes.
constexpr std::size_t kWindowPositions = kProbeWindowBytes - kMagicBytes + 1;
constexpr std::uint32_t kHeaderBlockBytes = 4096;
// Bytes 2048..4095 of the header block tell whether it is stored padded.
constexpr std::size_t kPaddingTestFrom = 2048;
// The most bytes of one image that are read for naming: an image of up to
// 524287 bytes is read, one of 512 KiB or more is listed but not read. The
// survey holds one image at a time and keeps that buffer below 512 KiB;
// images are whole sectors, so the largest one named is 1023 sectors (511
// when stored padded, which doubles what is read).
constexpr std::uint32_t kImageBufferBytes = 524287;

constexpr std::uint8_t kErasedByte = 0xFF;

// Holds one image while it is being named. Static so that a half-megabyte
// buffer never lives on the stack.
std::array<std::uint8_t, kImageBufferBytes> image_buffer;

// Whether [offset, offset + count) lies inside a chip of `size_bytes`. The
// offset is taken unwrapped, so a position past 4 GiB is never inside.
bool inside_chip(std::uint64_t offset, std::uint64_t count, std::uint32_t size_bytes) {
  return offset <= size_bytes && size_bytes - offset >= count;
}

// Reads the header block at `header_at`. Whatever of it would lie beyond the
// end of the chip is not read and is filled with 0xFF, the way an erased chip
// reads, so a header close to the end is decoded from the bytes it does have.
void read_header_block(FlashDevice device, std::uint32_t size_bytes, std::uint32_t header_at,
                       std::span<std::uint8_t, kHeaderBlockBytes> block) {
  std::uint32_t readable = header_at < size_bytes ? std::min(kHeaderBlockBytes, size_bytes - header_at) : 0;
  std::fill(block.begin() + readable, block.end(), kErasedByte);
  if (readable > 0)
    flash_read(device, header_at, block.first(readable));
}

bool all_bytes_are(std::span<const std::uint8_t> bytes, std::uint8_t value) {
  for (std::uint8_t byte : bytes)
    if (byte != value)
      return false;
  return true;
}

// An erased (0xFF) tail means padded on both families; a zeroed tail counts
// as padding only on Rk3399.
bool block_is_padded(SocFamily family, std::span<const std::uint8_t> block) {
  std::span<const std::uint8_t> tail = block.subspan(kPaddingTestFrom);
  if (family == SocFamily::Rk3399 && all_bytes_are(tail, 0x00))
    return true;
  return all_bytes_are(tail, kErasedByte);
}

// Names the `count` bytes at `offset`, or returns an empty view when the
// image is empty, too big for the buffer, or runs past the end of the chip;
// such an image gets no note.
std::string_view name_image(FlashDevice device, std::uint32_t size_bytes, std::uint64_t offset,
                            std::uint32_t count) {
  if (count == 0 || count > kImageBufferBytes || !inside_chip(offset, count, size_bytes))
    return {};
  std::span<std::uint8_t> image(image_buffer.data(), count);
  flash_read(device, static_cast<std::uint32_t>(offset), image);
  return identify_content(image);
}

// Prints one row for the header at `header_at` (found at `position` of the
// window of probe `index`) and the notes that go with it.
void survey_header(FlashDevice device, std::uint32_t size_bytes, SocFamily family, std::size_t index,
                   std::uint32_t header_at, std::size_t position, bool& expect_padded) {
  std::array<std::uint8_t, kHeaderBlockBytes> block;
  read_header_block(device, size_bytes, header_at, block);
  HeaderImages images = decode_header_images(family, block);

  // The printed columns wrap at 32 bits; positions used for reading do not.
  std::uint64_t first_at = std::uint64_t{header_at} + std::uint64_t{images.first_offset} * kSectorBytes;
  std::uint64_t second_at = std::uint64_t{header_at} + std::uint64_t{images.second_offset} * kSectorBytes;
  std::printf("%-3u %-10u %-10u %-10u %-10u %-10u", static_cast<unsigned>(index), header_at,
              static_cast<std::uint32_t>(first_at), images.first_size * kSectorBytes,
              images.has_second ? static_cast<std::uint32_t>(second_at) : 0u,
              images.second_size * kSectorBytes);

  if (position != 0) {
    std::printf(" (unaligned by %d)\n", static_cast<int>(position));
    return;
  }

  std::uint32_t factor = 1;
  if (block_is_padded(family, block)) {
    std::printf(" (padded)");
    if (!expect_padded)
      std::printf(" (!! incorrect use of padded image !!)");
    factor = 2;
  } else if (expect_padded) {
    std::printf(" (!! incorrect use of unpadded image !!)");
  }

  std::string_view first_name = name_image(device, size_bytes, first_at, factor * images.first_size * kSectorBytes);
  if (!first_name.empty()) {
    // From the next header on, images are expected the way the loader
    // stores them: unpadded.
    if (first_name == kDuoblName)
      expect_padded = false;
    std::printf(" 0='%.*s'", static_cast<int>(first_name.size()), first_name.data());
  }

  std::string_view second_name =
      name_image(device, size_bytes, second_at, factor * images.second_size * kSectorBytes);
  if (!second_name.empty())
    std::printf(" 1='%.*s'", static_cast<int>(second_name.size()), second_name.data());
  std::printf("\n");
}

}  // namespace

bool survey_boot_images(FlashDevice device, std::uint32_t size_bytes, SocFamily family,
                        const ProbeOffsets& probe) {
  // Carried from one row to the next.
  bool expect_padded = family == SocFamily::Rk3399;

  std::printf("\nBootable images currently present in SPI NOR flash:\n\n");
  std::printf("Idx %-10s %-10s %-10s %-10s %-10s Notes/content\n", "Header", "Off 1", "Size 1", "Off 2",
              "Size 2");
  std::printf("-------------------------------------------------------------------------------\n");

  std::span<const std::uint32_t> offsets = probe_span(probe);
  for (std::size_t index = 0; index < offsets.size(); ++index) {
    std::uint32_t probe_at = offsets[index];
    if (!inside_chip(probe_at, kProbeWindowBytes, size_bytes))
      break;

    // The window keeps the bytes as first read: a header handled at one
    // position does not change what the later positions are tested on.
    std::array<std::uint8_t, kProbeWindowBytes> window;
    flash_read(device, probe_at, window);
    for (std::size_t position = 0; position < kWindowPositions; ++position) {
      std::span<const std::uint8_t, kMagicBytes> candidate(window.data() + position, kMagicBytes);
      if (!matches_header_magic(family, candidate))
        continue;
      survey_header(device, size_bytes, family, index, probe_at + static_cast<std::uint32_t>(position),
                    position, expect_padded);
    }
  }
  std::printf("\n");
  return expect_padded;
}

}  // namespace duobl
