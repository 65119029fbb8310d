// SPDX-License-Identifier: GPL-2.0-or-later
#include "survey/survey.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fixture/capture.h"
#include "fixture/install_support.h"
#include "oracle/boot_header_bytes.h"

namespace duobl {
namespace {

using testing::Bytes, testing::kMiB, testing::kSurveyHeading;

// An erased chip held in a memfd of exactly the chip's size, so that any read
// past its end fails the test (flash_read ends the process there).
struct Chip {
  int fd = -1;
  std::uint32_t size_bytes = 0;
};

Chip erased_chip(std::uint32_t size_bytes) {
  Chip chip{memfd_create("chip", 0), size_bytes};
  const Bytes erased(1 * kMiB, 0xFF);
  for (std::uint32_t at = 0; at < size_bytes; at += static_cast<std::uint32_t>(erased.size()))
    EXPECT_GT(pwrite(chip.fd, erased.data(), std::min<std::size_t>(erased.size(), size_bytes - at), at), 0);
  return chip;
}

void put(const Chip& chip, std::uint32_t at, const Bytes& bytes) {
  ASSERT_EQ(pwrite(chip.fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
}

void put(const Chip& chip, std::uint32_t at, std::string_view text) {
  put(chip, at, Bytes(text.begin(), text.end()));
}

void fill(const Chip& chip, std::uint32_t at, std::size_t count, std::uint8_t value) {
  put(chip, at, Bytes(count, value));
}

// A scrambled header with the given fields, as stored on an RK3399: its 512
// bytes alone, the rest of the area is left as the chip holds it.
Bytes legacy_header(std::uint16_t first_offset, std::uint16_t first_size, std::uint16_t total_size) {
  Bytes bytes = testing::legacy_header_area({.first_offset = first_offset,
                                             .first_size = first_size,
                                             .total_size = total_size});
  bytes.resize(testing::kRomLegacyHeaderBytes);
  return bytes;
}

Bytes rkns_header(std::uint16_t image_count, testing::RknsEntry first,
                  testing::RknsEntry second = {}) {
  Bytes bytes =
      testing::rkns_header_area({.image_count = image_count, .first = first, .second = second});
  bytes.resize(296);  // the rest of the area is left as the chip holds it
  return bytes;
}

// The RK3399 magic as stored.
const Bytes kStoredLegacyMagic = {0x3b, 0x8c, 0xdc, 0xfc};

std::string table(const std::vector<std::string>& rows) {
  std::string text(kSurveyHeading);
  for (const std::string& r : rows)
    text += r;
  return text + "\n";
}

// What the survey prints for `chip`.
std::string survey(const Chip& chip, SocFamily family) {
  auto capture = duobl::testing::begin_capture();
  print_survey(survey_boot_images(FlashDevice{chip.fd}, chip.size_bytes, family, probe_offsets_for(family)));
  std::string out = duobl::testing::end_capture(capture);
  close(chip.fd);
  return out;
}

TEST(Survey, BlankChipPrintsOnlyTheHeading) {
  for (SocFamily family : {SocFamily::Rk3399, SocFamily::Rk35xx}) {
    EXPECT_EQ(survey(erased_chip(4 * kMiB), family), table({}));
  }
}

TEST(Survey, SampleRowsRk3399) {
  Chip chip = erased_chip(4 * kMiB);
  // Row A: a padded duobl loader at 0.
  put(chip, 0, legacy_header(4, 24, 24));
  put(chip, 2048 + 20000, "duobl");  // only inside the doubled read

  // Row B: a TPL + SPL pair behind a built header at probe 5 (128 KiB).
  Bytes tpl(61440, 0);
  std::copy_n("U-Boot TPL", 10, tpl.begin() + 1000);
  put(chip, 131072, testing::header_area(testing::RomFamily::Rk3399, 4, 120, 200));
  put(chip, 131072 + 2048, tpl);
  Bytes spl(102400, 0);
  std::copy_n("U-Boot SPL", 10, spl.begin() + 5000);
  put(chip, 131072 + 2048 + 61440, spl);

  const std::string out = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(out,
            table({"0   0          2048       12288      0          0          (padded) 0='duobl'\n",
                   "5   131072     133120     61440      194560     102400     0='U-Boot TPL' 1='U-Boot SPL'\n"}));
}

TEST(Survey, SampleRowRk35xxUnalignedHeader) {
  Chip chip = erased_chip(4 * kMiB);
  Bytes tpl(61440, 0);
  std::copy_n("U-Boot TPL", 10, tpl.begin());
  put(chip, 131075, testing::header_area(testing::RomFamily::Rk35xx, 4, 120, 200));
  put(chip, 131075 + 2048, tpl);

  const std::string out = survey(chip, SocFamily::Rk35xx);
  EXPECT_EQ(out, table({"2   131075     133123     61440      194563     102400     (unaligned by 3)\n"}));
}

TEST(Survey, Rk3399PaddingNotesFollowTheLoader) {
  Chip chip = erased_chip(4 * kMiB);
  // Index 0 (0): unpadded before the loader.
  put(chip, 0, legacy_header(4, 4, 4));
  put(chip, 2048, "U-Boot TPL");
  // Index 2 (16 KiB): the padded loader.
  put(chip, 16384, legacy_header(4, 4, 4));
  put(chip, 16384 + 2048 + 4096 - 100, "duobl");
  // Index 4 (64 KiB): padded, now wrong.
  put(chip, 65536, legacy_header(4, 4, 4));
  // Index 5 (128 KiB): unpadded, now right.
  put(chip, 131072, legacy_header(4, 4, 8));
  fill(chip, 131072 + 2048, 4096, 0x11);
  put(chip, 131072 + 4096, "U-Boot SPL");

  const std::string out = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(out,
            table({"0   0          2048       2048       0          0          (!! incorrect use of unpadded image !!) 0='U-Boot TPL'\n",
                   "2   16384      18432      2048       0          0          (padded) 0='duobl'\n",
                   "4   65536      67584      2048       0          0          (padded) (!! incorrect use of padded image !!) 0='unknown'\n",
                   "5   131072     133120     2048       135168     2048       0='unknown' 1='U-Boot SPL'\n"}));
}

TEST(Survey, LoaderOnlyCountsAsImageOneOfAnAlignedHeader) {
  Chip chip = erased_chip(4 * kMiB);
  // duobl as image 2 of the padded header at 0: logical byte 4096 + 1000,
  // stored in the first half of the third 4 KiB.
  put(chip, 0, legacy_header(4, 4, 8));
  put(chip, 8192 + 1000, "duobl");
  // duobl under an unaligned header in the window at 8 KiB.
  put(chip, 8192 + 5, legacy_header(4, 4, 4));
  put(chip, 8192 + 5 + 2048, "duobl");
  // A later unpadded header is still expected padded.
  put(chip, 16384, legacy_header(4, 4, 4));
  fill(chip, 16384 + 2048, 2048, 0x11);

  const std::string out = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(out, table({"0   0          2048       2048       4096       2048       (padded) 0='unknown' 1='duobl'\n",
                               "1   8197       10245      2048       0          0          (unaligned by 5)\n",
                               "2   16384      18432      2048       0          0          (!! incorrect use of unpadded image !!) 0='unknown'\n"}));
}

TEST(Survey, PaddingTestPerFamily) {
  struct Case {
    SocFamily family;
    std::uint8_t tail;
    bool stray_byte;  // one 0x42 among the tail bytes
    const char* row;
  };
  const Case cases[] = {
      {SocFamily::Rk3399, 0xFF, false, "0   0          2048       0          0          0          (padded)\n"},
      {SocFamily::Rk3399, 0x00, false, "0   0          2048       0          0          0          (padded)\n"},
      {SocFamily::Rk3399, 0xFF, true, "0   0          2048       0          0          0          (!! incorrect use of unpadded image !!)\n"},
      {SocFamily::Rk3399, 0x00, true, "0   0          2048       0          0          0          (!! incorrect use of unpadded image !!)\n"},
      {SocFamily::Rk35xx, 0xFF, false, "0   0          2048       0          0          0          (padded) (!! incorrect use of padded image !!)\n"},
      {SocFamily::Rk35xx, 0x00, false, "0   0          2048       0          0          0         \n"},
      {SocFamily::Rk35xx, 0xFF, true, "0   0          2048       0          0          0         \n"},
  };
  for (const Case& c : cases) {
    Chip chip = erased_chip(4 * kMiB);
    // Images of size 0: nothing is named, only the padding shows.
    put(chip, 0, c.family == SocFamily::Rk3399 ? legacy_header(4, 0, 0) : rkns_header(1, {4, 0, 0, 0}));
    fill(chip, 2048, 2048, c.tail);
    if (c.stray_byte)
      fill(chip, 4095, 1, 0x42);
    EXPECT_EQ(survey(chip, c.family), table({c.row}))
        << int(c.tail) << " " << c.stray_byte;
  }
}

TEST(Survey, LaterHeadersInAWindowAreTestedOnTheBytesFirstRead) {
  Chip chip = erased_chip(4 * kMiB);
  Bytes first = legacy_header(4, 0, 0);
  // Bytes 8..11 of the stored header also hold the scrambled magic; once the
  // first header is unscrambled they no longer would.
  std::copy(kStoredLegacyMagic.begin(), kStoredLegacyMagic.end(), first.begin() + 8);
  put(chip, 8192, first);

  // The second header decodes to whatever bytes 8 on of the stored first
  // one give when they are unscrambled as a header of their own.
  const std::string out = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(out,
            table({"1   8192       10240      0          0          0          (padded)\n",
                   "1   8200       158216     14229504   14387720   14067200   (unaligned by 8)\n"}));
}

// A padded block's images are named from the first 2 KiB of every 4 KiB,
// where the boot ROM reads them: image 2 starts in the middle of a half and
// its signature straddles the filler, which holds a signature of its own.
TEST(Survey, PaddedImagesAreNamedFromTheHalvesTheBootRomReads) {
  Chip chip = erased_chip(4 * kMiB);
  put(chip, 0, legacy_header(4, 3, 7));  // image 1: logical 2048..3583; image 2: 3584..5631
  put(chip, 4096 + 100, "U-Boot TPL");   // logical 2148
  put(chip, 6144 - 6, "U-Boot");         // logical 4090..4095
  put(chip, 6144, "U-Boot TPL");         // filler, never read
  put(chip, 8192, " SPL");               // logical 4096..4099
  EXPECT_EQ(survey(chip, SocFamily::Rk3399),
            table({"0   0          2048       1536       3584       2048       (padded) 0='U-Boot TPL' 1='U-Boot SPL'\n"}));
}

TEST(Survey, LargestImagesThatAreStillNamed) {
  struct Case {
    SocFamily family;
    std::uint16_t sectors;
    bool padded;
    const char* row;
  };
  const Case cases[] = {
      {SocFamily::Rk35xx, 1023, false, "0   0          8192       523776     0          0          0='U-Boot SPL'\n"},
      {SocFamily::Rk35xx, 1024, false, "0   0          8192       524288     0          0         \n"},
      {SocFamily::Rk3399, 511, true, "0   0          8192       261632     0          0          (padded) 0='U-Boot SPL'\n"},
      {SocFamily::Rk3399, 512, true, "0   0          8192       262144     0          0          (padded)\n"},
  };
  for (const Case& c : cases) {
    Chip chip = erased_chip(4 * kMiB);
    // The image starts at 8 KiB so that a padded block stays erased.
    const std::uint32_t count = (c.padded ? 2u : 1u) * c.sectors * 512u;
    put(chip, 0, c.family == SocFamily::Rk3399 ? legacy_header(16, c.sectors, c.sectors)
                                               : rkns_header(1, {16, c.sectors, 0, 0}));
    if (!c.padded)
      fill(chip, 2048, 2048, 0);
    // The last position at which a signature can still be found, where it
    // is stored: in a padded block, in the first half of its 4 KiB.
    const std::uint32_t last = 8192 + std::min<std::uint32_t>(count, 524287u) / (c.padded ? 2 : 1) - 65;
    put(chip, c.padded ? last / 2048 * 4096 + last % 2048 : last, "U-Boot SPL");
    EXPECT_EQ(survey(chip, c.family), table({c.row}))
        << c.sectors;
  }
}

// A header at every probe offset of RK3399 (0, then 8 KiB doubling to
// 16 MiB); the rows end with the last offset inside the chip.
TEST(Survey, Rk3399ScanStopsAtTheEndOfTheChip) {
  const std::vector<std::string> rows = {
      "0   0          2048       0          0          0          (padded)\n",
      "1   8192       10240      0          0          0          (padded)\n",
      "2   16384      18432      0          0          0          (padded)\n",
      "3   32768      34816      0          0          0          (padded)\n",
      "4   65536      67584      0          0          0          (padded)\n",
      "5   131072     133120     0          0          0          (padded)\n",
      "6   262144     264192     0          0          0          (padded)\n",
      "7   524288     526336     0          0          0          (padded)\n",
      "8   1048576    1050624    0          0          0          (padded)\n",
      "9   2097152    2099200    0          0          0          (padded)\n",
      "10  4194304    4196352    0          0          0          (padded)\n",
      "11  8388608    8390656    0          0          0          (padded)\n",
      "12  16777216   16779264   0          0          0          (padded)\n",
  };
  struct Case {
    std::uint32_t size_bytes;
    std::size_t rows;
  };
  for (Case c : {Case{4 * kMiB, 10}, Case{16 * kMiB, 12}, Case{32 * kMiB, 13}}) {
    Chip chip = erased_chip(c.size_bytes);
    for (std::uint32_t at = 0; at < c.size_bytes; at = at == 0 ? 8192 : 2 * at)
      put(chip, at, legacy_header(4, 0, 0));
    const std::vector<std::string> expected(rows.begin(), rows.begin() + c.rows);
    EXPECT_EQ(survey(chip, SocFamily::Rk3399), table(expected)) << c.size_bytes;
  }
}

TEST(Survey, Rk35xxScansAllSixteenProbes) {
  Chip chip = erased_chip(4 * kMiB);
  for (std::uint32_t at = 0; at < 16 * 65536; at += 65536) {
    put(chip, at, rkns_header(1, {4, 0, 0, 0}));
    fill(chip, at + 2048, 2048, 0);
  }
  EXPECT_EQ(survey(chip, SocFamily::Rk35xx), table({
      "0   0          2048       0          0          0         \n",
      "1   65536      67584      0          0          0         \n",
      "2   131072     133120     0          0          0         \n",
      "3   196608     198656     0          0          0         \n",
      "4   262144     264192     0          0          0         \n",
      "5   327680     329728     0          0          0         \n",
      "6   393216     395264     0          0          0         \n",
      "7   458752     460800     0          0          0         \n",
      "8   524288     526336     0          0          0         \n",
      "9   589824     591872     0          0          0         \n",
      "10  655360     657408     0          0          0         \n",
      "11  720896     722944     0          0          0         \n",
      "12  786432     788480     0          0          0         \n",
      "13  851968     854016     0          0          0         \n",
      "14  917504     919552     0          0          0         \n",
      "15  983040     985088     0          0          0         \n",
  }));
}

TEST(Survey, HeaderValuesAreShownAsTheyStand) {
  Chip chip = erased_chip(4 * kMiB);
  // total_size below first_size: Size 2 wraps and image 2 is not read.
  put(chip, 0, legacy_header(4, 40, 32));
  fill(chip, 2048, 2048, 0x11);
  put(chip, 2048 + 100, "U-Boot TPL");
  // Sizes of zero read nothing.
  put(chip, 8192, legacy_header(4, 0, 0));
  EXPECT_EQ(survey(chip, SocFamily::Rk3399),
            table({"0   0          2048       20480      22528      4294963200 (!! incorrect use of unpadded image !!) 0='U-Boot TPL'\n",
                   "1   8192       10240      0          0          0          (padded)\n"}));

  // A table of fewer than two entries hides entry 1, whatever it holds.
  Chip rk35 = erased_chip(4 * kMiB);
  put(rk35, 0, rkns_header(1, {4, 4, 0, 0}, {8, 4, 0, 0}));
  put(rk35, 2048, "U-Boot TPL");
  put(rk35, 4096, "U-Boot SPL");
  put(rk35, 65536, rkns_header(0, {4, 4, 0, 0}, {8, 4, 0, 0}));
  fill(rk35, 65536 + 2048, 2048, 0);
  put(rk35, 131072, rkns_header(2, {4, 4, 0, 0}, {8, 4, 0, 0}));
  fill(rk35, 131072 + 2048, 2048, 0);
  put(rk35, 131072 + 4096, "U-Boot SPL");
  EXPECT_EQ(survey(rk35, SocFamily::Rk35xx),
            table({"0   0          2048       2048       0          0          0='U-Boot TPL'\n",
                   "1   65536      67584      2048       0          0          0='unknown'\n",
                   "2   131072     133120     2048       135168     2048       0='unknown' 1='U-Boot SPL'\n"}));
}

TEST(Survey, ImagesRunningPastTheEndOfTheChipAreNotRead) {
  Chip chip = erased_chip(4 * kMiB);
  // Image 1 ends exactly at the end of the chip and is read; image 2 would
  // end 2048 bytes past it and is not.
  const std::uint16_t last_sectors = (4 * kMiB - 65536) / 512 - 4;  // 8060
  put(chip, 65536, rkns_header(2, {static_cast<std::uint16_t>(last_sectors), 4, 0, 0},
                               {static_cast<std::uint16_t>(last_sectors + 4), 4, 0, 0}));
  fill(chip, 65536 + 2048, 2048, 0);
  put(chip, 4 * kMiB - 2048, "duobl");
  // An image offset far beyond the chip.
  put(chip, 131072, rkns_header(1, {0xFFFF, 1, 0, 0}));
  fill(chip, 131072 + 2048, 2048, 0);

  const std::string out = survey(chip, SocFamily::Rk35xx);
  EXPECT_EQ(out,
            table({"1   65536      4192256    2048       4194304    2048       0='duobl'\n",
                   "2   131072     33684992   512        0          0         \n"}));
}

TEST(Survey, HeaderBlockNearTheEndOfTheChip) {
  // A chip ending 600 bytes behind the probe offset at 2 MiB: the header
  // block is read as far as the chip goes and counts as erased beyond it.
  Chip chip = erased_chip(2 * kMiB + 600);
  put(chip, 2 * kMiB, legacy_header(1, 1, 1));
  EXPECT_EQ(survey(chip, SocFamily::Rk3399), table({"9   2097152    2097664    512        0          0          (padded)\n"}));

  // The window's last four bytes are the chip's last four bytes.
  Chip tight = erased_chip(2 * kMiB + 32);
  put(tight, 2 * kMiB + 28, kStoredLegacyMagic);
  const std::string out = survey(tight, SocFamily::Rk3399);
  EXPECT_NE(out.find(" (unaligned by 28)\n"), std::string::npos) << out;
  EXPECT_EQ(out.substr(0, kSurveyHeading.size() + 4), std::string(kSurveyHeading) + "9   ");
}

}  // namespace
}  // namespace duobl
