// SPDX-License-Identifier: GPL-2.0-or-later
// The fixture's model of a terminal screen, which the progress tests compare
// with what a pipe receives.
#include "fixture/terminal.h"

#include <gtest/gtest.h>

namespace duobl::testing {
namespace {

TEST(ScreenText, AppliesCarriageReturnsLikeATerminal) {
  struct Case {
    const char* raw;
    const char* screen;
  };
  const Case cases[] = {
      {"abc\r\n", "abc\n"},
      {"[####]  50%\r           \rnext\r\n", "next\n"},
      {"long text\rab\n", "abng text\n"},
      {"left over", "left over"},
      {"x\r \r", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(screen_text(c.raw), c.screen) << c.raw;
}

}  // namespace
}  // namespace duobl::testing
