// SPDX-License-Identifier: GPL-2.0-or-later
// The boot headers as the boot ROM reads them, written down byte by byte
// for the tests: the RK3399 scrambling key and cipher, and the one builder
// of header areas that the tests plant in the flash and compare the tool's
// output with. Written from the byte layouts alone; nothing here comes from
// the tool's code, so a wrong key, offset or value in the tool shows as a
// difference instead of being copied into the expectation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace duobl::testing {

using Bytes = std::vector<std::uint8_t>;

enum class RomFamily { Rk3399, Rk35xx };

inline constexpr std::uint32_t kRomSectorBytes = 512;
// The 512-byte RK3399 header, stored scrambled.
inline constexpr std::size_t kRomLegacyHeaderBytes = 512;
// A header and the zeros behind it, up to where its first image may start.
inline constexpr std::size_t kRomHeaderAreaBytes = 2048;

// The RK3399 boot ROM's header key: rc4_key in U-Boot's tools/rkcommon.c.
// With it, the magic 55 AA F0 0F is stored as 3B 8C DC FC.
inline constexpr std::array<std::uint8_t, 16> kRk3399HeaderKey = {
    0x7c, 0x4e, 0x03, 0x04, 0x55, 0x05, 0x09, 0x07,
    0x2d, 0x2c, 0x7b, 0x38, 0x17, 0x0d, 0x17, 0x11};

// RC4 with kRk3399HeaderKey over the 512 bytes at `block`, in place; its
// own inverse.
void rom_rc4_512(std::uint8_t* block);

std::uint16_t rom_le16(const std::uint8_t* p);

// The RK3399 header's fields, plain.
struct LegacyFields {
  std::uint32_t magic = 0x0FF0AA55;  // bytes 55 AA F0 0F
  std::uint32_t flags = 0;
  std::uint16_t first_offset = 4;  // sectors from the header
  std::uint16_t first_size = 0;    // sectors
  std::uint16_t total_size = 0;    // sectors, both images
};

// One entry of the RK35xx image table.
struct RknsEntry {
  std::uint16_t offset = 0;  // sectors from the header
  std::uint16_t size = 0;    // sectors
  std::uint32_t address = 0;
  std::uint32_t sequence = 0;
};

// The RK35xx header's fields (stored plain).
struct RknsFields {
  std::array<std::uint8_t, 4> magic = {'R', 'K', 'N', 'S'};
  std::uint16_t header_info = 0;
  std::uint16_t image_count = 0;
  std::uint32_t boot_flags = 0;
  RknsEntry first;
  RknsEntry second;
};

// The 512 bytes of an RK3399 header before scrambling: the magic at 0, the
// flags at 8, the first offset at 12, the first size at 506 and the total
// at 508, all little-endian, every other byte zero.
Bytes legacy_header_plain(const LegacyFields& fields);

// A 2048-byte area: the RK3399 header scrambled, then zeros (not
// scrambled).
Bytes legacy_header_area(const LegacyFields& fields);

// A 2048-byte area: the RK35xx header (magic at 0, header info at 8, image
// count at 10, boot flags at 12, the 88-byte entries at 120 and 208, each
// with offset, size, address and sequence at 0, 2, 4 and 12), then zeros.
Bytes rkns_header_area(const RknsFields& fields);

// The header of a boot image as this system writes it: one image of
// `first_size` sectors at `first_offset`, and, when `second_size` is not 0,
// a second of `second_size` sectors right behind it. RK3399: flags 1.
// RK35xx: header info 0x0180, boot flags 0x4000, an image count of 1 or 2,
// each entry with address 0xFFFFFFFF and sequence 1 or 2.
//
// The header an install puts in front of a U-Boot TPL of T sectors and an
// SPL of S sectors is header_area(family, 4, T, S).
Bytes header_area(RomFamily family, std::uint16_t first_offset, std::uint16_t first_size,
                  std::uint16_t second_size = 0);

}  // namespace duobl::testing
