// SPDX-License-Identifier: GPL-2.0-or-later
#include "oracle/boot_header_bytes.h"

#include <cstring>
#include <utility>

namespace duobl::testing {
namespace {

void put16(Bytes& bytes, std::size_t at, std::uint32_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  put16(bytes, at, value & 0xFFFF);
  put16(bytes, at + 2, value >> 16);
}

void put_entry(Bytes& bytes, std::size_t at, const RknsEntry& entry) {
  put16(bytes, at, entry.offset);
  put16(bytes, at + 2, entry.size);
  put32(bytes, at + 4, entry.address);
  put32(bytes, at + 12, entry.sequence);
}

}  // namespace

void rom_rc4_512(std::uint8_t* block) {
  std::array<std::uint8_t, 256> s{};
  for (std::size_t i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + kRk3399HeaderKey[i % kRk3399HeaderKey.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  for (std::size_t n = 0, i = 0, j = 0; n < kRomLegacyHeaderBytes; ++n) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    block[n] ^= s[(s[i] + s[j]) & 0xFF];
  }
}

std::uint16_t rom_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

Bytes legacy_header_plain(const LegacyFields& fields) {
  Bytes header(kRomLegacyHeaderBytes, 0);
  put32(header, 0, fields.magic);
  put32(header, 8, fields.flags);
  put16(header, 12, fields.first_offset);
  put16(header, 506, fields.first_size);
  put16(header, 508, fields.total_size);
  return header;
}

Bytes legacy_header_area(const LegacyFields& fields) {
  Bytes area = legacy_header_plain(fields);
  rom_rc4_512(area.data());
  area.resize(kRomHeaderAreaBytes, 0);
  return area;
}

Bytes rkns_header_area(const RknsFields& fields) {
  Bytes area(kRomHeaderAreaBytes, 0);
  std::memcpy(area.data(), fields.magic.data(), fields.magic.size());
  put16(area, 8, fields.header_info);
  put16(area, 10, fields.image_count);
  put32(area, 12, fields.boot_flags);
  put_entry(area, 120, fields.first);
  put_entry(area, 208, fields.second);
  return area;
}

Bytes header_area(RomFamily family, std::uint16_t first_offset, std::uint16_t first_size,
                  std::uint16_t second_size) {
  if (family == RomFamily::Rk3399) {
    LegacyFields fields;
    fields.flags = 1;
    fields.first_offset = first_offset;
    fields.first_size = first_size;
    fields.total_size = static_cast<std::uint16_t>(first_size + second_size);
    return legacy_header_area(fields);
  }
  RknsFields fields;
  fields.header_info = 0x0180;
  fields.boot_flags = 0x4000;
  fields.image_count = second_size != 0 ? 2 : 1;
  fields.first = {first_offset, first_size, 0xFFFFFFFF, 1};
  if (second_size != 0)
    fields.second = {static_cast<std::uint16_t>(first_offset + first_size), second_size,
                     0xFFFFFFFF, 2};
  return rkns_header_area(fields);
}

}  // namespace duobl::testing
