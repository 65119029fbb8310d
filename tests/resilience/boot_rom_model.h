// SPDX-License-Identifier: GPL-2.0-or-later
// A model of what the boot ROM makes of the SPI flash at power-on, written
// from the header layouts alone and sharing no code with the tool: it probes
// the family's offsets in order, recognises a header by its magic exactly as
// the ROM compares it, and works out which flash bytes the header tells it
// to load. The power-cut and fault tests judge every flash state with it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "fixture/board.h"

namespace duobl::testing {

enum class RomFamily { Rk3399, Rk35xx };

inline constexpr std::uint32_t kRomSectorBytes = 512;
inline constexpr std::uint32_t kRomHeaderBlockBytes = 4096;

// The offsets the ROM looks at, in its order: on RK3399 0, then 8 KiB
// doubling up to 16 MiB; on RK35xx every 64 KiB from 0 to 960 KiB.
inline std::vector<std::uint32_t> rom_probe_offsets(RomFamily family) {
  std::vector<std::uint32_t> offsets;
  if (family == RomFamily::Rk3399) {
    offsets.push_back(0);
    for (std::uint32_t at = 8192; at <= 16u * 1024 * 1024; at *= 2) offsets.push_back(at);
  } else {
    for (std::uint32_t j = 0; j < 16; ++j) offsets.push_back(j * 0x10000);
  }
  return offsets;
}

inline std::uint16_t rom_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// RC4 with the RK3399 header key over 512 bytes; its own inverse.
inline void rom_rc4_512(std::uint8_t* block) {
  static constexpr std::array<std::uint8_t, 16> kKey = {0x7c, 0x4e, 0x03, 0x04, 0x55, 0x05, 0x09, 0x07,
      0x2d, 0x2c, 0x7b, 0x38, 0x17, 0x0d, 0x17, 0x11};
  std::array<std::uint8_t, 256> s{};
  for (std::size_t i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + kKey[i % 16]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  for (std::size_t n = 0, i = 0, j = 0; n < 512; ++n) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    block[n] ^= s[(s[i] + s[j]) & 0xFF];
  }
}

// The RK3399 magic as it is stored: the first four bytes of the keystream
// over 55 AA F0 0F.
inline std::array<std::uint8_t, 4> rom_stored_legacy_magic() {
  std::array<std::uint8_t, 512> block{};
  const std::uint8_t magic[4] = {0x55, 0xAA, 0xF0, 0x0F};
  std::memcpy(block.data(), magic, 4);
  rom_rc4_512(block.data());
  return {block[0], block[1], block[2], block[3]};
}

inline bool rom_magic_at(RomFamily family, const std::uint8_t* p) {
  if (family == RomFamily::Rk3399) {
    static const std::array<std::uint8_t, 4> kStored = rom_stored_legacy_magic();
    return std::memcmp(p, kStored.data(), 4) == 0;
  }
  // RKNS, with the third byte not compared.
  return p[0] == 'R' && p[1] == 'K' && p[3] == 'S';
}

// One stretch of flash the ROM loads for a header, in absolute bytes. The
// end may lie past the chip when the header says so.
struct RomImage {
  std::uint64_t offset_bytes = 0;
  std::uint64_t length_bytes = 0;
};

struct RomHeader {
  std::uint32_t at = 0;
  // The decoded fields, in sectors from the header.
  std::uint32_t first_offset = 0;
  std::uint32_t first_size = 0;
  std::uint32_t second_offset = 0;
  std::uint32_t second_size = 0;
  bool has_second = false;
  // A block stored padded (every 2 KiB followed by 2 KiB of filler) makes
  // the ROM read twice the bytes of each image.
  bool padded = false;
  std::vector<RomImage> images;
};

inline bool same_fields(const RomHeader& a, const RomHeader& b) {
  return a.at == b.at && a.first_offset == b.first_offset && a.first_size == b.first_size &&
         a.second_offset == b.second_offset && a.second_size == b.second_size &&
         a.has_second == b.has_second && a.padded == b.padded;
}

// Decodes the header at `at`, which the caller has found by its magic.
// Bytes of the 4 KiB header block beyond the chip read as erased.
inline RomHeader rom_decode(RomFamily family, const Bytes& flash, std::uint32_t at) {
  std::array<std::uint8_t, kRomHeaderBlockBytes> block;
  block.fill(0xFF);
  const std::size_t have = std::min<std::size_t>(block.size(), flash.size() - at);
  std::memcpy(block.data(), flash.data() + at, have);

  RomHeader header;
  header.at = at;
  if (family == RomFamily::Rk3399) {
    rom_rc4_512(block.data());
    header.first_offset = rom_le16(&block[12]);
    header.first_size = rom_le16(&block[506]);
    header.second_size = static_cast<std::uint32_t>(rom_le16(&block[508])) - header.first_size;
    header.second_offset = header.first_offset + header.first_size;
    header.has_second = header.second_size != 0;
  } else {
    header.first_offset = rom_le16(&block[120]);
    header.first_size = rom_le16(&block[122]);
    if (rom_le16(&block[10]) >= 2) {
      header.second_offset = rom_le16(&block[208]);
      header.second_size = rom_le16(&block[210]);
      header.has_second = header.second_size != 0;
    }
  }
  if (!header.has_second) header.second_offset = header.second_size = 0;

  bool all_ff = true;
  bool all_00 = true;
  for (std::size_t i = 2048; i < block.size(); ++i) {
    all_ff = all_ff && block[i] == 0xFF;
    all_00 = all_00 && block[i] == 0x00;
  }
  header.padded = all_ff || (family == RomFamily::Rk3399 && all_00);

  const std::uint64_t factor = header.padded ? 2 : 1;
  const auto add = [&](std::uint32_t offset, std::uint32_t size) {
    if (size == 0) return;
    header.images.push_back({std::uint64_t{at} + std::uint64_t{offset} * kRomSectorBytes,
                             factor * size * kRomSectorBytes});
  };
  add(header.first_offset, header.first_size);
  if (header.has_second) add(header.second_offset, header.second_size);
  return header;
}

// Every header at a probe offset of the chip, in probe order.
inline std::vector<RomHeader> rom_scan(RomFamily family, const Bytes& flash) {
  std::vector<RomHeader> found;
  for (std::uint32_t at : rom_probe_offsets(family)) {
    if (flash.size() < 4 || at > flash.size() - 4) break;
    if (rom_magic_at(family, flash.data() + at)) found.push_back(rom_decode(family, flash, at));
  }
  return found;
}

inline bool image_inside(const RomImage& image, std::size_t chip_bytes) {
  return image.offset_bytes <= chip_bytes && chip_bytes - image.offset_bytes >= image.length_bytes;
}

// Whether `a` and `b` hold the same bytes over `image` (false when it runs
// past the end of either).
inline bool same_bytes(const Bytes& a, const Bytes& b, const RomImage& image) {
  if (!image_inside(image, a.size()) || !image_inside(image, b.size())) return false;
  return std::memcmp(a.data() + image.offset_bytes, b.data() + image.offset_bytes,
                     image.length_bytes) == 0;
}

}  // namespace duobl::testing
