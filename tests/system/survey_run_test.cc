// SPDX-License-Identifier: GPL-2.0-or-later
// The survey as a whole run prints it: a dry run on the simulated board with
// boot images already in the flash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/images.h"
#include "fixture/install_support.h"
#include "oracle/boot_header_bytes.h"
#include "oracle/mkimage.h"

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

TEST(SurveyRun, Rk3399LoaderAndUbootSetOnADryRun) {
  Board board;
  board.flash->assign(board.size_bytes, 0xFF);

  // A padded loader at 0, as an SD card image would place it: the 512
  // bytes of its header, then erased padding.
  Bytes loader = legacy_header_area({.first_offset = 4, .first_size = 24, .total_size = 24});
  loader.resize(kRomLegacyHeaderBytes);
  put(*board.flash, 0, loader);
  put(*board.flash, 4096 + 64, "duobl");  // behind the erased padding

  // A U-Boot TPL + SPL pair behind a fresh header at 512 KiB (index 7).
  Bytes tpl(61440, 0x5A);
  put(tpl, 64, "U-Boot TPL");
  put(*board.flash, 524288, header_area(RomFamily::Rk3399, 4, 120, 200));
  put(*board.flash, 524288 + 2048, tpl);
  put(*board.flash, 524288 + 2048 + 61440 + 64, "U-Boot SPL");

  const RunResult result = run_tool(board, {"--dry-run"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(survey_section(result.out),
            kSurveyHeading +
                "0   0          2048       12288      0          0          (padded) 0='duobl'\n"
                "7   524288     526336     61440      587776     102400     0='U-Boot TPL' 1='U-Boot SPL'\n"
                "\n");
  EXPECT_EQ(result.flash, board.flash) << "a dry run leaves the flash alone";
}

TEST(SurveyRun, Rk35xxHeaderClaimingImagesPastTheChipDoesNotFailADryRun) {
  Board board = rk3568_board();
  board.size_bytes = 4 * kMiB;
  board.flash->assign(board.size_bytes, 0xFF);

  put(*board.flash, 65536,
      rkns_header_area({.image_count = 2,
                        .first = {0xFFFF, 0xFFFF},
                        .second = {8000, 1000}}));  // crosses the end of the chip

  const RunResult result = run_tool(board, {"--dry-run"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(survey_section(result.out),
            kSurveyHeading +
                "1   65536      33619456   33553920   4161536    512000    "
                " (padded) (!! incorrect use of padded image !!)\n\n");
}

// The images U-Boot's mkimage makes of a made-up TPL of 3000 bytes and SPL
// of 5000 (8 and 12 sectors once rounded up to 2 KiB), read by the same
// rules as any header: an SD image (-T rksd) holds the header, the TPL and
// the SPL back to back; an SPI image (-T rkspi) follows every 2 KiB of that
// with 2 KiB of zeros, which RK3399 counts as padding and RK35xx does not.
// So on RK3568 the SPI image's second image is read from the unpadded
// positions, where the TPL's second half lies, and is not named.
TEST(SurveyRun, ReadsTheImagesMkimageMakes) {
  if (!have_mkimage()) GTEST_SKIP() << kNoMkimage;
  const std::vector<std::string> files = {
      write_temp_file("mkimage-tpl.bin", make_uboot_tpl(3000)),
      write_temp_file("mkimage-spl.bin", make_signed_image(5000, "U-Boot SPL", 4))};
  struct Image {
    const char* type;
    std::uint32_t at;
  };
  const struct {
    const char* soc;
    Board board;
    std::vector<Image> images;
    std::string rows;
  } cases[] = {
      {"rk3399", Board{}, {{"rkspi", 0}, {"rksd", 524288}},
       "0   0          2048       4096       6144       6144       (padded) 0='U-Boot TPL' 1='U-Boot SPL'\n"
       "7   524288     526336     4096       530432     6144       (!! incorrect use of unpadded image !!)"
       " 0='U-Boot TPL' 1='U-Boot SPL'\n"},
      {"rk3568", rk3568_board(), {{"rksd", 65536}, {"rkspi", 524288}},
       "1   65536      67584      4096       71680      6144       0='U-Boot TPL' 1='U-Boot SPL'\n"
       "8   524288     526336     4096       530432     6144       0='U-Boot TPL' 1='unknown'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.soc);
    Board board = c.board;
    board.flash->assign(board.size_bytes, 0xFF);
    for (const Image& image : c.images) {
      const MkimageResult made = mkimage_rockchip(c.soc, image.type, files);
      ASSERT_TRUE(made.ok) << image.type << ": " << made.output;
      put(*board.flash, image.at, made.image);
    }
    const RunResult result = run_tool(board, {"--dry-run"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(survey_section(result.out), kSurveyHeading + c.rows + "\n");
  }
}

}  // namespace
}  // namespace duobl::testing
