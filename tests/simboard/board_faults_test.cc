// SPDX-License-Identifier: GPL-2.0-or-later
// The board's faults that the resilience tests lean on: a power cut right
// after a mutation, a corrupted read and a seek that lands astray.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/resilience_support.h"

namespace duobl::testing {
namespace {

constexpr std::uint32_t kChipBytes = 64 * 1024;

RunResult probe(const std::map<std::string, std::string>& env,
                const std::vector<std::string>& ops) {
  Board board;
  board.machine_tree.reset();
  board.size_bytes = kChipBytes;
  board.flash->assign(kChipBytes, 0x00);
  board.env = env;
  return run_on_board(probe_ops_path(), board, ops, kRunLimitSeconds);
}

// The cut mutation completes: a whole erase, a whole write, and nothing of
// what follows.
TEST(BoardFaults, CutAfterCompletesTheMutation) {
  const std::vector<std::string> ops = {"open", "erase", "0", "8192", "seek",  "100",
                                        "fill", "60",    "1", "fill",  "60",    "2"};
  const struct {
    const char* cut;
    const char* last_line;
    std::size_t erased;
    std::size_t filled;
  } cases[] = {
      {"1", "cut 1 erase 0 8192 after", 8192, 0},
      {"2", "cut 2 write 100 60 after", 8192, 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cut);
    const RunResult run =
        probe({{"SIMBOARD_CUT", c.cut}, {"SIMBOARD_CUT_MODE", "after"}}, ops);
    ASSERT_EQ(run.status, kPowerCutStatus) << run.err;
    EXPECT_EQ(last_log_op(run.log).kind, "cut");
    EXPECT_NE(run.log.find(c.last_line), std::string::npos) << run.log;
    for (std::size_t i = 0; i < kChipBytes; ++i) {
      std::uint8_t want = i < c.erased ? 0xFF : 0x00;
      if (i >= 100 && i < 100 + c.filled) want = 0x01;
      ASSERT_EQ(run.flash[i], want) << i;
    }
  }
}

TEST(BoardFaults, CorruptReadFlipsTheLastByteOnce) {
  const RunResult run = probe({{"SIMBOARD_CORRUPT_READ", "2"}},
                              {"open", "read", "3", "seek", "0", "read", "3", "seek", "0", "read", "3"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "open 0\nread 3 000000\nseek 0\nread 3 000001\nseek 0\nread 3 000000\n");
  EXPECT_EQ(run.flash, Bytes(kChipBytes, 0x00));
}

TEST(BoardFaults, AstraySeekLandsOneByteOff) {
  const struct {
    const char* nth;
    const char* out;
  } cases[] = {
      {"1", "open 0\nseek 99\nseek 0\n"},
      {"2", "open 0\nseek 100\nseek 1\n"},
  };
  for (const auto& c : cases) {
    const RunResult run =
        probe({{"SIMBOARD_SEEK_ASTRAY", c.nth}}, {"open", "seek", "100", "seek", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
  }
}

}  // namespace
}  // namespace duobl::testing
