// SPDX-License-Identifier: GPL-2.0-or-later
// The SoC family and the boot ROM's probe offsets: plain values shared by
// machine identification, the header formats, the survey, the layout and the
// U-Boot install.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace duobl {

enum class SocFamily { Rk3399, Rk35xx };

// The family's name in messages.
constexpr const char* family_name(SocFamily family) {
  return family == SocFamily::Rk3399 ? "RK3399" : "RK35xx";
}

// The flash offsets, in bytes, at which the boot ROM of a family looks for a
// boot header, in the order it probes them: 13 entries on Rk3399, 16 on
// Rk35xx.
struct ProbeOffsets {
  std::array<std::uint32_t, 16> offsets_bytes{};
  std::size_t count = 0;
};

constexpr std::span<const std::uint32_t> probe_span(const ProbeOffsets& probe) {
  return std::span<const std::uint32_t>(probe.offsets_bytes.data(), probe.count);
}

// Rk3399: (1 << j << 12) with the low 13 bits cleared for j = 0..12, so the
// first entry is 0, then 8 KiB .. 16 MiB. Rk35xx: j * 64 KiB for j = 0..15.
constexpr ProbeOffsets probe_offsets_for(SocFamily family) {
  ProbeOffsets probe;
  if (family == SocFamily::Rk3399) {
    for (std::size_t j = 0; j < 13; ++j)
      probe.offsets_bytes[j] = ((std::uint32_t{1} << j) << 12) & ~std::uint32_t{0x1fff};
    probe.count = 13;
  } else {
    for (std::size_t j = 0; j < 16; ++j)
      probe.offsets_bytes[j] = static_cast<std::uint32_t>(j) * 0x10000;
    probe.count = 16;
  }
  return probe;
}

}  // namespace duobl
