// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/progress.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fixture/capture.h"
#include "fixture/terminal.h"

namespace duobl {
namespace {

using testing::begin_capture;
using testing::begin_terminal_capture;
using testing::end_capture;
using testing::end_terminal_capture;
using testing::screen_text;

// The tests' clock: it stands still until a test moves it.
std::int64_t test_now_ns = 0;
std::int64_t test_clock() { return test_now_ns; }

// Every test starts at time 0 of the test clock.
class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::pseudo_terminals_available()) GTEST_SKIP() << "no pseudo-terminal here";
    test_now_ns = 0;
    progress_set_clock(test_clock);
  }
  void TearDown() override { progress_set_clock(nullptr); }
};

// Longer than the quiet time before a write shows its percentage.
void wait_past_quiet_time() { test_now_ns += 600'000'000; }

std::size_t count(const std::string& text, const std::string& piece) {
  std::size_t n = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST_F(Progress, NothingIsDrawnWhenStdoutIsNotATerminal) {
  auto capture = begin_capture();
  std::printf("Writing U-Boot ITB at 3010560 (size 200000)\n");
  progress_begin(ProgressKind::Write, 400000);
  progress_update(2000);
  wait_past_quiet_time();
  progress_update(300000);
  progress_end();
  progress_begin(ProgressKind::Erase, 2097152);
  progress_end();
  EXPECT_EQ(end_capture(capture), "Writing U-Boot ITB at 3010560 (size 200000)\n");
}

TEST_F(Progress, QuickOperationsDrawNothingOnATerminal) {
  auto terminal = begin_terminal_capture();
  progress_begin(ProgressKind::Write, 12280);
  for (std::uint64_t done = 60; done <= 12280; done += 60) progress_update(done);
  progress_update(12280);
  progress_end();
  progress_begin(ProgressKind::Erase, 4096);  // below the size that gets the note
  progress_end();
  EXPECT_EQ(end_terminal_capture(terminal), "");
}

TEST_F(Progress, SlowWriteShowsItsPercentageInPlaceAndRemovesIt) {
  auto terminal = begin_terminal_capture();
  std::printf("Writing U-Boot ITB at 3010560 (size 100000)\n");
  progress_begin(ProgressKind::Write, 200000);
  progress_update(5000);
  wait_past_quiet_time();
  progress_update(100000);
  // Within the redraw interval: not drawn again.
  progress_update(150000);
  progress_end();
  std::printf("Writing U-Boot SPL at 529408 (size 100)\n");
  const std::string raw = end_terminal_capture(terminal);

  EXPECT_NE(raw.find("]  50%"), std::string::npos) << raw;
  EXPECT_EQ(count(raw, "%"), 1u) << raw;
  EXPECT_EQ(raw.find('\033'), std::string::npos) << "no escape sequences: " << raw;
  EXPECT_EQ(screen_text(raw),
            "Writing U-Boot ITB at 3010560 (size 100000)\n"
            "Writing U-Boot SPL at 529408 (size 100)\n");
}

TEST_F(Progress, LargeEraseShowsANoteUntilItEnds) {
  auto terminal = begin_terminal_capture();
  std::printf("Erasing 389120 bytes at 524288\n");
  progress_begin(ProgressKind::Erase, 389120);
  std::fflush(stdout);
  const std::string during = testing::drain_terminal(terminal.master);
  progress_end();
  const std::string raw = during + end_terminal_capture(terminal);

  EXPECT_NE(during.find("erasing..."), std::string::npos) << during;
  EXPECT_EQ(screen_text(raw), "Erasing 389120 bytes at 524288\n");
}

TEST_F(Progress, AWriteOfTheSameSizeGetsNoEraseNote) {
  auto terminal = begin_terminal_capture();
  progress_begin(ProgressKind::Write, 389120);
  progress_end();
  EXPECT_EQ(end_terminal_capture(terminal), "");
}

TEST_F(Progress, NarrowTerminalGetsNoIndicator) {
  auto terminal = begin_terminal_capture(20);
  progress_begin(ProgressKind::Write, 200000);
  progress_update(5000);
  wait_past_quiet_time();
  progress_update(100000);
  progress_end();
  EXPECT_EQ(end_terminal_capture(terminal), "");
}

}  // namespace
}  // namespace duobl
