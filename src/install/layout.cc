// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/layout.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/fatal.h"

namespace duobl {
namespace {

constexpr std::uint32_t kSplFallbackStart = 0x20000;  // 128 KiB
constexpr std::uint32_t kItbAreaMaxBytes = 0x200000;  // cap on half the space left for ITBs

// Start of the primary SPL area: the first probe offset behind 128 KiB that
// leaves the fallback area at least kSplAreaMinBytes, or the last probe
// offset when none does. Without a probe offset at 128 KiB there is no room
// for a fallback area and the primary one starts at 128 KiB; so it does when
// 128 KiB is the last probe offset.
std::uint32_t primary_spl_start(const ProbeOffsets& probe) {
  const auto offsets = probe_span(probe);
  const auto at = std::find(offsets.begin(), offsets.end(), kSplFallbackStart);
  if (at == offsets.end()) return kSplFallbackStart;
  for (auto it = at + 1; it != offsets.end(); ++it)
    if (*it >= kSplFallbackStart + kSplAreaMinBytes) return *it;
  return offsets.back();
}

// The six areas in the order and with the names of the layout table.
struct NamedArea {
  const char* name;
  const FlashArea* area;
};
std::array<NamedArea, 6> named_areas(const FlashLayout& layout) {
  return {{{"duobl primary", &layout.duobl_primary},
           {"duobl backup", &layout.duobl_backup},
           {"spl fallback", &layout.spl_fallback},
           {"spl primary", &layout.spl_primary},
           {"itb fallback", &layout.itb_fallback},
           {"itb primary", &layout.itb_primary}}};
}

// The name the layout table gives `area`.
const char* area_name(const FlashLayout& layout, const FlashArea& area) {
  for (const NamedArea& entry : named_areas(layout))
    if (entry.area->offset == area.offset && entry.area->size == area.size) return entry.name;
  return "target";
}

}  // namespace

FlashLayout compute_layout(const ProbeOffsets& probe, std::uint32_t size_bytes,
                           std::uint32_t erasesize_bytes, bool replace_fallback) {
  const std::uint32_t block = erasesize_bytes;
  const std::uint32_t spl_start = primary_spl_start(probe);

  // The fewest whole erase blocks (at least one) that hold an SPL area.
  const std::uint32_t spl_blocks =
      std::max<std::uint32_t>(1, (kSplAreaMinBytes + block - 1) / block);
  const std::uint32_t itb_start = spl_start + spl_blocks * block;

  // Half of what follows, capped, rounded up to an erase block boundary
  // (exact because the probe accepts only power-of-two block sizes).
  const std::uint32_t half_rest = std::min((size_bytes - itb_start) / 2, kItbAreaMaxBytes);
  const std::uint32_t itb_primary_start = (itb_start + half_rest + block - 1) & ~(block - 1);
  const std::uint32_t itb_bytes = itb_primary_start - itb_start;

  FlashLayout layout;
  layout.duobl_primary = kDuoblPrimaryArea;
  layout.duobl_backup = kDuoblBackupArea;
  layout.spl_fallback = {kSplFallbackStart, spl_start - kSplFallbackStart};
  layout.spl_primary = {spl_start, itb_start - spl_start};
  layout.itb_fallback = {itb_start, itb_bytes};
  layout.itb_primary = {itb_primary_start, std::min(size_bytes - itb_primary_start, itb_bytes)};
  layout.spl_target = replace_fallback ? layout.spl_fallback : layout.spl_primary;
  layout.itb_target = replace_fallback ? layout.itb_fallback : layout.itb_primary;
  return layout;
}

void refuse_partial_erase_blocks(const FlashLayout& layout, std::uint32_t size_bytes,
                                 std::uint32_t erasesize_bytes, const EraseRequests& requests) {
  const auto refuse_unless_whole = [&](const char* name, const FlashArea& area) {
    if (area.offset % erasesize_bytes != 0 || area.size % erasesize_bytes != 0)
      fail(1, "ERROR: The %s area at %u (%u bytes) is not whole erase blocks of %u bytes\n", name,
           area.offset, area.size, erasesize_bytes);
  };
  if (requests.chip) refuse_unless_whole("whole-chip", {0, size_bytes});
  if (requests.loader) {
    refuse_unless_whole(area_name(layout, layout.duobl_primary), layout.duobl_primary);
    refuse_unless_whole(area_name(layout, layout.duobl_backup), layout.duobl_backup);
  }
  if (requests.spl) refuse_unless_whole(area_name(layout, layout.spl_target), layout.spl_target);
  if (requests.itb) refuse_unless_whole(area_name(layout, layout.itb_target), layout.itb_target);
}

void print_layout(const FlashLayout& layout) {
  std::printf("\nAuto-calculated layout for duobl dual bootloader scheme:\n\n");
  std::printf("%-20s %-10s %-10s\n", "Area", "Offset", "Size");
  std::printf("---------------------------------------------------\n");
  for (const NamedArea& row : named_areas(layout))
    std::printf("%-20s %-10u %-10u\n", row.name, row.area->offset, row.area->size);
  std::printf("\n");
}

}  // namespace duobl
