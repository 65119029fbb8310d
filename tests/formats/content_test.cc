// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/content.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace duobl {
namespace {

// `length` bytes of 0xFF with each text placed at its position.
std::vector<std::uint8_t> image_with(std::size_t length,
                                     std::vector<std::pair<std::size_t, std::string_view>> texts) {
  std::vector<std::uint8_t> bytes(length, 0xFF);
  for (const auto& [at, text] : texts)
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  return bytes;
}

TEST(IdentifyContent, NamesEachSignatureAndOnlyThoseBytes) {
  struct Case {
    std::string_view text;
    std::string_view name;
  };
  const Case cases[] = {
      {"levinboot/", "levinboot"},
      {"U-Boot SPL 2023.01", "U-Boot SPL"},
      {"U-Boot TPL", "U-Boot TPL"},
      {"duobl", "duobl"},
      {"DDR Version 1.24", "ddrbin"},
      {"DDR V1.", "ddrbin"},
      {"DDR V0.", "ddrbin"},
      {"levinboot", "unknown"},
      {"levinboot-", "unknown"},
      {"DDR V2.", "unknown"},
      {"DDR V1", "unknown"},
      {"u-boot spl", "unknown"},
      {"U-BOOT TPL", "unknown"},
      {"DUOBL", "unknown"},
      {"ddr version", "unknown"},
      {"duob", "unknown"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(identify_content(image_with(512, {{200, c.text}})), c.name) << c.text;

  EXPECT_EQ(identify_content(std::vector<std::uint8_t>(512, 0)), "unknown");
  EXPECT_EQ(identify_content(image_with(512, {{0, "duobl"}})), kDuoblName);
}

TEST(IdentifyContent, EarliestPositionWins) {
  EXPECT_EQ(identify_content(image_with(512, {{50, "levinboot/"}, {100, "U-Boot SPL"}})), "levinboot");
  EXPECT_EQ(identify_content(image_with(512, {{100, "levinboot/"}, {50, "U-Boot SPL"}})), "U-Boot SPL");
  EXPECT_EQ(identify_content(image_with(512, {{10, "DDR V1."}, {300, "duobl"}})), "ddrbin");
  EXPECT_EQ(identify_content(image_with(512, {{11, "U-Boot TPL"}, {10, "duobl"}})), "duobl");
}

TEST(IdentifyContent, IgnoresSignaturesStartingInTheLast64Bytes) {
  for (std::size_t length : {512u, 65u, 1000u}) {
    const std::size_t last = length - 65;
    EXPECT_EQ(identify_content(image_with(length, {{last, "duobl"}})), "duobl") << length;
    EXPECT_EQ(identify_content(image_with(length, {{last + 1, "duobl"}})), "unknown") << length;
  }
}

TEST(IdentifyContent, SixtyFourBytesOrFewerReadNothing) {
  EXPECT_EQ(identify_content({}), "unknown");
  const auto bytes = image_with(64, {{0, "U-Boot TPL"}});
  EXPECT_EQ(identify_content(bytes), "unknown");
}

}  // namespace
}  // namespace duobl
