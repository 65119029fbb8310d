// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/boot_header.h"

#include <algorithm>

#include "formats/bytes.h"

namespace duobl {

namespace {

// LegacyBootHeader fields, byte offsets within its 512 bytes.
constexpr std::size_t kLegacyMagicAt = 0;
constexpr std::size_t kLegacyFlagsAt = 8;
constexpr std::size_t kLegacyFirstOffsetAt = 12;
constexpr std::size_t kLegacyFirstSizeAt = 506;
constexpr std::size_t kLegacyTotalSizeAt = 508;

// RknsBootHeader fields, byte offsets within the area.
constexpr std::size_t kRknsMagicAt = 0;
constexpr std::size_t kRknsHeaderInfoAt = 8;
constexpr std::size_t kRknsImageCountAt = 10;
constexpr std::size_t kRknsBootFlagsAt = 12;
constexpr std::size_t kRknsEntriesAt = 120;
constexpr std::size_t kRknsEntryStride = 88;
constexpr std::size_t kRknsTableEnd = kRknsEntriesAt + 2 * kRknsEntryStride;  // 296

// RknsImageEntry fields, byte offsets within one entry.
constexpr std::size_t kEntryOffsetAt = 0;
constexpr std::size_t kEntrySizeAt = 2;
constexpr std::size_t kEntryAddressAt = 4;
constexpr std::size_t kEntrySequenceAt = 12;

constexpr std::array<std::uint8_t, 4> kRknsMagic = {'R', 'K', 'N', 'S'};
constexpr std::array<std::uint8_t, 4> kRk33Tag = {'R', 'K', '3', '3'};

constexpr std::uint16_t kBuiltHeaderInfo = 0x0180;
constexpr std::uint32_t kBuiltBootFlags = 0x4000;
constexpr std::uint32_t kBuiltLegacyFlags = 1;
constexpr std::uint32_t kBuiltImageAddress = 0xFFFFFFFF;
// The first image follows the 2048-byte area directly.
constexpr std::uint16_t kBuiltFirstOffsetSectors = kHeaderAreaBytes / kSectorBytes;

constexpr std::size_t entry_at(std::size_t index) {
  return kRknsEntriesAt + index * kRknsEntryStride;
}

}  // namespace

void encode_legacy_header(const LegacyBootHeader& header, std::span<std::uint8_t, kLegacyHeaderBytes> out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  store_le32(out, kLegacyMagicAt, header.magic);
  store_le32(out, kLegacyFlagsAt, header.legacy_flags);
  store_le16(out, kLegacyFirstOffsetAt, header.first_offset);
  store_le16(out, kLegacyFirstSizeAt, header.first_size);
  store_le16(out, kLegacyTotalSizeAt, header.total_size);
}

LegacyBootHeader decode_legacy_header(std::span<const std::uint8_t, kLegacyHeaderBytes> bytes) {
  LegacyBootHeader header;
  header.magic = load_le32(bytes, kLegacyMagicAt);
  header.legacy_flags = load_le32(bytes, kLegacyFlagsAt);
  header.first_offset = load_le16(bytes, kLegacyFirstOffsetAt);
  header.first_size = load_le16(bytes, kLegacyFirstSizeAt);
  header.total_size = load_le16(bytes, kLegacyTotalSizeAt);
  return header;
}

void encode_rkns_header(const RknsBootHeader& header, std::span<std::uint8_t, kHeaderAreaBytes> out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::copy(header.magic.begin(), header.magic.end(), out.begin() + kRknsMagicAt);
  store_le16(out, kRknsHeaderInfoAt, header.header_info);
  store_le16(out, kRknsImageCountAt, header.image_count);
  store_le32(out, kRknsBootFlagsAt, header.boot_flags);
  for (std::size_t n = 0; n < header.entries.size(); ++n) {
    const RknsImageEntry& entry = header.entries[n];
    std::size_t at = entry_at(n);
    store_le16(out, at + kEntryOffsetAt, entry.image_offset);
    store_le16(out, at + kEntrySizeAt, entry.image_size);
    store_le32(out, at + kEntryAddressAt, entry.address);
    store_le32(out, at + kEntrySequenceAt, entry.sequence);
  }
}

RknsBootHeader decode_rkns_header(std::span<const std::uint8_t, kHeaderAreaBytes> bytes) {
  RknsBootHeader header;
  std::copy_n(bytes.begin() + kRknsMagicAt, header.magic.size(), header.magic.begin());
  header.header_info = load_le16(bytes, kRknsHeaderInfoAt);
  header.image_count = load_le16(bytes, kRknsImageCountAt);
  header.boot_flags = load_le32(bytes, kRknsBootFlagsAt);
  for (std::size_t n = 0; n < header.entries.size(); ++n) {
    RknsImageEntry& entry = header.entries[n];
    std::size_t at = entry_at(n);
    entry.image_offset = load_le16(bytes, at + kEntryOffsetAt);
    entry.image_size = load_le16(bytes, at + kEntrySizeAt);
    entry.address = load_le32(bytes, at + kEntryAddressAt);
    entry.sequence = load_le32(bytes, at + kEntrySequenceAt);
  }
  return header;
}

void scramble_header(std::span<std::uint8_t, kLegacyHeaderBytes> block) {
  rc4_apply(kLegacyKey, block);
}

bool header_block_padded(SocFamily family, std::span<const std::uint8_t, kHeaderBlockBytes> block) {
  const auto tail = block.subspan(kPaddedRunBytes);
  const auto all_are = [&](std::uint8_t value) {
    return std::all_of(tail.begin(), tail.end(), [=](std::uint8_t byte) { return byte == value; });
  };
  return all_are(0xFF) || (family == SocFamily::Rk3399 && all_are(0x00));
}

bool matches_header_magic(SocFamily family, std::span<const std::uint8_t, 4> bytes) {
  switch (family) {
    case SocFamily::Rk3399:
      return std::equal(bytes.begin(), bytes.end(), kScrambledLegacyMagic.begin());
    case SocFamily::Rk35xx:
      // The third byte varies between boot ROM generations and is not tested.
      return bytes[0] == kRknsMagic[0] && bytes[1] == kRknsMagic[1] && bytes[3] == kRknsMagic[3];
  }
  return false;
}

bool starts_with_header_magic(SocFamily family, std::span<const std::uint8_t> image) {
  return image.size() >= 4 && matches_header_magic(family, image.first<4>());
}

HeaderImages decode_header_images(SocFamily family, std::span<std::uint8_t> block) {
  HeaderImages images;
  switch (family) {
    case SocFamily::Rk3399: {
      if (block.size() < kLegacyHeaderBytes)
        return images;
      std::span<std::uint8_t, kLegacyHeaderBytes> header = block.first<kLegacyHeaderBytes>();
      scramble_header(header);
      std::uint32_t first_size = load_le16(header, kLegacyFirstSizeAt);
      std::uint32_t total_size = load_le16(header, kLegacyTotalSizeAt);
      images.first_offset = load_le16(header, kLegacyFirstOffsetAt);
      images.first_size = first_size;
      // A total below the first size wraps; the caller shows it as it is.
      images.second_size = total_size - first_size;
      images.second_offset = images.first_offset + first_size;
      images.has_second = images.second_size != 0;
      break;
    }
    case SocFamily::Rk35xx: {
      if (block.size() < kRknsTableEnd)
        return images;
      images.first_offset = load_le16(block, entry_at(0) + kEntryOffsetAt);
      images.first_size = load_le16(block, entry_at(0) + kEntrySizeAt);
      if (load_le16(block, kRknsImageCountAt) >= 2) {
        images.second_offset = load_le16(block, entry_at(1) + kEntryOffsetAt);
        images.second_size = load_le16(block, entry_at(1) + kEntrySizeAt);
        images.has_second = images.second_size != 0;
      }
      break;
    }
  }
  if (!images.has_second) {
    images.second_offset = 0;
    images.second_size = 0;
  }
  return images;
}

BootHeaderArea build_header_area(SocFamily family, std::uint16_t tpl_sectors,
                                 std::uint16_t spl_sectors, std::span<std::uint8_t> tpl_image) {
  BootHeaderArea area{};
  switch (family) {
    case SocFamily::Rk3399: {
      LegacyBootHeader header;
      header.magic = kLegacyMagic;
      header.legacy_flags = kBuiltLegacyFlags;
      header.first_offset = kBuiltFirstOffsetSectors;
      header.first_size = tpl_sectors;
      header.total_size = static_cast<std::uint16_t>(tpl_sectors + spl_sectors);
      std::span<std::uint8_t, kLegacyHeaderBytes> bytes(area.data(), kLegacyHeaderBytes);
      encode_legacy_header(header, bytes);
      scramble_header(bytes);
      if (tpl_image.size() >= kRk33Tag.size())
        std::copy(kRk33Tag.begin(), kRk33Tag.end(), tpl_image.begin());
      break;
    }
    case SocFamily::Rk35xx: {
      RknsBootHeader header;
      header.magic = kRknsMagic;
      header.header_info = kBuiltHeaderInfo;
      header.image_count = 2;
      header.boot_flags = kBuiltBootFlags;
      header.entries[0] = RknsImageEntry{kBuiltFirstOffsetSectors, tpl_sectors, kBuiltImageAddress, 1};
      header.entries[1] = RknsImageEntry{static_cast<std::uint16_t>(tpl_sectors + kBuiltFirstOffsetSectors),
                                         spl_sectors, kBuiltImageAddress, 2};
      encode_rkns_header(header, area);
      break;
    }
  }
  return area;
}

}  // namespace duobl
