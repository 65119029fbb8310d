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

#include "formats/boot_header.h"
#include "formats/bytes.h"
#include "support/capture.h"

namespace duobl {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMiB = 1024 * 1024;

constexpr std::string_view kHeading =
    "\n"
    "Bootable images currently present in SPI NOR flash:\n"
    "\n"
    "Idx Header     Off 1      Size 1     Off 2      Size 2     Notes/content\n"
    "-------------------------------------------------------------------------------\n";

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

// A scrambled header with the given fields, as stored on an RK3399.
Bytes legacy_header(std::uint16_t first_offset, std::uint16_t first_size, std::uint16_t total_size) {
  LegacyBootHeader header;
  header.first_offset = first_offset;
  header.first_size = first_size;
  header.total_size = total_size;
  Bytes bytes(kLegacyHeaderBytes);
  std::span<std::uint8_t, kLegacyHeaderBytes> block(bytes.data(), kLegacyHeaderBytes);
  encode_legacy_header(header, block);
  scramble_header(block);
  return bytes;
}

Bytes rkns_header(std::uint16_t image_count, RknsImageEntry first, RknsImageEntry second = {}) {
  RknsBootHeader header;
  header.magic = {'R', 'K', 'N', 'S'};
  header.image_count = image_count;
  header.entries = {first, second};
  Bytes bytes(kHeaderAreaBytes);
  encode_rkns_header(header, std::span<std::uint8_t, kHeaderAreaBytes>(bytes.data(), kHeaderAreaBytes));
  bytes.resize(296);  // the rest of the area is left as the chip holds it
  return bytes;
}

std::string row(unsigned idx, std::uint32_t header, std::uint32_t off1, std::uint32_t size1,
                std::uint32_t off2, std::uint32_t size2, std::string_view notes) {
  char text[128];
  std::snprintf(text, sizeof text, "%-3u %-10u %-10u %-10u %-10u %-10u", idx, header, off1, size1, off2,
                size2);
  return std::string(text) + std::string(notes) + "\n";
}

std::string table(const std::vector<std::string>& rows) {
  std::string text(kHeading);
  for (const std::string& r : rows)
    text += r;
  return text + "\n";
}

struct SurveyResult {
  std::string out;
  int padded_expected = 0;
};

SurveyResult survey(const Chip& chip, SocFamily family) {
  SurveyResult result;
  result.padded_expected = initial_padded_expected(family);
  auto capture = duobl::testing::begin_capture();
  survey_boot_images(FlashDevice{chip.fd}, chip.size_bytes, family, probe_offsets_for(family),
                     result.padded_expected);
  result.out = duobl::testing::end_capture(capture);
  close(chip.fd);
  return result;
}

TEST(Survey, BlankChipPrintsOnlyTheHeading) {
  for (SocFamily family : {SocFamily::Rk3399, SocFamily::Rk35xx}) {
    const SurveyResult result = survey(erased_chip(4 * kMiB), family);
    EXPECT_EQ(result.out, table({}));
    EXPECT_EQ(result.padded_expected, initial_padded_expected(family));
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
  const BootHeaderArea area = build_header_area(SocFamily::Rk3399, 120, 200, tpl);
  put(chip, 131072, Bytes(area.begin(), area.end()));
  put(chip, 131072 + 2048, tpl);
  Bytes spl(102400, 0);
  std::copy_n("U-Boot SPL", 10, spl.begin() + 5000);
  put(chip, 131072 + 2048 + 61440, spl);

  const SurveyResult result = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(result.out,
            table({"0   0          2048       12288      0          0          (padded) 0='duobl'\n",
                   "5   131072     133120     61440      194560     102400     0='U-Boot TPL' 1='U-Boot SPL'\n"}));
  EXPECT_EQ(result.padded_expected, 0);
}

TEST(Survey, SampleRowRk35xxUnalignedHeader) {
  Chip chip = erased_chip(4 * kMiB);
  Bytes tpl(61440, 0);
  std::copy_n("U-Boot TPL", 10, tpl.begin());
  const BootHeaderArea area = build_header_area(SocFamily::Rk35xx, 120, 200, tpl);
  put(chip, 131075, Bytes(area.begin(), area.end()));
  put(chip, 131075 + 2048, tpl);

  const SurveyResult result = survey(chip, SocFamily::Rk35xx);
  EXPECT_EQ(result.out, table({"2   131075     133123     61440      194563     102400     (unaligned by 3)\n"}));
  EXPECT_EQ(result.padded_expected, 0);
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

  const SurveyResult result = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(result.out,
            table({row(0, 0, 2048, 2048, 0, 0, " (!! incorrect use of unpadded image !!) 0='U-Boot TPL'"),
                   row(2, 16384, 18432, 2048, 0, 0, " (padded) 0='duobl'"),
                   row(4, 65536, 67584, 2048, 0, 0,
                       " (padded) (!! incorrect use of padded image !!) 0='unknown'"),
                   row(5, 131072, 133120, 2048, 135168, 2048, " 0='unknown' 1='U-Boot SPL'")}));
  EXPECT_EQ(result.padded_expected, 0);
}

TEST(Survey, LoaderOnlyCountsAsImageOneOfAnAlignedHeader) {
  Chip chip = erased_chip(4 * kMiB);
  // duobl as image 2 of the header at 0, beyond the doubled read of image 1.
  put(chip, 0, legacy_header(4, 4, 8));
  put(chip, 6144 + 100, "duobl");
  // duobl under an unaligned header in the window at 8 KiB.
  put(chip, 8192 + 5, legacy_header(4, 4, 4));
  put(chip, 8192 + 5 + 2048, "duobl");
  // A later unpadded header is still expected padded.
  put(chip, 16384, legacy_header(4, 4, 4));
  fill(chip, 16384 + 2048, 2048, 0x11);

  const SurveyResult result = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(result.out, table({row(0, 0, 2048, 2048, 4096, 2048, " (padded) 0='unknown' 1='duobl'"),
                               row(1, 8197, 10245, 2048, 0, 0, " (unaligned by 5)"),
                               row(2, 16384, 18432, 2048, 0, 0,
                                   " (!! incorrect use of unpadded image !!) 0='unknown'")}));
  EXPECT_EQ(result.padded_expected, 1);
}

TEST(Survey, PaddingTestPerFamily) {
  struct Case {
    SocFamily family;
    std::uint8_t tail;
    bool stray_byte;  // one 0x42 among the tail bytes
    std::string_view notes;
  };
  const Case cases[] = {
      {SocFamily::Rk3399, 0xFF, false, " (padded)"},
      {SocFamily::Rk3399, 0x00, false, " (padded)"},
      {SocFamily::Rk3399, 0xFF, true, " (!! incorrect use of unpadded image !!)"},
      {SocFamily::Rk3399, 0x00, true, " (!! incorrect use of unpadded image !!)"},
      {SocFamily::Rk35xx, 0xFF, false, " (padded) (!! incorrect use of padded image !!)"},
      {SocFamily::Rk35xx, 0x00, false, ""},
      {SocFamily::Rk35xx, 0xFF, true, ""},
  };
  for (const Case& c : cases) {
    Chip chip = erased_chip(4 * kMiB);
    // Images of size 0: nothing is named, only the padding shows.
    put(chip, 0, c.family == SocFamily::Rk3399 ? legacy_header(4, 0, 0) : rkns_header(1, {4, 0, 0, 0}));
    fill(chip, 2048, 2048, c.tail);
    if (c.stray_byte)
      fill(chip, 4095, 1, 0x42);
    EXPECT_EQ(survey(chip, c.family).out, table({row(0, 0, 2048, 0, 0, 0, c.notes)}))
        << int(c.tail) << " " << c.stray_byte;
  }
}

TEST(Survey, LaterHeadersInAWindowAreTestedOnTheBytesFirstRead) {
  Chip chip = erased_chip(4 * kMiB);
  Bytes first = legacy_header(4, 0, 0);
  // Bytes 8..11 of the stored header also hold the scrambled magic; once the
  // first header is unscrambled they no longer would.
  std::copy(scrambled_legacy_magic.begin(), scrambled_legacy_magic.end(), first.begin() + 8);
  put(chip, 8192, first);

  // What the second header decodes to is whatever its bytes give.
  Bytes second(4096, 0xFF);
  ASSERT_EQ(pread(chip.fd, second.data(), second.size(), 8192 + 8), 4096);
  const HeaderImages images = decode_header_images(SocFamily::Rk3399, second);

  const SurveyResult result = survey(chip, SocFamily::Rk3399);
  EXPECT_EQ(result.out,
            table({row(1, 8192, 10240, 0, 0, 0, " (padded)"),
                   row(1, 8200, 8200 + images.first_offset * 512, images.first_size * 512,
                       images.has_second ? 8200 + images.second_offset * 512 : 0, images.second_size * 512,
                       " (unaligned by 8)")}));
}

TEST(Survey, LargestImagesThatAreStillNamed) {
  struct Case {
    SocFamily family;
    std::uint16_t sectors;
    bool padded;
    bool named;
  };
  const Case cases[] = {
      {SocFamily::Rk35xx, 1023, false, true},
      {SocFamily::Rk35xx, 1024, false, false},
      {SocFamily::Rk3399, 511, true, true},
      {SocFamily::Rk3399, 512, true, false},
  };
  for (const Case& c : cases) {
    Chip chip = erased_chip(4 * kMiB);
    // The image starts at 8 KiB so that a padded block stays erased.
    const std::uint32_t count = (c.padded ? 2u : 1u) * c.sectors * 512u;
    put(chip, 0, c.family == SocFamily::Rk3399 ? legacy_header(16, c.sectors, c.sectors)
                                               : rkns_header(1, {16, c.sectors, 0, 0}));
    if (!c.padded)
      fill(chip, 2048, 2048, 0);
    // The last position at which a signature can still be found.
    put(chip, 8192 + std::min<std::uint32_t>(count, 524287u) - 65, "U-Boot SPL");

    const std::string notes = std::string(c.padded ? " (padded)" : "") + (c.named ? " 0='U-Boot SPL'" : "");
    EXPECT_EQ(survey(chip, c.family).out, table({row(0, 0, 8192, c.sectors * 512u, 0, 0, notes)}))
        << c.sectors;
  }
}

TEST(Survey, Rk3399ScanStopsAtTheEndOfTheChip) {
  struct Case {
    std::uint32_t size_bytes;
    unsigned rows;
  };
  for (Case c : {Case{4 * kMiB, 10}, Case{16 * kMiB, 12}, Case{32 * kMiB, 13}}) {
    Chip chip = erased_chip(c.size_bytes);
    const ProbeOffsets probe = probe_offsets_for(SocFamily::Rk3399);
    std::vector<std::string> expected;
    for (std::size_t idx = 0; idx < probe.count; ++idx) {
      const std::uint32_t at = probe.offsets_bytes[idx];
      if (at >= c.size_bytes)
        break;
      put(chip, at, legacy_header(4, 0, 0));
      expected.push_back(row(static_cast<unsigned>(idx), at, at + 2048, 0, 0, 0, " (padded)"));
    }
    ASSERT_EQ(expected.size(), c.rows);
    EXPECT_EQ(survey(chip, SocFamily::Rk3399).out, table(expected)) << c.size_bytes;
  }
}

TEST(Survey, Rk35xxScansAllSixteenProbes) {
  Chip chip = erased_chip(4 * kMiB);
  std::vector<std::string> expected;
  for (unsigned idx = 0; idx < 16; ++idx) {
    const std::uint32_t at = idx * 65536;
    put(chip, at, rkns_header(1, {4, 0, 0, 0}));
    fill(chip, at + 2048, 2048, 0);
    expected.push_back(row(idx, at, at + 2048, 0, 0, 0, ""));
  }
  EXPECT_EQ(survey(chip, SocFamily::Rk35xx).out, table(expected));
}

TEST(Survey, HeaderValuesAreShownAsTheyStand) {
  Chip chip = erased_chip(4 * kMiB);
  // total_size below first_size: Size 2 wraps and image 2 is not read.
  put(chip, 0, legacy_header(4, 40, 32));
  fill(chip, 2048, 2048, 0x11);
  put(chip, 2048 + 100, "U-Boot TPL");
  // Sizes of zero read nothing.
  put(chip, 8192, legacy_header(4, 0, 0));
  EXPECT_EQ(survey(chip, SocFamily::Rk3399).out,
            table({row(0, 0, 2048, 20480, 22528, 4294963200u,
                       " (!! incorrect use of unpadded image !!) 0='U-Boot TPL'"),
                   row(1, 8192, 10240, 0, 0, 0, " (padded)")}));

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
  EXPECT_EQ(survey(rk35, SocFamily::Rk35xx).out,
            table({row(0, 0, 2048, 2048, 0, 0, " 0='U-Boot TPL'"),
                   row(1, 65536, 67584, 2048, 0, 0, " 0='unknown'"),
                   row(2, 131072, 133120, 2048, 135168, 2048, " 0='unknown' 1='U-Boot SPL'")}));
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

  const SurveyResult result = survey(chip, SocFamily::Rk35xx);
  EXPECT_EQ(result.out,
            table({row(1, 65536, 4 * kMiB - 2048, 2048, 4 * kMiB, 2048, " 0='duobl'"),
                   row(2, 131072, 131072 + 0xFFFFu * 512, 512, 0, 0, "")}));
}

TEST(Survey, HeaderBlockNearTheEndOfTheChip) {
  // A chip ending 600 bytes behind the probe offset at 2 MiB: the header
  // block is read as far as the chip goes and counts as erased beyond it.
  Chip chip = erased_chip(2 * kMiB + 600);
  put(chip, 2 * kMiB, legacy_header(1, 1, 1));
  EXPECT_EQ(survey(chip, SocFamily::Rk3399).out, table({row(9, 2 * kMiB, 2 * kMiB + 512, 512, 0, 0, " (padded)")}));

  // The window's last four bytes are the chip's last four bytes.
  Chip tight = erased_chip(2 * kMiB + 32);
  put(tight, 2 * kMiB + 28, Bytes(scrambled_legacy_magic.begin(), scrambled_legacy_magic.end()));
  const std::string out = survey(tight, SocFamily::Rk3399).out;
  EXPECT_NE(out.find(" (unaligned by 28)\n"), std::string::npos) << out;
  EXPECT_EQ(out.substr(0, kHeading.size() + 4), std::string(kHeading) + "9   ");
}

}  // namespace
}  // namespace duobl
