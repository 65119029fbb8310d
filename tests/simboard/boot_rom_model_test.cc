// SPDX-License-Identifier: GPL-2.0-or-later
// The boot ROM model and the judgement built on it: both must see the
// headers the tool installs, and the judgement must reject every way in
// which a header can point at incomplete data, or the campaign proves
// nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fixture/board.h"
#include "fixture/install_support.h"
#include "fixture/resilience_support.h"
#include "oracle/boot_rom_model.h"

namespace duobl::testing {
namespace {

TEST(BootRomModel, RecognisesTheMagicAsTheRomCompares) {
  // 55 AA F0 0F as every RK3399 in the field expects it stored, and as the
  // header builder stores it.
  const std::array<std::uint8_t, 4> stored = {0x3b, 0x8c, 0xdc, 0xfc};
  const Bytes built = header_area(RomFamily::Rk3399, 4, 4);
  EXPECT_EQ(Bytes(built.begin(), built.begin() + 4), Bytes(stored.begin(), stored.end()));
  const struct {
    RomFamily family;
    std::array<std::uint8_t, 4> bytes;
    bool magic;
  } cases[] = {
      {RomFamily::Rk35xx, {'R', 'K', 'N', 'S'}, true},
      {RomFamily::Rk35xx, {'R', 'K', 0x00, 'S'}, true},
      {RomFamily::Rk35xx, {'R', 'K', 'N', 'T'}, false},
      {RomFamily::Rk35xx, {0xFF, 0xFF, 0xFF, 0xFF}, false},
      {RomFamily::Rk3399, stored, true},
      {RomFamily::Rk3399, {0x3b, 0x8c, 0xdc, 0xfd}, false},
      {RomFamily::Rk3399, {0x55, 0xAA, 0xF0, 0x0F}, false},
      {RomFamily::Rk3399, {'R', 'K', 'N', 'S'}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(rom_magic_at(c.family, c.bytes.data()), c.magic);
}

// Both families: the loader at 0 and a U-Boot set in each SPL area, the
// set's TPL (3000 bytes, so 4096 on the flash) right behind the 2 KiB header
// area and its SPL behind that.
TEST(BootRomModel, FindsWhatTheToolInstalled) {
  for (RomFamily family : {RomFamily::Rk3399, RomFamily::Rk35xx}) {
    SCOPED_TRACE(family_name(family));
    const std::vector<RomHeader> headers = rom_scan(family, start_flash(family));
    ASSERT_EQ(headers.size(), 3u);
    EXPECT_EQ(headers[0].at, 0u);
    EXPECT_EQ(headers[0].padded, family == RomFamily::Rk3399);
    ASSERT_EQ(headers[0].images.size(), 1u);
    EXPECT_EQ(headers[0].images[0].offset_bytes, 2048u);
    EXPECT_EQ(headers[0].images[0].length_bytes, 4096u);
    for (std::size_t i : {1u, 2u}) {
      const RomHeader& set = headers[i];
      EXPECT_EQ(set.at, i == 1 ? kSplFallbackOffset : kSplPrimaryOffset);
      EXPECT_FALSE(set.padded);
      ASSERT_EQ(set.images.size(), 2u);
      EXPECT_EQ(set.images[0].offset_bytes, set.at + 2048u);
      EXPECT_EQ(set.images[0].length_bytes, 4096u);
      EXPECT_EQ(set.images[1].offset_bytes, set.at + 2048u + 4096u);
    }
  }
}

// Each change of the start flash, judged against the start flash alone.
TEST(BootRomModel, JudgementRejectsHeadersOverIncompleteData) {
  for (RomFamily family : {RomFamily::Rk3399, RomFamily::Rk35xx}) {
    SCOPED_TRACE(family_name(family));
    const Bytes& start = start_flash(family);
    Board board = resilience_board(family);
    board.flash = start;
    const RunResult report = run_tool(board, {"--dry-run"}, kRunLimitSeconds);
    const std::vector<PrintedArea> layout = printed_layout(report.out);
    ASSERT_EQ(layout.size(), 6u);
    const std::vector<ReferenceState> references = {reference_state(family, "start", start)};
    const std::vector<RomHeader> headers = rom_scan(family, start);
    ASSERT_EQ(headers.size(), 3u);
    const RomHeader& primary = headers[2];
    const std::uint32_t itb = layout[5].offset;
    // The first image's size: scrambled on RK3399, entry 0 on RK35xx.
    const std::size_t size_field = family == RomFamily::Rk3399 ? 506 : 122;

    const struct {
      const char* name;
      std::size_t offset;
      std::size_t length;
      std::uint8_t value;       // written over the range
      bool erase_every_magic;   // and over the magic of every header
      int complete;             // headers still complete, or -1 for a problem
    } cases[] = {
        {"untouched", 0, 0, 0, false, 3},
        {"primary magic zeroed", primary.at, 4, 0x00, false, 2},
        {"every magic erased", 0, 0, 0xFF, true, -1},
        {"one byte of the primary TPL", primary.at + 2048 + 100, 1, 0x00, false, -1},
        {"tail of the primary SPL erased", primary.at + 2048 + 4096 + 1000, 2000, 0xFF, false, -1},
        {"one byte of the primary ITB", itb + 3999, 1, 0x00, false, -1},
        {"a size field of the primary header", primary.at + size_field, 1, 0x00, false, -1},
        {"one byte of the loader", 4096 + 10, 1, 0x00, false, -1},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      Bytes flash = start;
      std::memset(flash.data() + c.offset, c.value, c.length);
      if (c.erase_every_magic)
        for (const RomHeader& header : headers) std::memset(flash.data() + header.at, 0xFF, 4);
      const Verdict verdict = judge_flash(family, flash, references, layout);
      if (c.complete < 0) {
        EXPECT_NE(verdict.problem, "");
      } else {
        EXPECT_EQ(verdict.problem, "");
        EXPECT_EQ(verdict.complete_at.size(), static_cast<std::size_t>(c.complete));
      }
    }
  }
}

}  // namespace
}  // namespace duobl::testing
