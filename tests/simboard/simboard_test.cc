// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated board itself: the chip's NOR semantics, the limits of the
// MTD device, the sysfs files, fault injection, power cuts and the log. Each
// case runs probe-ops (a script of device operations) under the board.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/board_run.h"
#include "fixture/emulator.h"
#include "fixture/resilience_support.h"

namespace duobl::testing {
namespace {

constexpr std::uint32_t kChipBytes = 64 * 1024;
constexpr std::uint32_t kBlockBytes = 4096;
constexpr int kKilled = 128 + 9;  // SIGKILL

// A small chip without a machine tree, holding `flash` (erased when empty).
Board chip(Bytes flash = {}) {
  Board board;
  board.machine_tree.reset();
  board.size_bytes = kChipBytes;
  board.flash = std::move(flash);
  return board;
}

Bytes filled(std::uint8_t value) { return Bytes(kChipBytes, value); }

// Byte i holds i mod 256.
Bytes counting() {
  Bytes bytes(kChipBytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

RunResult probe(const Board& board, const std::vector<std::string>& ops) {
  return run_on_board(probe_ops_path(), board, ops, 30);
}

std::string hex(const Bytes& bytes, std::size_t offset, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = offset; i < offset + length; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

TEST(Simboard, ProgramsOnlyClearBits) {
  Bytes flash = filled(0xff);
  const Bytes old = {0xff, 0x00, 0xf0, 0xa5, 0x3c};
  std::copy(old.begin(), old.end(), flash.begin() + 100);
  const RunResult run = probe(chip(flash), {"open", "seek", "100", "write", "5aff3c0f00",
                                            "seek", "100", "read", "5"});
  ASSERT_EQ(run.status, 0) << run.err;
  // old AND new: 5a, 00, 30, 05, 00.
  EXPECT_EQ(lines_of(run.out).back(), "read 5 5a00300500");
  EXPECT_EQ(hex(run.flash, 100, 5), "5a00300500");
  EXPECT_EQ(hex(run.flash, 99, 1), "ff");
  EXPECT_EQ(hex(run.flash, 105, 1), "ff");
}

TEST(Simboard, EraseFollowsTheDeviceRules) {
  struct Case {
    std::uint32_t start;
    std::uint32_t length;
    const char* result;
    std::uint32_t first_block;  // of the blocks that end up erased
    std::uint32_t blocks;
  };
  const Case cases[] = {
      {0, 0, "erase 0", 0, 0},
      {4096, 4096, "erase 0", 1, 1},
      {0, kChipBytes, "erase 0", 0, 16},
      // An unaligned start erases length / erasesize blocks from the block
      // holding the start; the tail of the range in the next block survives.
      {100, 4096, "erase 0", 0, 1},
      {4196, 8192, "erase 0", 1, 2},
      {0, 100, "erase -1 EINVAL", 0, 0},
      {0, 6144, "erase -1 EINVAL", 0, 0},
      {61440, 8192, "erase -1 EINVAL", 0, 0},
      {61540, 4096, "erase -1 EINVAL", 0, 0},
      {kChipBytes, 0, "erase -1 EINVAL", 0, 0},
      {kChipBytes + 4096, 4096, "erase -1 EINVAL", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + "+" + std::to_string(c.length));
    const RunResult run = probe(chip(filled(0x00)), {"open", "erase", std::to_string(c.start),
                                                     std::to_string(c.length)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(lines_of(run.out).back(), c.result);
    ASSERT_EQ(run.flash.size(), kChipBytes);
    for (std::uint32_t block = 0; block < kChipBytes / kBlockBytes; ++block) {
      const bool erased = block >= c.first_block && block < c.first_block + c.blocks;
      const Bytes expected(kBlockBytes, erased ? 0xff : 0x00);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                             run.flash.begin() + block * kBlockBytes))
          << "block " << block;
    }
  }
}

TEST(Simboard, StopsAtTheEndOfTheChip) {
  const RunResult run = probe(chip(filled(0x11)), {
      "open",
      "seek", "65530", "read", "10",   // cut short
      "read", "10",                    // at the end
      "write", "00",                   // at the end
      "seek", "65534", "fill", "10", "0",
      "seek", "65536",                 // the end itself is a valid position
      "seek", "65537",
      "seek", "-1",
      "seek", "-6", "end",
      "seek", "2", "cur",
      "seek", "10", "cur",
  });
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> expected = {
      "open 0",          "seek 65530",      "read 6 111111111111", "read 0",
      "write -1 ENOSPC", "seek 65534",      "fill 2",              "seek 65536",
      "seek -1 EINVAL",  "seek -1 EINVAL",  "seek 65530",          "seek 65532",
      "seek -1 EINVAL",
  };
  EXPECT_EQ(lines_of(run.out), expected);
  EXPECT_EQ(hex(run.flash, 65533, 3), "110000");
}

TEST(Simboard, HonoursTheAccessModeAndGeometry) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    std::vector<std::string> ops;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {"geometry", {{"SIMBOARD_ERASESIZE", "65536"}, {"SIMBOARD_WRITESIZE", "256"},
                    {"SIMBOARD_TYPE", "4"}, {"SIMBOARD_FLAGS", "0x400"}},
       {"open", "info"},
       {"open 0", "info 0 type 4 flags 0x400 size 65536 erasesize 65536 writesize 256"}},
      {"read-only chip", {{"SIMBOARD_FLAGS", "0"}},
       {"open", "open", "rdonly", "info", "write", "00"},
       {"open -1 EACCES", "open 0", "info 0 type 3 flags 0 size 65536 erasesize 4096 writesize 1",
        "write -1 EBADF"}},
      {"read-only open", {},
       {"open", "rdonly", "erase", "0", "4096", "read", "1"},
       {"open 0", "erase -1 EPERM", "read 1 ff"}},
      {"other ioctl", {}, {"openat", "ioctl", "0x1234"}, {"openat 0", "ioctl -1 ENOTTY"}},
      {"fortified read", {}, {"open", "readchk", "2"}, {"open 0", "readchk 2 ffff"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board board = chip();
    board.env = c.env;
    const RunResult run = probe(board, c.ops);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(lines_of(run.out), c.out);
  }
}

TEST(Simboard, ServesTheSysfsFilesAndPassesOthersThrough) {
  Board board = chip();
  board.machine_tree = Bytes(10000, 0x5a);
  board.jedec_id.reset();
  const std::string plain = write_temp_file("plain", Bytes(10000, 1));
  const RunResult run = probe(board, {
      "cat", "/sys/firmware/fdt", "65536",
      "cat", "/sys/class/mtd/mtd0/device/spi-nor/partname", "128",
      "cat", "/sys/class/mtd/mtd0/device/spi-nor/jedec_id", "128",
      "cat", plain, "65536",
  });
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> expected = {
      "cat 4096 4096 1808 0",  // one page per read, like sysfs
      "cat 8 0",               // "w25q128\n"
      "cat -1 ENOENT",
      "cat 10000 0",
  };
  EXPECT_EQ(lines_of(run.out), expected);
  EXPECT_EQ(run.log, "");  // no device operation
}

TEST(Simboard, MissingFilesDoNotExist) {
  Board board = chip();
  board.flash = std::nullopt;
  board.manufacturer.reset();
  const RunResult run =
      probe(board, {"open", "cat", "/sys/firmware/fdt", "64", "cat",
                    "/sys/class/mtd/mtd0/device/spi-nor/manufacturer", "64"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> expected = {"open -1 ENOENT", "cat -1 ENOENT", "cat -1 ENOENT"};
  EXPECT_EQ(lines_of(run.out), expected);
}

TEST(Simboard, InjectsFaults) {
  struct Case {
    const char* variable;
    const char* value;
    std::vector<std::string> ops;
    std::vector<std::string> out;
    const char* flash_0_to_4;  // hex of the first four bytes afterwards
  };
  // The chip holds 00 01 02 03 ... at the start.
  const Case cases[] = {
      {"SIMBOARD_FAIL", "read:2:EIO", {"open", "read", "1", "read", "1", "read", "1"},
       {"open 0", "read 1 00", "read -1 EIO", "read 1 01"}, "00010203"},
      {"SIMBOARD_FAIL", "write:2:5", {"open", "write", "f0", "write", "f0", "write", "f0"},
       {"open 0", "write 1", "write -1 EIO", "write 1"}, "00000203"},
      {"SIMBOARD_FAIL", "seek:2:EINVAL", {"open", "seek", "1", "seek", "2", "read", "1"},
       {"open 0", "seek 1", "seek -1 EINVAL", "read 1 01"}, "00010203"},
      {"SIMBOARD_FAIL", "erase:1:EIO", {"open", "info", "erase", "0", "4096", "erase", "0", "4096"},
       {"open 0", "info 0 type 3 flags 0xc00 size 65536 erasesize 4096 writesize 1",
        "erase -1 EIO", "erase 0"},
       "ffffffff"},
      {"SIMBOARD_FAIL", "ioctl:2:EBUSY", {"open", "info", "erase", "0", "4096"},
       {"open 0", "info 0 type 3 flags 0xc00 size 65536 erasesize 4096 writesize 1",
        "erase -1 EBUSY"},
       "00010203"},
      {"SIMBOARD_FAIL", "ioctl:1:EIO,read:1:ENXIO", {"open", "info", "read", "1", "read", "1"},
       {"open 0", "info -1 EIO", "read -1 ENXIO", "read 1 00"}, "00010203"},
      {"SIMBOARD_SHORT_WRITE", "2", {"open", "write", "0000", "write", "0000", "read", "4"},
       {"open 0", "write 2", "write 1", "read 4 03040506"}, "00000003"},
      {"SIMBOARD_FLIP", "1,3", {"open", "read", "4"}, {"open 0", "read 4 00000202"}, "00010203"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    Board board = chip(counting());
    board.env[c.variable] = c.value;
    const RunResult run = probe(board, c.ops);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(lines_of(run.out), c.out);
    EXPECT_EQ(hex(run.flash, 0, 4), c.flash_0_to_4);
  }
}

TEST(Simboard, RefusesMalformedSettings) {
  for (const char* fail : {"read:0:EIO", "rename:1:EIO", "read:1:ENOSUCH", "read:1"}) {
    Board board = chip();
    board.env["SIMBOARD_FAIL"] = fail;
    const RunResult run = probe(board, {"open"});
    EXPECT_EQ(run.status, 125) << fail;
    EXPECT_NE(run.err.find("SIMBOARD_FAIL"), std::string::npos) << fail;
  }
}

// Runs `ops` with a power cut at mutation `cut` and returns the run.
RunResult cut_run(Bytes flash, std::vector<std::string> ops, int cut, const char* mode,
                  int seed) {
  return probe(cut_during(chip(std::move(flash)), cut, mode, seed), ops);
}

TEST(Simboard, CleanCutLeavesAPrefixOfAWrite) {
  std::set<std::size_t> lengths;
  for (int seed = 0; seed < 8; ++seed) {
    SCOPED_TRACE(seed);
    const RunResult run = cut_run(filled(0xff), {"open", "seek", "64", "fill", "60", "0"}, 1,
                                  "clean", seed);
    ASSERT_EQ(run.status, kKilled) << run.err;
    EXPECT_EQ(run.out, "open 0\nseek 64\n");
    EXPECT_EQ(lines_of(run.log).back(), "cut 1 write 64 60 clean");
    std::size_t length = 0;
    while (length < 60 && run.flash[64 + length] == 0x00) ++length;
    EXPECT_LT(length, 60u);
    for (std::size_t i = 0; i < kChipBytes; ++i) {
      if (i < 64 || i >= 64 + length) {
        ASSERT_EQ(run.flash[i], 0xff) << i;
      }
    }
    lengths.insert(length);
    const RunResult again = cut_run(filled(0xff), {"open", "seek", "64", "fill", "60", "0"}, 1,
                                    "clean", seed);
    EXPECT_EQ(again.flash, run.flash);
  }
  EXPECT_GT(lengths.size(), 1u);
}

TEST(Simboard, CleanCutLeavesAPrefixOfAnErase) {
  for (int seed = 0; seed < 4; ++seed) {
    SCOPED_TRACE(seed);
    // The write is mutation 1, the erase mutation 2.
    const RunResult run = cut_run(filled(0x00), {"open", "fill", "1", "0", "erase", "0", "65536"},
                                  2, "clean", seed);
    ASSERT_EQ(run.status, kKilled) << run.err;
    EXPECT_EQ(lines_of(run.log).back(), "cut 2 erase 0 65536 clean");
    std::size_t erased = 0;
    while (erased < kChipBytes && run.flash[erased] == 0xff) ++erased;
    EXPECT_EQ(erased % kBlockBytes, 0u);
    EXPECT_LT(erased, kChipBytes);
    for (std::size_t i = erased; i < kChipBytes; ++i) ASSERT_EQ(run.flash[i], 0x00) << i;
  }
}

TEST(Simboard, TornWriteClearsSomeOfItsBits) {
  const Bytes old = counting();
  const Bytes data(60, 0x0f);
  for (int seed = 0; seed < 4; ++seed) {
    SCOPED_TRACE(seed);
    const RunResult run = cut_run(old, {"open", "fill", "60", "0x0f"}, 1, "torn", seed);
    ASSERT_EQ(run.status, kKilled) << run.err;
    int partial = 0;
    for (std::size_t i = 0; i < 60; ++i) {
      const std::uint8_t r = run.flash[i];
      EXPECT_EQ(r & ~old[i], 0) << i;                // no bit set
      EXPECT_EQ(old[i] & data[i] & ~r, 0) << i;      // bits to keep are kept
      partial += r != old[i] && r != (old[i] & data[i]);
    }
    EXPECT_GT(partial, 0);
    EXPECT_TRUE(std::equal(old.begin() + 60, old.end(), run.flash.begin() + 60));
    EXPECT_EQ(cut_run(old, {"open", "fill", "60", "0x0f"}, 1, "torn", seed).flash, run.flash);
  }
}

TEST(Simboard, TornEraseLeavesOneBlockHalfErased) {
  for (int seed = 0; seed < 4; ++seed) {
    SCOPED_TRACE(seed);
    const RunResult run =
        cut_run(filled(0x00), {"open", "erase", "8192", "32768"}, 1, "torn", seed);
    ASSERT_EQ(run.status, kKilled) << run.err;
    std::size_t block = 2;
    while (block < 10 && std::all_of(run.flash.begin() + block * kBlockBytes,
                                     run.flash.begin() + (block + 1) * kBlockBytes,
                                     [](std::uint8_t b) { return b == 0xff; })) {
      ++block;
    }
    ASSERT_LT(block, 10u);  // some block is not fully erased
    const auto half = run.flash.begin() + block * kBlockBytes;
    EXPECT_TRUE(std::any_of(half, half + kBlockBytes, [](std::uint8_t b) { return b != 0x00; }));
    EXPECT_TRUE(std::any_of(half, half + kBlockBytes, [](std::uint8_t b) { return b != 0xff; }));
    const auto untouched = [&](std::size_t from, std::size_t to) {
      return std::all_of(run.flash.begin() + from, run.flash.begin() + to,
                         [](std::uint8_t b) { return b == 0x00; });
    };
    EXPECT_TRUE(untouched(0, 2 * kBlockBytes));
    EXPECT_TRUE(untouched((block + 1) * kBlockBytes, kChipBytes));
  }
}

// The worst cut for a boot header: everything is done but the first four
// bytes that the operation would change, whatever the seed.
TEST(Simboard, WorstCutSparesTheFirstFourBytesItWouldChange) {
  Bytes old = filled(0xff);
  old[64] = old[65] = 0x00;  // already what the write asks for
  const RunResult write = cut_run(old, {"open", "seek", "64", "fill", "60", "0"}, 1, "worst", 7);
  ASSERT_EQ(write.status, kKilled) << write.err;
  EXPECT_EQ(lines_of(write.log).back(), "cut 1 write 64 60 worst");
  Bytes expected = old;
  std::fill(expected.begin() + 70, expected.begin() + 124, 0x00);
  EXPECT_EQ(write.flash, expected);

  const RunResult erase = cut_run(filled(0x00), {"open", "erase", "8192", "32768"}, 1, "worst", 7);
  ASSERT_EQ(erase.status, kKilled) << erase.err;
  expected = filled(0x00);
  std::fill(expected.begin() + 2 * kBlockBytes + 4, expected.begin() + 10 * kBlockBytes, 0xff);
  EXPECT_EQ(erase.flash, expected);
}

TEST(Simboard, CountsMutationsAsTheCutDoes) {
  // Zero-length and refused operations never reach the chip.
  const std::vector<std::string> ops = {"open", "fill", "0", "0", "fill", "4", "0",
                                        "erase", "0", "0", "erase", "0", "4096",
                                        "erase", "1", "1", "seek", "100", "write", "00"};
  const RunResult uncut = probe(chip(filled(0x00)), ops);
  ASSERT_EQ(uncut.status, 0) << uncut.err;
  const int mutations = static_cast<int>(mutations_of(parse_log(uncut.log)).size());
  EXPECT_EQ(mutations, 3);
  Board board = chip(filled(0x00));
  board.env["SIMBOARD_CUT"] = std::to_string(mutations);
  EXPECT_EQ(probe(board, ops).status, kKilled);
  board.env["SIMBOARD_CUT"] = std::to_string(mutations + 1);
  EXPECT_EQ(probe(board, ops).status, 0);
}

TEST(Simboard, LogsEveryDeviceOperation) {
  const RunResult run = probe(chip(), {"open", "info", "seek", "4096", "write", "0102",
                                       "seek", "-2", "cur", "read", "60", "erase", "4096", "4096",
                                       "erase", "1", "1", "close"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.log,
            "open rdwr 0\n"
            "getinfo 0\n"
            "seek 4096 set 4096\n"
            "write 4096 2 2\n"
            "seek -2 cur 4096\n"
            "read 4096 60 60\n"
            "erase 4096 4096 0\n"
            "erase 1 1 -1 EINVAL\n"
            "close 0\n"
            "max read 60\n"
            "max write 2\n");
}

TEST(Simboard, RunsTheToolOnTheBoard) {
  const RunResult help = run_tool(Board{}, {"--help"});
  EXPECT_EQ(help.status, 2);
  EXPECT_EQ(help.out.rfind("Usage: duobl-spi-flasher", 0), 0u) << help.out;
  EXPECT_EQ(help.log, "");  // the board was never touched

  const RunResult dry = run_tool(Board{}, {"--dry-run"});
  EXPECT_EQ(dry.status, 0) << dry.out;
  EXPECT_NE(dry.out.find("- Total size: 16384 KiB\n"), std::string::npos) << dry.out;
  EXPECT_NE(dry.out.find("- JEDEC ID: ef4018\n"), std::string::npos) << dry.out;
  EXPECT_EQ(dry.flash, Bytes(16 * kMiB, 0xff));
  EXPECT_EQ(lines_of(dry.log).front(), "open rdwr 0");
}

// A program that the board library cannot be loaded into would reach the
// machine's real chip: the fixture refuses it without starting it for real,
// and fails a run whose marker names another program than the one started.
TEST(Simboard, RefusesARunItCannotProveOnTheBoard) {
  // EXPECT_NONFATAL_FAILURE sees only static variables.
  static RunResult run;
  static std::string ran;
  if (static_probe_path().empty()) {
    GTEST_SKIP() << "no static program links here";
  }
  ran = write_temp_file("static-probe-ran", {});
  ASSERT_EQ(unlink(ran.c_str()), 0);
  EXPECT_NONFATAL_FAILURE(run = run_on_board(static_probe_path(), chip(), {ran}),
                          "refused to run");
  EXPECT_EQ(run.status, -1);
  EXPECT_NE(run.err.find("left no marker"), std::string::npos) << run.err;
  EXPECT_NE(access(ran.c_str(), F_OK), 0) << "the static program was started for real";

  // probe-ops itself passes its preflight; the tool it execs into reports
  // too, and the fixture started only probe-ops.
  if (!test_emulator().empty()) return;  // exec of a foreign binary fails there
  EXPECT_NONFATAL_FAILURE(
      run = run_on_board(probe_ops_path(), chip(), {"exec", board_tool_path(), "--help"}),
      "not to be trusted");
  EXPECT_EQ(run.status, -1);
  EXPECT_NE(run.err.find("duobl-spi-flasher\", not "), std::string::npos) << run.err;
}

// A write to the device that bypasses the board (stdio's, with the device
// opened as standard output) lands in the stray-writes file, not on the
// chip: the board reports it at its next call on the device and at exit,
// and the fixture fails the test with the count.
TEST(Simboard, CatchesWritesThatBypassIt) {
  // EXPECT_NONFATAL_FAILURE sees only static variables.
  static RunResult run;
  static Board board = chip();
  board.closed_streams = {1};
  EXPECT_NONFATAL_FAILURE(run = probe(board, {"open", "write", "00"}),
                          "15 bytes were written to /dev/mtd0 past the simulated board");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.stray_bytes, 15u);  // "open 0\n" and "write 1\n"
  EXPECT_EQ(hex(run.flash, 0, 2), "00ff");
  EXPECT_EQ(run.log, "open rdwr 0\nwrite 0 1 1\nmax read 0\nmax write 1\n");
  const std::vector<std::string> reports = lines_of(run.err);
  ASSERT_EQ(reports.size(), 2u) << run.err;
  EXPECT_EQ(reports[0].rfind("simboard: 7 bytes were written to /dev/mtd0 past the board", 0), 0u);
  EXPECT_EQ(reports[1].rfind("simboard: 8 bytes were written to /dev/mtd0 past the board", 0), 0u);
}

TEST(Simboard, EnforcesTheTimeLimit) {
  // Opening a FIFO that nobody writes blocks for ever.
  const std::string marker = write_temp_file("fifo-dir", {});
  const std::string fifo = marker.substr(0, marker.rfind('/')) + "/fifo";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const RunResult run = run_on_board(probe_ops_path(), chip(), {"cat", fifo, "1"}, 1);
  EXPECT_TRUE(run.timed_out);
  EXPECT_EQ(run.status, kKilled);
}

}  // namespace
}  // namespace duobl::testing
