// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/uboot.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include "formats/boot_header.h"
#include "install/spl_dtb.h"
#include "platform/fatal.h"
#include "platform/file.h"

namespace duobl {
namespace {

constexpr std::size_t kTplBufferBytes = 0x100000;  // 1 MiB
constexpr std::size_t kItbBufferBytes = 0x400000;  // 4 MiB
// TPL and SPL, each rounded up to kImageAlignBytes, must fit in this. The
// header area goes in front of them and the whole set must fit the smallest
// SPL area; the limit keeps a whole 4 KiB for the 2 KiB header area, so the
// last 2 KiB of the smallest area are never used.
constexpr std::uint32_t kTplSplMaxBytes = kSplAreaMinBytes - 4096;
constexpr std::uint32_t kImageAlignBytes = 2048;
// The start of the old header that is zeroed before the areas are erased:
// its magic, then the fields that follow it.
constexpr std::size_t kZeroedHeaderBytes = 32;

// The SPL's device tree is edited in place, and libfdt wants it 8-byte
// aligned; the tree scan relies on the buffer's alignment.
alignas(8) std::array<std::uint8_t, kSplBufferBytes> spl_buffer;
std::array<std::uint8_t, kTplBufferBytes> tpl_buffer;
std::array<std::uint8_t, kItbBufferBytes> itb_buffer;

constexpr std::uint32_t round_up_to_image_align(std::uint32_t bytes) {
  return (bytes + kImageAlignBytes - 1) & ~(kImageAlignBytes - 1);
}

}  // namespace

UbootSet prepare_uboot_set(const FlashLayout& layout, SocFamily family,
                           const MachineType& machine_type, const char* spl_path,
                           const char* tpl_path, const char* itb_path) {
  const std::size_t spl_file_bytes = load_file(spl_path, spl_buffer);
  const auto tpl_bytes = static_cast<std::uint32_t>(load_file(tpl_path, tpl_buffer));
  const auto itb_bytes = static_cast<std::uint32_t>(load_file(itb_path, itb_buffer));

  const std::uint32_t tree_offset = find_spl_dtb(spl_buffer, spl_file_bytes, machine_type);
  if (layout.itb_target.size < itb_bytes) fail(1, "ERROR: U-Boot is too big\n");
  const std::uint32_t tree_bytes =
      set_spl_payload_offset(spl_buffer.data() + tree_offset, layout.itb_target.offset);

  // The tree never claims more than the rest of the buffer; should it, the
  // SPL is cut to the buffer, which the size limit below refuses anyway.
  const auto spl_bytes = static_cast<std::uint32_t>(
      std::min<std::size_t>(std::size_t{tree_offset} + tree_bytes, kSplBufferBytes));
  UbootSet set;
  set.tpl_rounded_bytes = round_up_to_image_align(tpl_bytes);
  set.spl_rounded_bytes = round_up_to_image_align(spl_bytes);
  if (set.tpl_rounded_bytes + set.spl_rounded_bytes > kTplSplMaxBytes)
    fail(1, "ERROR: SPL+DTB is too big\n");

  // On Rk3399 the header marks the TPL by its first four bytes. They are
  // replaced in the buffer whatever the TPL's length; only the file's own
  // bytes are written, so a TPL shorter than four bytes carries just the
  // part of the mark that fits.
  set.header = build_header_area(
      family, static_cast<std::uint16_t>(set.tpl_rounded_bytes / kSectorBytes),
      static_cast<std::uint16_t>(set.spl_rounded_bytes / kSectorBytes),
      std::span<std::uint8_t>(tpl_buffer.data(), std::max<std::size_t>(tpl_bytes, kMagicBytes)));
  set.tpl = std::span(tpl_buffer).first(tpl_bytes);
  set.spl = std::span(spl_buffer).first(spl_bytes);
  set.itb = std::span(itb_buffer).first(itb_bytes);
  return set;
}

void install_uboot_set(FlashDevice device, const FlashLayout& layout, const UbootSet& set) {
  const FlashArea& spl_area = layout.spl_target;
  const FlashArea& itb_area = layout.itb_target;
  std::printf("TPL size = %u, SPL size = %u\n", set.tpl_rounded_bytes, set.spl_rounded_bytes);

  const std::span<const std::uint8_t> header_bytes(set.header);
  const std::uint32_t tpl_offset = spl_area.offset + static_cast<std::uint32_t>(kHeaderAreaBytes);
  const std::uint32_t spl_offset = tpl_offset + set.tpl_rounded_bytes;
  static constexpr std::array<std::uint8_t, kZeroedHeaderBytes - kMagicBytes> zeros{};

  // Until the very last write the target area carries no valid magic: first
  // the old magic alone is programmed to zeros (an interrupted program of it
  // either breaks the magic or leaves the old header whole), then the old
  // header's next 28 bytes, then everything behind the magic is written, and
  // the magic comes last.
  flash_zero_magic(device, spl_area.offset);
  flash_write(device, kZeroedMagicLabel, spl_area.offset + kMagicBytes, zeros);
  flash_erase(device, spl_area.offset, spl_area.size);
  flash_erase(device, itb_area.offset, itb_area.size);
  flash_write(device, "U-Boot ITB", itb_area.offset, set.itb);
  flash_write(device, "U-Boot SPL", spl_offset, set.spl);
  flash_write(device, "U-Boot TPL", tpl_offset, set.tpl);
  flash_write(device, "Rockchip bootloader header", spl_area.offset + kMagicBytes,
              header_bytes.subspan(kMagicBytes));
  flash_write(device, "Bootloader header magic bytes", spl_area.offset,
              header_bytes.first(kMagicBytes));
}

}  // namespace duobl
