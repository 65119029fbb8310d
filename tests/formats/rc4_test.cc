// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/rc4.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace duobl {
namespace {

TEST(Rc4, MatchesThePublishedTestVectors) {
  struct Case {
    std::string_view key;
    std::string_view plain;
    std::vector<std::uint8_t> cipher;
  };
  const Case cases[] = {
      {"Key", "Plaintext", {0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3}},
      {"Wiki", "pedia", {0x10, 0x21, 0xBF, 0x04, 0x20}},
      {"Secret", "Attack at dawn",
       {0x45, 0xA0, 0x1F, 0x64, 0x5F, 0xC3, 0x5B, 0x38, 0x35, 0x52, 0x54, 0x4B, 0x9B, 0xF5}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> key(c.key.begin(), c.key.end());
    std::vector<std::uint8_t> data(c.plain.begin(), c.plain.end());
    rc4_apply(key, data);
    EXPECT_EQ(data, c.cipher) << c.key;
  }
}

}  // namespace
}  // namespace duobl
