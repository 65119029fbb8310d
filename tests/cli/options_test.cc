// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture/board_run.h"
#include "fixture/capture.h"

namespace duobl {
namespace {

using duobl::testing::stdout_to_stderr;

RunOptions parse(std::vector<std::string> words) {
  words.insert(words.begin(), "duobl-spi-flasher");
  std::vector<char*> argv = testing::exec_vector(words);
  return parse_options(static_cast<int>(words.size()), argv.data());
}

TEST(ParseOptions, StoresPathsAndFlags) {
  const RunOptions options =
      parse({"--duobl", "a.bin", "--spl=b.img", "--erase-all", "--replace-fallback", "--dry-run"});
  EXPECT_EQ(options.duobl, "a.bin");
  EXPECT_EQ(options.spl, "b.img");
  EXPECT_TRUE(options.erase_all);
  EXPECT_TRUE(options.replace_fallback);
  EXPECT_TRUE(options.dry_run);
  EXPECT_FALSE(options.uboot_requested);
}

TEST(ParseOptions, NothingGivenMeansAReport) {
  const RunOptions options = parse({});
  EXPECT_FALSE(options.duobl || options.spl || options.uboot_spl || options.uboot_tpl ||
               options.uboot_itb);
  EXPECT_FALSE(options.erase_all || options.replace_fallback || options.dry_run ||
               options.uboot_requested);
}

TEST(ParseOptions, AcceptsUnambiguousPrefixesAndTheLastOccurrenceWins) {
  const RunOptions options = parse({"--dry", "--duo", "first", "--duobl", "second"});
  EXPECT_TRUE(options.dry_run);
  EXPECT_EQ(options.duobl, "second");
}

TEST(ParseOptions, AllThreeUbootPathsRequestTheInstall) {
  const RunOptions options = parse({"--uboot-spl", "s", "--uboot-tpl=t", "--uboot-itb", "i"});
  EXPECT_TRUE(options.uboot_requested);
  EXPECT_EQ(options.uboot_spl, "s");
  EXPECT_EQ(options.uboot_tpl, "t");
  EXPECT_EQ(options.uboot_itb, "i");
}

struct Refusal {
  std::vector<std::string> words;
  const char* output;  // regex over stderr + redirected stdout
};

TEST(ParseOptionsDeathTest, RefusesBadLinesWithStatus2) {
  const Refusal cases[] = {
      {{"--help"}, "^Usage: duobl-spi-flasher"},
      {{"-h"}, "^Usage: duobl-spi-flasher"},
      {{"--uboot", "x"}, "ambiguous.*\nUsage: duobl-spi-flasher"},
      {{"--uboot-spl-dtb", "x"}, "unrecognized.*\nUsage: duobl-spi-flasher"},
      {{"--spl"}, "requires an argument.*\nUsage: duobl-spi-flasher"},
      {{"--dry-run=yes"}, "doesn't allow an argument.*\nUsage: duobl-spi-flasher"},
      {{"--dry-run", "stray", "--erase-all"}, "^Usage: duobl-spi-flasher"},
      {{"--spl", "a", "--uboot-tpl", "b"},
       "^ERROR: --spl option can only be used without --uboot-\\* options\n$"},
      {{"--uboot-spl", "a", "--uboot-itb", "b"},
       "^ERROR: All --uboot-\\* options need to be provided at once. Not just one or two.\n$"},
      {{"--uboot-tpl", "a"},
       "^ERROR: All --uboot-\\* options need to be provided at once. Not just one or two.\n$"},
      // The stray word is checked before the combinations.
      {{"--spl", "a", "--uboot-tpl", "b", "stray"}, "^Usage: duobl-spi-flasher"},
      // An invalid option before --test ends the run before the test.
      {{"--bogus", "--test", "0"}, "unrecognized.*\nUsage: duobl-spi-flasher"},
  };
  for (const Refusal& refusal : cases) {
    EXPECT_EXIT({ stdout_to_stderr(); parse(refusal.words); }, ::testing::ExitedWithCode(2),
                refusal.output)
        << refusal.words.front();
  }
}

// The flash test is a run of its own: the parser records its count and looks
// at nothing after it, valid or not. The test itself runs only on the
// simulated board (tests/system/run_test.cc): in this process it would reach
// the machine's own flash.
TEST(ParseOptions, TheFlashTestEndsTheParsingWhereItStands) {
  const RunOptions options = parse({"stray", "--dry-run", "--test", "4096", "--bogus", "stray"});
  EXPECT_EQ(options.flash_test_count, "4096");
  EXPECT_TRUE(options.dry_run);
  EXPECT_EQ(parse({"--spl", "a", "--uboot-tpl", "b", "--test=x"}).flash_test_count, "x");
}

}  // namespace
}  // namespace duobl
