// SPDX-License-Identifier: GPL-2.0-or-later
// Whole runs of the real binary on the simulated board: the command line,
// machine identification and the chip report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "fixture/board.h"
#include "fixture/images.h"

namespace duobl::testing {
namespace {

const std::string kUsage =
    "Usage: duobl-spi-flasher [--duobl <path>] [--dry-run] [--replace-fallback] [--spl <path>]\n"
    "                         [--uboot-spl <path> --uboot-spl-dtb <path> --uboot-itb <path>]\n"
    "\n"
    "Flasher options:\n"
    "  --duobl <path>          Path to duobl binary if you wish to update duobl itself\n"
    "\n"
    "  --uboot-tpl <path>      Path to U-Boot's TPL u-boot-tpl.bin file\n"
    "  --uboot-spl <path>      Path to U-Boot's SPL u-boot-spl.bin file\n"
    "  --uboot-itb <path>      Path to U-Boot's u-boot.itb\n"
    "\n"
    "  --spl <path>            Path to any other generic bootloader image loadable\n"
    "                          by BROM. (eg. levinboot-emmc.img file)\n"
    "                          (Beware that duobl fixes RK3399 BROM SPI loader bug, so)\n"
    "                           you must use a regular SD card image!)\n"
    "\n"
    "  --erase-all             Erase the entire flash chip, first\n"
    "  --replace-fallback      Use this option to replace fallback bootloader\n"
    "  --dry-run               Don't perform modifications, just show the SPI flash layout\n"
    "\n"
    "Misc options:\n"
    "  -h, --help             This help.\n"
    "\n"
    "duobl SPI flashing tool 1,0\n"
    "Written by the duobl-spi-flasher developers.\n"
    "\n"
    "This program is free software under the GNU GPL version 2 or later\n"
    "(GPL-2.0-or-later), and comes with NO WARRANTY.\n"
    "It uses libfdt, the flattened device tree library, dual-licensed under\n"
    "GPL-2.0-or-later and BSD-2-Clause, and the GNU C Library, licensed under\n"
    "the GNU LGPL version 2.1 or later (LGPL-2.1-or-later).\n";

const std::string kPbpLine = "Machine: Pine64 Pinebook Pro (pine64,pinebook-pro)\n\n";
const std::string kChipReport16 =
    "SPI NOR Flash:\n\n- Total size: 16384 KiB\n- Erase block size: 4 KiB\n- Write size: 1\n"
    "- Manufacturer: winbond\n- Part name: w25q128\n- JEDEC ID: ef4018\n";

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(CommandLine, HelpPrintsTheUsageTextAndEndsWithStatus2) {
  for (const char* word : {"--help", "-h", "--he"}) {
    const RunResult result = run_tool(Board{}, {word});
    EXPECT_EQ(result.status, 2) << word;
    EXPECT_EQ(result.out, kUsage) << word;
    EXPECT_EQ(result.err, "") << word;
  }
}

TEST(CommandLine, ParserDiagnosticsGoToStandardErrorBeforeTheUsage) {
  const struct {
    std::vector<std::string> args;
    const char* diagnostic;
  } cases[] = {
      {{"--bogus"}, "unrecognized option '--bogus'"},
      {{"--uboot", "x"}, "option '--uboot' is ambiguous"},
      {{"--duobl"}, "option '--duobl' requires an argument"},
      {{"--erase-all=1"}, "option '--erase-all' doesn't allow an argument"},
  };
  for (const auto& c : cases) {
    const RunResult result = run_tool(Board{}, c.args);
    EXPECT_EQ(result.status, 2) << c.diagnostic;
    EXPECT_NE(result.err.find(c.diagnostic), std::string::npos) << result.err;
    EXPECT_TRUE(starts_with(result.out, kUsage)) << c.diagnostic;
  }
}

TEST(CommandLine, CombinationChecksComeInTheirOrderBeforeAnythingElse) {
  Board board;
  board.flash = std::nullopt;  // nothing may be reached
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"--dry-run", "image.bin"}, kUsage},
      {{"--spl", "a", "--uboot-tpl", "b"},
       "ERROR: --spl option can only be used without --uboot-* options\n"},
      {{"--uboot-spl", "a", "--uboot-itb", "b"},
       "ERROR: All --uboot-* options need to be provided at once. Not just one or two.\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = run_tool(board, c.args);
    EXPECT_EQ(result.status, 2);
    if (c.out == kUsage)
      EXPECT_TRUE(starts_with(result.out, kUsage));
    else
      EXPECT_EQ(result.out, c.out);
  }
}

// Started with standard output or error closed (a shell's `>&-`), the tool
// must not find /dev/mtd0 at descriptor 1 or 2: stdio would write the report
// into the chip, past the board, which the fixture reports as stray bytes.
// The chip ends as the same run with every stream open leaves it.
TEST(CommandLine, ClosedStandardStreamsLeaveTheChipAlone) {
  const Board board;
  const std::string loader = write_temp_file("closed-streams-duobl.bin", make_loader_image(8192));
  const RunResult dry = run_tool(board, {"--dry-run"});
  const RunResult installed = run_tool(board, {"--duobl", loader});
  ASSERT_EQ(installed.status, 0) << installed.out;
  ASSERT_TRUE(installed.flash != dry.flash);
  const struct {
    std::vector<std::string> args;
    const RunResult& open;
  } runs[] = {{{"--dry-run"}, dry}, {{"--duobl", loader}, installed}};
  for (const std::vector<int>& closed : {std::vector<int>{1}, {2}, {1, 2}}) {
    for (const auto& r : runs) {
      SCOPED_TRACE(r.args[0] + " with " + ::testing::PrintToString(closed) + " closed");
      Board shut = board;
      shut.closed_streams = closed;
      const RunResult result = run_tool(shut, r.args);
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(result.stray_bytes, 0u);
      EXPECT_TRUE(result.flash == r.open.flash) << "the chip differs";
      if (closed == std::vector<int>{2}) {
        EXPECT_EQ(result.out, r.open.out);
      }
    }
  }
}

TEST(MachineIdentification, PrintsTheMachineLineBeforeTheChipReport) {
  const RunResult result = run_tool(Board{}, {"--dry-run"});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(starts_with(result.out, kPbpLine + kChipReport16)) << result.out;
}

TEST(MachineIdentification, EndsWithStatus2WhenTheMachineIsUnknown) {
  struct Case {
    std::vector<std::string> compatible;
    std::string out;
  };
  const std::string long_name(1100, 'q');
  const Case cases[] = {
      {{"vendor,board", "rockchip,rk3288"}, "ERROR: Unsupported machine vendor,board\n"},
      {{"vendor,board", "rockchip,rk3399-pro"}, "ERROR: Unsupported machine vendor,board\n"},
      // Only whole entries count: a name that merely begins with a SoC's.
      {{"rockchip,rk3568-evb1-v10"}, "ERROR: Unsupported machine rockchip,rk3568-evb1-v10\n"},
      {{long_name, "rockchip,rk356"}, "ERROR: Unsupported machine " + long_name.substr(0, 1023) + "\n"},
      {{}, "ERROR: Failed to determine machine type\n"},
  };
  for (const Case& c : cases) {
    Board board;
    board.compatible = c.compatible;
    const RunResult result = run_tool(board, {"--dry-run"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, c.out);
  }
}

// An RK3588S is an RK3588 die and an RK3399Pro carries an RK3399: each gets
// the boot ROM probe offsets of its die, as the survey's 32-byte reads show
// (RK35xx every 64 KiB, RK3399 doubling from 8 KiB).
TEST(MachineIdentification, Rk3588sAndRk3399ProBoardsProbeAsTheirDies) {
  const struct {
    std::vector<std::string> compatible;
    const char* model;
    const char* probed;      // a window only this family reads
    const char* not_probed;  // one only the other family reads
  } cases[] = {
      {{"radxa,rock-5a", "rockchip,rk3588s"}, "Radxa ROCK 5A", "\nseek 196608 set ",
       "\nseek 8192 set "},
      {{"radxa,rockpi-n10", "rockchip,rk3399pro"}, "Radxa ROCK Pi N10", "\nseek 8192 set ",
       "\nseek 196608 set "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.compatible[1]);
    Board board;
    board.compatible = c.compatible;
    board.model = c.model;
    const RunResult result = run_tool(board, {"--dry-run"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(starts_with(result.out, std::string("Machine: ") + c.model + " (" +
                                            c.compatible[0] + ")\n\n" + kChipReport16))
        << result.out;
    EXPECT_NE(result.log.find(c.probed), std::string::npos);
    EXPECT_EQ(result.log.find(c.not_probed), std::string::npos);
  }
}

TEST(MachineIdentification, ShowsCutMachineTypesAndMissingModels) {
  Board board;
  const std::string long_name(1100, 'q');
  board.compatible = {long_name, "rockchip,rk3588"};
  board.model.reset();
  const RunResult result = run_tool(board, {"--dry-run"});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(starts_with(result.out, "Machine: (null) (" + long_name.substr(0, 1023) + ")\n\nSPI NOR"));
}

TEST(MachineIdentification, RefusesTreesThatAreTooLargeOrUnsound) {
  const Bytes tree = make_machine_tree({"pine64,pinebook-pro", "rockchip,rk3399"}, "PBP");

  Board padded;
  padded.machine_tree = tree;
  padded.machine_tree->resize(262143, 0);  // well-formed, with trailing bytes
  EXPECT_EQ(run_tool(padded, {"--dry-run"}).status, 0);

  Board too_big = padded;
  too_big.machine_tree->resize(262144, 0);
  const RunResult big = run_tool(too_big, {"--dry-run"});
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.out, "ERROR: File /sys/firmware/fdt is too big for the buffer size 262144\n");

  Board truncated;
  truncated.machine_tree = Bytes(tree.begin(), tree.begin() + static_cast<long>(tree.size() / 2));
  const RunResult cut = run_tool(truncated, {"--dry-run"});
  EXPECT_EQ(cut.status, 2);
  EXPECT_EQ(cut.out, "ERROR: Failed to determine machine type\n");

  Board garbage;
  garbage.machine_tree = Bytes(4096, 0x5a);
  EXPECT_EQ(run_tool(garbage, {"--dry-run"}).out, "ERROR: Failed to determine machine type\n");

  Board missing;
  missing.machine_tree.reset();
  const RunResult none = run_tool(missing, {"--dry-run"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "ERROR: Failed to open /sys/firmware/fdt (No such file or directory)\n");
}

TEST(FlashProbe, AnUnusableDeviceEndsTheRunSilently) {
  Board no_device;
  no_device.flash = std::nullopt;
  Board not_nor;
  not_nor.type = 4;  // NAND
  Board read_only;
  read_only.flags = 0x800;
  for (const Board& board : {no_device, not_nor, read_only}) {
    const RunResult result = run_tool(board, {"--dry-run"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kPbpLine);
    EXPECT_EQ(result.err, "");
  }
}

TEST(FlashProbe, EnforcesTheGeometryLimits) {
  struct Case {
    std::uint32_t size_bytes, erasesize_bytes, writesize_bytes;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {16 * kMiB, 16, 1, "ERROR: Unsupported erase block size\n"},
      {16 * kMiB, 32, 1, nullptr},
      {16 * kMiB, 131072, 1, nullptr},
      {16 * kMiB, 262144, 1, "ERROR: Unsupported erase block size\n"},
      {16 * kMiB, 12288, 1, "ERROR: Unsupported erase block size\n"},  // not a power of two
      {16 * kMiB, 4096, 2, "ERROR: Unsupported write size\n"},
      {16 * kMiB, 16, 2, "ERROR: Unsupported erase block size\n"},  // first limit wins
      {4 * kMiB, 4096, 1, nullptr},
      {2 * kMiB, 4096, 1, "ERROR: Unsupported flash size\n"},
  };
  for (const Case& c : cases) {
    Board board;
    board.size_bytes = c.size_bytes;
    board.erasesize_bytes = c.erasesize_bytes;
    board.writesize_bytes = c.writesize_bytes;
    const RunResult result = run_tool(board, {"--dry-run"});
    const std::string report = "SPI NOR Flash:\n\n- Total size: " +
                               std::to_string(c.size_bytes / 1024) + " KiB\n- Erase block size: " +
                               std::to_string(c.erasesize_bytes / 1024) + " KiB\n- Write size: " +
                               std::to_string(c.writesize_bytes) +
                               "\n- Manufacturer: winbond\n- Part name: w25q128\n- JEDEC ID: ef4018\n";
    if (c.error == nullptr) {
      EXPECT_EQ(result.status, 0) << c.erasesize_bytes;
      EXPECT_TRUE(starts_with(result.out, kPbpLine + report)) << result.out;
    } else {
      EXPECT_EQ(result.status, 1) << c.erasesize_bytes;
      EXPECT_EQ(result.out, kPbpLine + report + c.error);
    }
  }
}

TEST(FlashProbe, PrintsSysfsValuesStrippedOrNotAtAll) {
  struct Case {
    std::optional<std::string> partname;
    std::string line;
  };
  const Case cases[] = {
      {std::string("abc\n\n"), "- Part name: abc\n"},
      {std::string("x\n"), "- Part name: x\n"},
      {std::string("\n\n\n"), ""},
      {std::string(""), ""},
      {std::nullopt, ""},
      {std::string(127, 'p'), "- Part name: " + std::string(127, 'p') + "\n"},
      {std::string(128, 'p'), ""},
      {std::string(126, 'p') + "\n", "- Part name: " + std::string(126, 'p') + "\n"},
  };
  for (const Case& c : cases) {
    Board board;
    board.partname = c.partname;
    const RunResult result = run_tool(board, {"--dry-run"});
    const std::string expected = kPbpLine +
                                 "SPI NOR Flash:\n\n- Total size: 16384 KiB\n- Erase block size: 4 KiB\n"
                                 "- Write size: 1\n- Manufacturer: winbond\n" +
                                 c.line + "- JEDEC ID: ef4018\n";
    EXPECT_TRUE(starts_with(result.out, expected)) << result.out;
  }
}

TEST(FlashTest, ErasesThreeBlocksAndWritesTheCountOfZeros) {
  Board board;
  board.flash->assign(board.size_bytes, 0x3c);
  std::fill_n(board.flash->begin(), 12288, 0xff);
  const RunResult result = run_tool(board, {"--test", "61", "--bogus", "stray"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Erasing 12288 bytes at 0\nWriting test at 0 (size 61)\n");
  ASSERT_EQ(result.flash.size(), board.size_bytes);
  for (std::size_t i = 0; i < 12288; ++i)
    ASSERT_EQ(result.flash[i], i < 61 ? 0x00 : 0xff) << i;
  EXPECT_EQ(result.flash[12288], 0x3c);
}

// The test erases where the loader lives: on a chip with anything in its
// first three blocks it changes nothing, however it is spelled.
TEST(FlashTest, RefusesAChipWithDataWhereItErases) {
  Board board;
  board.flash->assign(board.size_bytes, 0xff);
  const Bytes loader = make_loader_image(8192);
  std::copy(loader.begin(), loader.end(), board.flash->begin());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--test", "0"}, {"--te", "0"}, {"--test", "--dry-run"}, {"--dry-run", "--test", "0"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = run_tool(board, args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "ERROR: The flash test would erase data in the first 12288 bytes of the "
                          "chip: erase the chip first (--erase-all)\n");
    EXPECT_EQ(result.flash, board.flash);
  }
}

TEST(FlashTest, CountsFollowAtoiAndNeedAUsableDevice) {
  const RunResult zero = run_tool(Board{}, {"--test", "zero"});
  EXPECT_EQ(zero.status, 0);
  EXPECT_EQ(zero.out, "Erasing 12288 bytes at 0\nWriting test at 0 (size 0)\n");

  const RunResult spaced = run_tool(Board{}, {"--test=  +12kb"});
  EXPECT_EQ(spaced.out, "Erasing 12288 bytes at 0\nWriting test at 0 (size 12)\n");

  Board no_device;
  no_device.flash = std::nullopt;
  const RunResult missing = run_tool(no_device, {"--test", "4096"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");

  for (const char* count : {"-5", "262145"}) {
    Board board;
    board.flash->assign(board.size_bytes, 0x3c);
    const RunResult refused = run_tool(board, {"--test", count});
    EXPECT_EQ(refused.status, 2) << count;
    EXPECT_EQ(refused.out, "ERROR: --test count must be from 0 to 262144\n") << count;
    EXPECT_EQ(refused.flash, board.flash) << count << ": refused before the device is touched";
    EXPECT_EQ(refused.log, "") << count;
  }
}

// A run that can change the flash holds an exclusive lock on the device from
// its open on; one that finds it held by another process stops before the
// chip report and changes nothing. Runs that only read take no lock.
TEST(FlashLock, ARunThatCanChangeTheChipIsRefusedWhileAnotherHoldsIt) {
  Board board;
  board.flash->assign(board.size_bytes, 0x3c);
  // The chip image is this test's own file, so that the test can hold the
  // lock that another process on the device would hold.
  const std::string image = write_temp_file("locked-chip.img", *board.flash);
  board.env["SIMBOARD_FLASH"] = image;
  const int holder = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  const std::string in_use = kPbpLine + "ERROR: /dev/mtd0 is in use by another process\n";
  const struct {
    std::vector<std::string> args;
    bool refused;
  } cases[] = {
      {{"--erase-all"}, true},
      {{"--test", "0"}, true},
      {{"--dry-run", "--erase-all"}, false},
      {{}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult result = run_tool(board, c.args);
    if (c.refused) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, c.args[0] == "--test" ? in_use.substr(kPbpLine.size()) : in_use);
    } else {
      EXPECT_EQ(result.status, 0) << result.out;
    }
    EXPECT_EQ(result.flash, board.flash);
  }

  close(holder);
  const RunResult unlocked = run_tool(board, {"--erase-all"});
  EXPECT_EQ(unlocked.status, 0) << unlocked.out;
}

// The device lines of a log, without the open, getinfo and close bookkeeping.
std::vector<std::string> transfer_lines(const std::string& log) {
  std::vector<std::string> lines;
  for (const std::string& line : lines_of(log)) {
    if (line.rfind("read ", 0) == 0 || line.rfind("write ", 0) == 0 || line.rfind("erase ", 0) == 0 ||
        line.rfind("seek ", 0) == 0)
      lines.push_back(line);
  }
  return lines;
}

// The transfers of the flash test from its erase on; before it, the test
// only reads the blocks it will erase.
std::vector<std::string> test_transfers(const std::string& log) {
  const std::vector<std::string> lines = transfer_lines(log);
  const auto erase = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& line) { return line.rfind("erase ", 0) == 0; });
  for (auto line = lines.begin(); line != erase; ++line)
    EXPECT_TRUE(line->rfind("read ", 0) == 0 || line->rfind("seek ", 0) == 0) << *line;
  return {erase, lines.end()};
}

TEST(FlashAccess, SplitsTransfersInto60ByteCallsAndReadsEveryWriteBack) {
  const RunResult result = run_tool(Board{}, {"--test", "61"});
  ASSERT_EQ(result.status, 0);
  const std::vector<std::string> expected = {
      "erase 0 12288 0",  "seek 0 set 0",   "write 0 60 60",   "write 60 1 1",
      "seek 0 set 0",     "read 0 60 60",   "read 60 1 1",
  };
  EXPECT_EQ(test_transfers(result.log), expected) << result.log;
  EXPECT_NE(result.log.find("max write 60\n"), std::string::npos);
}

TEST(FlashAccess, AMismatchInALaterChunkFailsAfterTheEarlierOnesCompared) {
  Board board;
  // The third read of the verification returns its last byte flipped.
  const std::vector<std::string> clean = transfer_lines(run_tool(board, {"--test", "200"}).log);
  const auto erase = std::find(clean.begin(), clean.end(), "erase 0 12288 0");
  const auto reads_before = std::count_if(clean.begin(), erase, [](const std::string& line) {
    return line.rfind("read ", 0) == 0;
  });
  board.env["SIMBOARD_CORRUPT_READ"] = std::to_string(reads_before + 3);
  const RunResult result = run_tool(board, {"--test", "200"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out,
            "Erasing 12288 bytes at 0\nWriting test at 0 (size 200)\n"
            "ERROR: Read from flash returned different data than what was written\n");
  // Three chunks were read back: the third holds the flipped byte.
  const auto lines = test_transfers(result.log);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), "read 120 60 60");
  for (std::size_t i = 0; i < 200; ++i) ASSERT_EQ(result.flash[i], 0) << "the data is on the flash";
}

TEST(FlashAccess, DeviceErrorsEndTheRunWithTheirMessage) {
  struct Case {
    std::string fail;
    std::string last_line;
  };
  const Case cases[] = {
      {"erase:1:EIO", "ERROR: Erase failed at 0 (size 12288) Input/output error\n"},
      {"seek:1:EINVAL", "ERROR: Seek to 0 failed (Invalid argument)\n"},
      {"write:2:EIO", "ERROR: Write to flash failed (Input/output error)\n"},
      {"read:2:EIO", "ERROR: Read from flash failed (Input/output error)\n"},
  };
  for (const Case& c : cases) {
    Board board;
    board.env["SIMBOARD_FAIL"] = c.fail;
    const RunResult result = run_tool(board, {"--test", "100"});
    EXPECT_EQ(result.status, 1) << c.fail;
    const std::size_t tail = result.out.size() >= c.last_line.size() ? result.out.size() - c.last_line.size() : 0;
    EXPECT_EQ(result.out.substr(tail), c.last_line) << c.fail << "\n" << result.out;
  }

  Board short_write;
  short_write.env["SIMBOARD_SHORT_WRITE"] = "1";
  const RunResult result = run_tool(short_write, {"--test", "100"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out,
            "Erasing 12288 bytes at 0\nWriting test at 0 (size 100)\nERROR: Write to flash failed short\n");
}

}  // namespace
}  // namespace duobl::testing
