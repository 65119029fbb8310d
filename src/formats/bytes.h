// SPDX-License-Identifier: GPL-2.0-or-later
// Explicit little-endian loads and stores. Every multi-byte field of a boot
// header goes through these; no struct is ever laid over a buffer, so the
// code is the same on every host. The callers' range checks keep every
// offset inside the span; every build defines _GLIBCXX_ASSERTIONS, so an
// index outside it aborts at once instead of reading or writing past the
// buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace duobl {

constexpr std::uint16_t load_le16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

constexpr std::uint32_t load_le32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) |
         (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

constexpr void store_le16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void store_le32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 2] = static_cast<std::uint8_t>(value >> 16);
  bytes[offset + 3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace duobl
