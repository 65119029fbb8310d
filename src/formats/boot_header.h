// SPDX-License-Identifier: GPL-2.0-or-later
// The two boot header layouts that the boot ROM looks for, the scrambling of
// the RK3399 header, recognising a header in raw flash bytes, reading the
// image positions back out of it, and building a fresh one. No I/O here:
// everything works on caller-owned bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/rc4.h"
#include "formats/soc.h"

namespace duobl {

inline constexpr std::uint32_t kSectorBytes = 512;
inline constexpr std::size_t kLegacyHeaderBytes = 512;
inline constexpr std::size_t kHeaderAreaBytes = 2048;

inline constexpr std::uint32_t kLegacyMagic = 0x0FF0AA55;

// The RK3399 header, as plain values (it is stored scrambled, 512 bytes).
struct LegacyBootHeader {
  std::uint32_t magic = kLegacyMagic;
  std::uint32_t legacy_flags = 0;
  std::uint16_t first_offset = 0;  // sectors from the header
  std::uint16_t first_size = 0;    // sectors
  std::uint16_t total_size = 0;    // sectors, both images
};

// One entry of the RK35xx image table (88 bytes stored).
struct RknsImageEntry {
  std::uint16_t image_offset = 0;  // sectors from the header
  std::uint16_t image_size = 0;    // sectors
  std::uint32_t address = 0;
  std::uint32_t sequence = 0;
};

// The RK35xx header, as plain values (stored in plain form).
struct RknsBootHeader {
  std::array<std::uint8_t, 4> magic{};
  std::uint16_t header_info = 0;
  std::uint16_t image_count = 0;
  std::uint32_t boot_flags = 0;
  std::array<RknsImageEntry, 2> entries{};
};

// 2048 bytes: a header followed by zeros.
using BootHeaderArea = std::array<std::uint8_t, kHeaderAreaBytes>;

// Image positions read from a found header, in sectors relative to it.
struct HeaderImages {
  std::uint32_t first_offset = 0;
  std::uint32_t first_size = 0;
  std::uint32_t second_offset = 0;
  std::uint32_t second_size = 0;
  bool has_second = false;
};

// Byte-exact encoding and decoding of the plain (unscrambled) layouts.
void encode_legacy_header(const LegacyBootHeader& header, std::span<std::uint8_t, kLegacyHeaderBytes> out);
LegacyBootHeader decode_legacy_header(std::span<const std::uint8_t, kLegacyHeaderBytes> bytes);
void encode_rkns_header(const RknsBootHeader& header, std::span<std::uint8_t, kHeaderAreaBytes> out);
RknsBootHeader decode_rkns_header(std::span<const std::uint8_t, kHeaderAreaBytes> bytes);

// The RK3399 boot ROM's own header key (rc4_key in U-Boot's tools/rkcommon.c).
inline constexpr std::array<std::uint8_t, 16> kLegacyKey = {
    0x7c, 0x4e, 0x03, 0x04, 0x55, 0x05, 0x09, 0x07,
    0x2d, 0x2c, 0x7b, 0x38, 0x17, 0x0d, 0x17, 0x11};

// The RC4 stream cipher with kLegacyKey over exactly 512 bytes, in place.
// Its own inverse.
void scramble_header(std::span<std::uint8_t, kLegacyHeaderBytes> block);

namespace detail {
constexpr std::array<std::uint8_t, 4> scramble_legacy_magic() {
  std::array<std::uint8_t, 4> bytes = {0x55, 0xAA, 0xF0, 0x0F};
  rc4_apply(kLegacyKey, bytes);
  return bytes;
}
}  // namespace detail

// The first four bytes of any scrambled block that begins with the legacy
// magic. The cipher is a byte-wise keystream, so scrambling the magic alone
// gives the same four bytes; computed from the key at compile time.
inline constexpr std::array<std::uint8_t, 4> kScrambledLegacyMagic = detail::scramble_legacy_magic();

// Whether the four flash bytes, as stored, start a header of `family`.
bool matches_header_magic(SocFamily family, std::span<const std::uint8_t, 4> bytes);

// Whether `image` starts with a header magic of `family` (false when it is
// shorter than a magic).
bool starts_with_header_magic(SocFamily family, std::span<const std::uint8_t> image);

// Reads the image positions of a header found on the flash. Accepts any
// bytes and never fails; on Rk3399 it first unscrambles bytes 0..511 of
// `block` in place, so the caller keeps the plain header. `block` should hold
// at least 512 bytes (Rk3399) or 296 bytes (Rk35xx); a shorter block is left
// untouched and yields all-zero positions.
HeaderImages decode_header_images(SocFamily family, std::span<std::uint8_t> block);

// A header block is the 4096 bytes at a header; whether bytes 2048 to 4095
// of it hold data tells whether the boot ROM reads what the header names
// stored padded: the first 2048 bytes of every 4096, the rest filler.
inline constexpr std::size_t kHeaderBlockBytes = 4096;
inline constexpr std::uint64_t kPaddedRunBytes = 2048;

// Whether the header block is stored padded: on both families when bytes
// 2048 to 4095 are all erased (0xFF), on Rk3399 also when they are all zero.
bool header_block_padded(SocFamily family, std::span<const std::uint8_t, kHeaderBlockBytes> block);

// Where byte `logical` of what a header names (counted from the header, as
// its fields count) is stored, counted from the header.
constexpr std::uint64_t stored_offset(std::uint64_t logical, bool padded) {
  return padded ? logical / kPaddedRunBytes * 2 * kPaddedRunBytes + logical % kPaddedRunBytes
                : logical;
}

// How many of the `remaining` bytes from `logical` on are stored one after
// another.
constexpr std::uint64_t stored_run(std::uint64_t logical, std::uint64_t remaining, bool padded) {
  if (!padded) return remaining;
  const std::uint64_t run = kPaddedRunBytes - logical % kPaddedRunBytes;
  return remaining < run ? remaining : run;
}

// Builds the header area for a TPL of `tpl_sectors` followed by an SPL of
// `spl_sectors` (both placed at 2048-byte boundaries behind the area). On
// Rk3399 the first four bytes of `tpl_image` become "RK33" (an image shorter
// than 4 bytes is left alone). The 16-bit sums are the caller's to keep in
// range.
BootHeaderArea build_header_area(SocFamily family, std::uint16_t tpl_sectors,
                                 std::uint16_t spl_sectors, std::span<std::uint8_t> tpl_image);

}  // namespace duobl
