// SPDX-License-Identifier: GPL-2.0-or-later
// A model of what the boot ROM makes of the SPI flash at power-on, written
// from the header layouts alone and sharing no code with the tool: it probes
// the family's offsets in order, recognises a header by its magic exactly as
// the ROM compares it, and works out which flash bytes the header tells it
// to load. The power-cut and fault tests judge every flash state with it,
// and the real-firmware test the headers of Debian's U-Boot builds.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "oracle/boot_header_bytes.h"

namespace duobl::testing {

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

inline bool rom_magic_at(RomFamily family, const std::uint8_t* p) {
  if (family == RomFamily::Rk3399) {
    // The magic as stored: the first four bytes of a scrambled header that
    // begins with 55 AA F0 0F.
    static const Bytes kStored = legacy_header_area({});
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
RomHeader rom_decode(RomFamily family, const Bytes& flash, std::uint32_t at);

// Every header at a probe offset of the chip, in probe order.
std::vector<RomHeader> rom_scan(RomFamily family, const Bytes& flash);

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
