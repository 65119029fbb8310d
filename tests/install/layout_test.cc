// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/layout.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "fixture/install_support.h"

namespace duobl {

// Found by argument-dependent lookup, so they live beside FlashArea.
bool operator==(const FlashArea& a, const FlashArea& b) {
  return a.offset == b.offset && a.size == b.size;
}

void PrintTo(const FlashArea& area, std::ostream* os) {
  *os << "[" << area.offset << ", " << area.size << "]";
}

namespace {

constexpr std::uint32_t kKiB = 1024;
using testing::kItbFallbackBytes, testing::kItbFallbackOffset, testing::kItbPrimaryBytes,
    testing::kItbPrimaryOffset, testing::kMiB, testing::kSplFallbackBytes,
    testing::kSplFallbackOffset, testing::kSplPrimaryBytes, testing::kSplPrimaryOffset;

ProbeOffsets probe_list(std::initializer_list<std::uint32_t> offsets) {
  ProbeOffsets probe;
  for (std::uint32_t offset : offsets) probe.offsets_bytes[probe.count++] = offset;
  return probe;
}

struct LayoutCase {
  const char* name;
  std::uint32_t size_bytes;
  std::uint32_t erasesize_bytes;
  FlashArea spl_primary;
  FlashArea itb_fallback;
  FlashArea itb_primary;
};

// The worked columns, plus chips where the ITB areas reach their cap and
// the extreme erase block sizes.
constexpr LayoutCase kLayoutCases[] = {
    {"16MiB_4KiB", 16 * kMiB, 4 * kKiB, {kSplPrimaryOffset, kSplPrimaryBytes},
     {kItbFallbackOffset, kItbFallbackBytes}, {kItbPrimaryOffset, kItbPrimaryBytes}},
    {"16MiB_64KiB", 16 * kMiB, 64 * kKiB, {524288, 393216}, {917504, 2097152}, {3014656, 2097152}},
    {"4MiB_4KiB", 4 * kMiB, 4 * kKiB, {524288, 389120}, {913408, 1642496}, {2555904, 1638400}},
    {"8MiB_4KiB", 8 * kMiB, 4 * kKiB, {524288, 389120}, {913408, 2097152}, {3010560, 2097152}},
    {"128MiB_4KiB", 128 * kMiB, 4 * kKiB, {524288, 389120}, {913408, 2097152}, {3010560, 2097152}},
    {"16MiB_32B", 16 * kMiB, 32, {524288, 389120}, {913408, 2097152}, {3010560, 2097152}},
    {"16MiB_128KiB",
     16 * kMiB,
     128 * kKiB,
     {524288, 393216},
     {917504, 2097152},
     {3014656, 2097152}},
    // The ITB round-up lands on a 128 KiB boundary past the half-way point,
    // so the chip's end limits the primary ITB area.
    {"4MiB_128KiB", 4 * kMiB, 128 * kKiB, {524288, 393216}, {917504, 1703936}, {2621440, 1572864}},
};

TEST(ComputeLayout, AreasForBothFamilies) {
  for (SocFamily family : {SocFamily::Rk3399, SocFamily::Rk35xx}) {
    for (const LayoutCase& c : kLayoutCases) {
      SCOPED_TRACE(std::string(c.name) + (family == SocFamily::Rk3399 ? " rk3399" : " rk35xx"));
      const FlashLayout layout =
          compute_layout(probe_offsets_for(family), c.size_bytes, c.erasesize_bytes, false);
      EXPECT_EQ(layout.duobl_primary, (FlashArea{0, 65536}));
      EXPECT_EQ(layout.duobl_backup, (FlashArea{65536, 65536}));
      EXPECT_EQ(layout.spl_fallback, (FlashArea{kSplFallbackOffset, kSplFallbackBytes}));
      EXPECT_EQ(layout.spl_primary, c.spl_primary);
      EXPECT_EQ(layout.itb_fallback, c.itb_fallback);
      EXPECT_EQ(layout.itb_primary, c.itb_primary);
      EXPECT_EQ(layout.spl_target, c.spl_primary);
      EXPECT_EQ(layout.itb_target, c.itb_primary);
    }
  }
}

// Every geometry the probe accepts: the areas follow one another without
// gaps, the SPL and fallback ITB areas are whole erase blocks, and the
// primary ITB area starts on a block and ends inside the chip.
TEST(ComputeLayout, AreasTileTheChipOnEraseBlocks) {
  for (SocFamily family : {SocFamily::Rk3399, SocFamily::Rk35xx}) {
    for (std::uint32_t block = 32; block <= 128 * kKiB; block *= 2) {
      for (std::uint32_t size = 4 * kMiB; size != 0 && size <= 2048 * kMiB; size *= 2) {
        SCOPED_TRACE("block " + std::to_string(block) + " size " + std::to_string(size));
        const FlashLayout l = compute_layout(probe_offsets_for(family), size, block, false);
        EXPECT_EQ(l.spl_fallback.offset + l.spl_fallback.size, l.spl_primary.offset);
        EXPECT_EQ(l.spl_primary.offset + l.spl_primary.size, l.itb_fallback.offset);
        EXPECT_EQ(l.itb_fallback.offset + l.itb_fallback.size, l.itb_primary.offset);
        EXPECT_LE(std::uint64_t{l.itb_primary.offset} + l.itb_primary.size, size);
        EXPECT_GE(l.spl_primary.size, 0x5f000u);
        EXPECT_LT(l.spl_primary.size, 0x5f000u + block);
        EXPECT_EQ(l.spl_primary.offset % block, 0u);
        EXPECT_EQ(l.spl_primary.size % block, 0u);
        EXPECT_EQ(l.itb_fallback.size % block, 0u);
        EXPECT_EQ(l.itb_primary.offset % block, 0u);
        EXPECT_LE(l.itb_primary.size, l.itb_fallback.size);
        EXPECT_GT(l.itb_primary.size, 0u);
      }
    }
  }
}

TEST(ComputeLayout, ProbeListWithoutRoomForAFallbackSpl) {
  struct {
    const char* name;
    ProbeOffsets probe;
    FlashArea spl_fallback;
    FlashArea spl_primary;
  } const cases[] = {
      {"no 128 KiB entry", probe_list({0, 65536, 262144, 524288}), {131072, 0}, {131072, 389120}},
      {"128 KiB entry last", probe_list({0, 65536, 131072}), {131072, 0}, {131072, 389120}},
      // No entry lies far enough behind 128 KiB: the last one is taken.
      {"no entry far enough",
       probe_list({0, 131072, 262144, 458752}),
       {131072, 327680},
       {458752, 389120}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FlashLayout layout = compute_layout(c.probe, 16 * kMiB, 4 * kKiB, false);
    EXPECT_EQ(layout.spl_fallback, c.spl_fallback);
    EXPECT_EQ(layout.spl_primary, c.spl_primary);
    EXPECT_EQ(layout.itb_fallback.offset, c.spl_primary.offset + c.spl_primary.size);
  }
}

std::string printed(const FlashLayout& layout) {
  ::testing::internal::CaptureStdout();
  print_layout(layout);
  return ::testing::internal::GetCapturedStdout();
}

TEST(ComputeLayout, ReplaceFallbackMovesTheTargetsOnly) {
  const ProbeOffsets probe = probe_offsets_for(SocFamily::Rk35xx);
  const FlashLayout primary = compute_layout(probe, 16 * kMiB, 4 * kKiB, false);
  const FlashLayout fallback = compute_layout(probe, 16 * kMiB, 4 * kKiB, true);
  EXPECT_EQ(fallback.spl_target, (FlashArea{kSplFallbackOffset, kSplFallbackBytes}));
  EXPECT_EQ(fallback.itb_target, (FlashArea{kItbFallbackOffset, kItbFallbackBytes}));
  EXPECT_EQ(primary.spl_target, (FlashArea{kSplPrimaryOffset, kSplPrimaryBytes}));
  EXPECT_EQ(primary.itb_target, (FlashArea{kItbPrimaryOffset, kItbPrimaryBytes}));
  EXPECT_EQ(printed(primary), printed(fallback));
}

TEST(PrintLayout, Table) {
  const FlashLayout layout =
      compute_layout(probe_offsets_for(SocFamily::Rk3399), 4 * kMiB, 4 * kKiB, false);
  EXPECT_EQ(printed(layout),
            "\n"
            "Auto-calculated layout for duobl dual bootloader scheme:\n"
            "\n"
            "Area                 Offset     Size      \n"
            "---------------------------------------------------\n"
            "duobl primary        0          65536     \n"
            "duobl backup         65536      65536     \n"
            "spl fallback         131072     393216    \n"
            "spl primary          524288     389120    \n"
            "itb fallback         913408     1642496   \n"
            "itb primary          2555904    1638400   \n"
            "\n");
}

}  // namespace
}  // namespace duobl
