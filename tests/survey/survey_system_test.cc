// SPDX-License-Identifier: GPL-2.0-or-later
// The survey as a whole run prints it: a dry run on the simulated board with
// boot images already in the flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "fixture/board.h"
#include "formats/boot_header.h"

namespace duobl::testing {
namespace {

// The survey's part of a run's output, from its leading empty line up to and
// including its closing one.
std::string survey_section(const std::string& out) {
  const std::size_t begin = out.find("\nBootable images currently present in SPI NOR flash:\n");
  const std::size_t end = out.find("\nAuto-calculated layout");
  if (begin == std::string::npos || end == std::string::npos || end < begin)
    return "(no survey in)\n" + out;
  return out.substr(begin, end - begin);
}

const std::string kHeading =
    "\n"
    "Bootable images currently present in SPI NOR flash:\n"
    "\n"
    "Idx Header     Off 1      Size 1     Off 2      Size 2     Notes/content\n"
    "-------------------------------------------------------------------------------\n";

void put(Bytes& flash, std::size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), flash.begin() + static_cast<std::ptrdiff_t>(at));
}

void put(Bytes& flash, std::size_t at, const std::uint8_t* bytes, std::size_t count) {
  std::copy_n(bytes, count, flash.begin() + static_cast<std::ptrdiff_t>(at));
}

TEST(SurveyRun, Rk3399LoaderAndUbootSetOnADryRun) {
  Board board;
  board.flash.assign(board.size_bytes, 0xFF);

  // A padded loader at 0, as an SD card image would place it.
  Bytes plain(kLegacyHeaderBytes, 0);
  LegacyBootHeader loader{kLegacyMagic, 0, 4, 24, 24};
  std::span<std::uint8_t, kLegacyHeaderBytes> header(plain.data(), kLegacyHeaderBytes);
  encode_legacy_header(loader, header);
  scramble_header(header);
  put(board.flash, 0, plain.data(), plain.size());
  put(board.flash, 4096 + 64, "duobl");  // behind the erased padding

  // A U-Boot TPL + SPL pair behind a built header at 512 KiB (index 7).
  Bytes tpl(61440, 0x5A);
  put(tpl, 64, "U-Boot TPL");
  const BootHeaderArea area = build_header_area(SocFamily::Rk3399, 120, 200, tpl);
  put(board.flash, 524288, area.data(), area.size());
  put(board.flash, 524288 + 2048, tpl.data(), tpl.size());
  put(board.flash, 524288 + 2048 + 61440 + 64, "U-Boot SPL");

  const RunResult result = run_tool(board, {"--dry-run"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(survey_section(result.out),
            kHeading +
                "0   0          2048       12288      0          0          (padded) 0='duobl'\n"
                "7   524288     526336     61440      587776     102400     0='U-Boot TPL' 1='U-Boot SPL'\n"
                "\n");
  EXPECT_EQ(result.flash, board.flash) << "a dry run leaves the flash alone";
}

TEST(SurveyRun, Rk35xxHeaderClaimingImagesPastTheChipDoesNotFailADryRun) {
  Board board;
  board.compatible = {"radxa,rock-3a", "rockchip,rk3568"};
  board.model = "Radxa ROCK3 Model A";
  board.size_bytes = 4 * kMiB;
  board.flash.assign(board.size_bytes, 0xFF);

  RknsBootHeader rkns;
  rkns.magic = {'R', 'K', 'N', 'S'};
  rkns.image_count = 2;
  rkns.entries[0] = RknsImageEntry{0xFFFF, 0xFFFF, 0, 0};
  rkns.entries[1] = RknsImageEntry{8000, 1000, 0, 0};  // crosses the end of the chip
  BootHeaderArea area{};
  encode_rkns_header(rkns, area);
  put(board.flash, 65536, area.data(), area.size());

  const RunResult result = run_tool(board, {"--dry-run"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(survey_section(result.out),
            kHeading +
                "1   65536      33619456   33553920   4161536    512000    "
                " (padded) (!! incorrect use of padded image !!)\n\n");
}

}  // namespace
}  // namespace duobl::testing
