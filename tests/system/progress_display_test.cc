// SPDX-License-Identifier: GPL-2.0-or-later
// Whole runs with standard output on a terminal and on a pipe. On a terminal
// the tool may draw the progress of long writes and erases, but once it is
// done the screen shows exactly the lines that a pipe receives (blanks at
// the end of a line cannot be seen, so the comparison leaves them out).
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/images.h"
#include "fixture/install_support.h"
#include "fixture/terminal.h"

namespace duobl::testing {
namespace {

// A run that erases and writes a lot: the whole chip, the loader, and a
// U-Boot set whose ITB fills its area. `itb` may be changed by the caller.
std::vector<std::string> busy_run_args() {
  const auto spl = make_uboot_spl();
  const std::string spl_path = write_temp_file("progress-spl.bin", spl.bytes);
  const std::string tpl_path = write_temp_file("progress-tpl.bin", make_uboot_tpl(30000));
  const std::string itb_path = write_temp_file("progress.itb", make_itb(kItbPrimaryBytes));
  const std::string duobl_path = write_temp_file("progress-duobl.bin", make_loader_image(40000));
  return {"--erase-all",  "--duobl",      duobl_path, "--uboot-tpl", tpl_path,
          "--uboot-spl", spl_path,       "--uboot-itb", itb_path};
}

// The terminal run goes to a slow chip: every write call moves the tool's
// clock on by a little, so the ITB's tens of thousands of calls take longer
// than a moment on the clock whatever the speed or load of this machine,
// and nothing waits for it.
Board on_a_slow_chip(Board board) {
  board.env["SIMBOARD_WRITE_TIME_US"] = "20";
  return board;
}

bool shows_percentage(const std::string& raw) {
  return std::regex_search(raw, std::regex("\\r\\[[#.]{30}\\] +[0-9]+%"));
}

TEST(ProgressDisplay, TerminalScreenEndsAsThePipeTranscript) {
  if (!pseudo_terminals_available()) GTEST_SKIP() << "no pseudo-terminal here";
  const Board board;
  const auto args = busy_run_args();

  const RunResult piped = run_tool(board, args);
  ASSERT_EQ(piped.status, 0) << piped.out << piped.err;
  // On a pipe the output carries nothing but the tool's own lines.
  EXPECT_EQ(piped.out.find('\r'), std::string::npos);
  EXPECT_EQ(piped.out.find("erasing..."), std::string::npos);
  EXPECT_FALSE(shows_percentage(piped.out));

  const TerminalRun shown = run_tool_on_terminal(on_a_slow_chip(board), args);
  ASSERT_EQ(shown.status, 0) << shown.raw << shown.err;
  EXPECT_EQ(shown.err, piped.err);
  EXPECT_NE(shown.raw.find("\rerasing..."), std::string::npos) << shown.raw;
  EXPECT_TRUE(shows_percentage(shown.raw)) << shown.raw;
  EXPECT_EQ(shown.raw.find('\033'), std::string::npos);
  EXPECT_EQ(screen_text(shown.raw), screen_text(piped.out));
  EXPECT_EQ(shown.flash, piped.flash);
}

TEST(ProgressDisplay, ErrorDuringADrawnWriteStartsOnACleanLine) {
  if (!pseudo_terminals_available()) GTEST_SKIP() << "no pseudo-terminal here";
  Board board;
  // A bit that reads back wrong near the end of the ITB fails its
  // verification after the percentage has been drawn.
  board.env["SIMBOARD_FLIP"] = std::to_string(kItbPrimaryOffset + kItbPrimaryBytes - 100);
  const auto args = busy_run_args();

  const RunResult piped = run_tool(board, args);
  ASSERT_EQ(piped.status, 1) << piped.out;
  const std::string error =
      "ERROR: Read from flash returned different data than what was written\n";
  ASSERT_GE(piped.out.size(), error.size());
  EXPECT_EQ(piped.out.substr(piped.out.size() - error.size()), error);

  // fail() takes the indicator away first: the error line starts in the
  // first column, right under the write's own line.
  const TerminalRun shown = run_tool_on_terminal(on_a_slow_chip(board), args);
  EXPECT_EQ(shown.status, 1);
  EXPECT_TRUE(shows_percentage(shown.raw)) << shown.raw;
  const std::string screen = screen_text(shown.raw);
  const std::string tail =
      "\n" + line("Writing U-Boot ITB at %u (size %u)", kItbPrimaryOffset, kItbPrimaryBytes) + error;
  ASSERT_GE(screen.size(), tail.size());
  EXPECT_EQ(screen.substr(screen.size() - tail.size()), tail) << screen;
  EXPECT_EQ(screen, screen_text(piped.out));
}

TEST(ProgressDisplay, NoOptionsRunIsTheSameOnATerminal) {
  if (!pseudo_terminals_available()) GTEST_SKIP() << "no pseudo-terminal here";
  // A report without changes draws nothing at all: only line endings differ.
  const Board board;
  const RunResult piped = run_tool(board, {});
  const TerminalRun shown = run_tool_on_terminal(board, {});
  ASSERT_EQ(piped.status, 0);
  ASSERT_EQ(shown.status, 0);
  std::string raw_lines = shown.raw;
  for (auto at = raw_lines.find("\r\n"); at != std::string::npos; at = raw_lines.find("\r\n", at))
    raw_lines.erase(at, 1);
  EXPECT_EQ(raw_lines, piped.out);
}

}  // namespace
}  // namespace duobl::testing
