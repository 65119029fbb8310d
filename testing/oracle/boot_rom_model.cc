// SPDX-License-Identifier: GPL-2.0-or-later
#include "oracle/boot_rom_model.h"

namespace duobl::testing {

RomHeader rom_decode(RomFamily family, const Bytes& flash, std::uint32_t at) {
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

std::vector<RomHeader> rom_scan(RomFamily family, const Bytes& flash) {
  std::vector<RomHeader> found;
  for (std::uint32_t at : rom_probe_offsets(family)) {
    if (flash.size() < 4 || at > flash.size() - 4) break;
    if (rom_magic_at(family, flash.data() + at)) found.push_back(rom_decode(family, flash, at));
  }
  return found;
}

}  // namespace duobl::testing
