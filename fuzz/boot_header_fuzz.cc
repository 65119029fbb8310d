// SPDX-License-Identifier: GPL-2.0-or-later
// Boot headers over arbitrary bytes. Bit 0 of the first byte chooses the
// family. With bit 1 clear, the rest is decoded as a block found on the
// flash; with it set, two sector counts taken from the input are built into
// a header, which must decode back to the same images.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/boot_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto family = (data[0] & 1) != 0 ? duobl::SocFamily::Rk35xx : duobl::SocFamily::Rk3399;

  if ((data[0] & 2) == 0) {
    // An exact-size copy, so that any read past the block is caught.
    std::vector<std::uint8_t> block(data + 1, data + size);
    if (block.size() >= 4)
      (void)duobl::matches_header_magic(family, std::span<const std::uint8_t, 4>(block.data(), 4));
    const duobl::HeaderImages images = duobl::decode_header_images(family, block);
    if (!images.has_second && (images.second_offset != 0 || images.second_size != 0)) std::abort();
    return 0;
  }

  if (size < 5) return 0;
  // The installer keeps both counts within 752 sectors together, the SPL at
  // least 4.
  const std::uint16_t spl_sectors = static_cast<std::uint16_t>(4 + (data[1] | (data[2] << 8)) % 749);
  const std::uint16_t tpl_sectors = static_cast<std::uint16_t>((data[3] | (data[4] << 8)) % (753 - spl_sectors));
  std::vector<std::uint8_t> tpl(data + 5, data + size);
  const std::vector<std::uint8_t> tpl_before = tpl;
  duobl::BootHeaderArea area = duobl::build_header_area(family, tpl_sectors, spl_sectors, tpl);

  if (!duobl::matches_header_magic(family, std::span<const std::uint8_t, 4>(area.data(), 4))) std::abort();
  const duobl::HeaderImages images = duobl::decode_header_images(family, area);
  if (images.first_offset != 4 || images.first_size != tpl_sectors ||
      images.second_offset != 4u + tpl_sectors || images.second_size != spl_sectors || !images.has_second)
    std::abort();
  // Only the RK3399 header marks the TPL, and only its first four bytes.
  const bool marked = family == duobl::SocFamily::Rk3399 && tpl.size() >= 4;
  if (marked && std::memcmp(tpl.data(), "RK33", 4) != 0) std::abort();
  const std::size_t kept_from = marked ? 4 : 0;
  if (tpl.size() > kept_from &&
      std::memcmp(tpl.data() + kept_from, tpl_before.data() + kept_from, tpl.size() - kept_from) != 0)
    std::abort();
  return 0;
}
