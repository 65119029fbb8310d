// SPDX-License-Identifier: GPL-2.0-or-later
// Whole runs that update the loader, install a generic SPL or erase the
// chip, checked on the transcript and on the flash image afterwards.
#include <gtest/gtest.h>

#include <string>

#include "fixture/board.h"
#include "fixture/image_files.h"
#include "fixture/images.h"
#include "fixture/install_support.h"
#include "fixture/resilience_support.h"

namespace duobl::testing {
namespace {

// What a re-run prints when only the backup holds a loader: the primary
// first, and the backup is never written before the primary is whole.
std::string primary_first_lines(std::size_t n) {
  const auto rest = static_cast<unsigned>(n - 4);
  return line("Writing Zeroed magic header at 0 (size 4)") + line("Erasing 65536 bytes at 0") +
         line("Writing duobl primary area at 4 (size %u)", rest) +
         line("Writing duobl primary area at 0 (size 4)") +
         line("Writing Zeroed magic header at 65536 (size 4)") +
         line("Erasing 65536 bytes at 65536");
}

// Any other update writes the backup whole first, then the same.
std::string loader_lines(std::size_t n) {
  return line("Writing Zeroed magic header at 65536 (size 4)") +
         line("Erasing 65536 bytes at 65536") +
         line("Writing duobl backup area at 65540 (size %u)", static_cast<unsigned>(n - 4)) +
         line("Writing duobl backup area at 65536 (size 4)") + primary_first_lines(n);
}

// Whatever the two copies hold, the update ends with the new loader at 0 and
// the backup erased; only a primary whose magic is gone beside a whole
// backup (what a cut during the primary's rewrite leaves) changes the order.
TEST(LoaderUpdate, WritesBothCopiesThenErasesTheBackup) {
  enum class Start { Pattern, PrimaryOnly, BothCopies, BackupOnly, ZeroedPrimaryBesideBackup };
  const struct {
    const char* name;
    bool rk3568;
    Start start;
    std::size_t n;
    bool primary_first;
  } cases[] = {
      {"smallest loader over a pattern", false, Start::Pattern, 6144, false},
      {"largest loader over a pattern", false, Start::Pattern, 65535, false},
      {"a loader at 0 only", false, Start::PrimaryOnly, 8192, false},
      {"loaders in both copies", false, Start::BothCopies, 8192, false},
      {"a loader in the backup only", false, Start::BackupOnly, 8192, true},
      {"a zeroed primary beside a whole backup", false, Start::ZeroedPrimaryBesideBackup, 8192,
       true},
      {"rk3568, a zeroed primary beside a whole backup", true, Start::ZeroedPrimaryBesideBackup,
       8192, true},
      {"rk3568, loaders in both copies", true, Start::BothCopies, 8192, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board board = patterned_board(c.rk3568 ? rk3568_board() : Board{});
    const Bytes old_loader =
        make_bootable_loader(c.rk3568 ? RomFamily::Rk35xx : RomFamily::Rk3399, 24);
    if (c.start == Start::PrimaryOnly || c.start == Start::BothCopies ||
        c.start == Start::ZeroedPrimaryBesideBackup)
      put(*board.flash, 0, old_loader);
    if (c.start == Start::BothCopies || c.start == Start::BackupOnly ||
        c.start == Start::ZeroedPrimaryBesideBackup)
      put(*board.flash, 65536, old_loader);
    if (c.start == Start::ZeroedPrimaryBesideBackup) put(*board.flash, 0, Bytes(4, 0));

    const Bytes loader =
        make_loader_image(c.n, 1, c.rk3568 ? RomFamily::Rk35xx : RomFamily::Rk3399);
    const RunResult result = run_tool(board, {"--duobl", write_temp_file("duobl.bin", loader)});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(changes_printed(result.out), c.primary_first ? primary_first_lines(c.n)
                                                           : loader_lines(c.n));
    EXPECT_EQ(range(result.flash, 0, c.n), loader);
    EXPECT_TRUE(all_bytes(result.flash, c.n, 65536 - c.n, 0xFF));
    EXPECT_TRUE(all_bytes(result.flash, 65536, 65536, 0xFF));
    EXPECT_TRUE(unchanged_outside(result.flash, *board.flash, {{0, kSplFallbackOffset}}));
  }
}

TEST(LoaderUpdate, RefusedSizesLeaveTheFlashAlone) {
  const Board board = patterned_board();
  const std::string small = write_temp_file("small.bin", make_loader_image(6143));
  const std::string large = write_temp_file("large.bin", make_loader_image(65536));
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {small, "ERROR: duobl size is weird\n"},
      {large, "ERROR: File " + large + " is too big for the buffer size 65536\n"},
  };
  for (const auto& c : cases) {
    const RunResult result = run_tool(board, {"--duobl", c.path});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(changes_printed(result.out), c.message);
    EXPECT_EQ(result.flash, board.flash);
  }
}

// On a chip of 128 KiB erase blocks the 64 KiB loader areas cannot be
// erased alone: the loader update is refused before any change, while the
// SPL and ITB areas, whole blocks there, still take a U-Boot set.
TEST(LoaderUpdate, RefusedOnEraseBlocksLargerThanItsAreas) {
  Board board;
  board.erasesize_bytes = 128 * 1024;
  board = patterned_board(board);
  put(*board.flash, 0, make_bootable_loader(RomFamily::Rk3399, 24));
  const RunResult refused =
      run_tool(board, {"--duobl", write_temp_file("duobl.bin", make_loader_image(8192))});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(changes_printed(refused.out),
            "ERROR: The duobl primary area at 0 (65536 bytes) is not whole erase blocks of 131072 "
            "bytes\n");
  EXPECT_EQ(refused.flash, board.flash);
  for (const char* change : {"\nwrite ", "\nerase "})
    EXPECT_EQ(("\n" + refused.log).find(change), std::string::npos) << refused.log;

  const RunResult installed = run_tool(board, uboot_set_args(board, "large-blocks", 500));
  EXPECT_EQ(installed.status, 0) << installed.out;
  EXPECT_NE(changes_printed(installed.out).find("Erasing 393216 bytes at 524288\n"),
            std::string::npos)
      << installed.out;
}

struct GenericSplCase {
  bool replace_fallback;
  std::size_t n;
  std::uint32_t offset;
  std::uint32_t area_bytes;
  const char* label;
};

TEST(GenericSpl, WritesTheImageIntoTheWholeErasedTarget) {
  const GenericSplCase cases[] = {
      {false, 4096, kSplPrimaryOffset, kSplPrimaryBytes, "primary bootloader"},
      {false, 389120, kSplPrimaryOffset, kSplPrimaryBytes, "primary bootloader"},
      {true, 4096, kSplFallbackOffset, kSplFallbackBytes, "fallback bootloader"},
  };
  const Board board = board_with_loader();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.label) + " " + std::to_string(c.n));
    const Bytes image = make_generic_spl(c.n);
    std::vector<std::string> args{"--spl", write_temp_file("spl.img", image)};
    if (c.replace_fallback) args.push_back("--replace-fallback");
    const RunResult result = run_tool(board, args);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(changes_printed(result.out),
              line("Writing Zeroed magic header at %u (size 4)", c.offset) +
                  line("Erasing %u bytes at %u", c.area_bytes, c.offset) +
                  line("Writing %s at %u (size %u)", c.label, c.offset + 4, unsigned(c.n - 4)) +
                  line("Writing %s at %u (size 4)", c.label, c.offset));
    EXPECT_EQ(range(result.flash, c.offset, c.n), image);
    EXPECT_TRUE(all_bytes(result.flash, c.offset + c.n, c.area_bytes - c.n, 0xFF));
    EXPECT_TRUE(unchanged_outside(result.flash, *board.flash, {{c.offset, c.area_bytes}}));
  }
}

TEST(GenericSpl, RefusedSizesLeaveTheFlashAlone) {
  const Board board = board_with_loader();
  const struct {
    std::size_t n;
    const char* message;
  } cases[] = {
      {4095, "ERROR: SPL is too small\n"},
      {389121, "ERROR: SPL is too big\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    const RunResult result =
        run_tool(board, {"--spl", write_temp_file("spl.img", make_signed_image(c.n, "", 8))});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(changes_printed(result.out), c.message);
    EXPECT_EQ(result.flash, board.flash);
  }
}

TEST(RunSequence, DryRunAndNoOptionChangeNothing) {
  const Board board = patterned_board();
  const std::string missing = ::testing::TempDir() + "does-not-exist.bin";
  const std::vector<std::vector<std::string>> runs = {
      {},
      {"--erase-all", "--dry-run"},
      {"--dry-run", "--spl", missing},
      {"--dry-run", "--duobl", missing, "--erase-all"},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = run_tool(board, args);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("\nitb primary "), std::string::npos);
    EXPECT_EQ(changes_printed(result.out), "");
    EXPECT_EQ(result.flash, board.flash);
  }
}

TEST(RunSequence, EraseAllErasesTheWholeChip) {
  const Board board = patterned_board();
  const RunResult erased = run_tool(board, {"--erase-all"});
  EXPECT_EQ(erased.status, 0);
  EXPECT_EQ(changes_printed(erased.out), "Erasing 16777216 bytes at 0\n");
  EXPECT_TRUE(all_bytes(erased.flash, 0, erased.flash.size(), 0xFF));
}

}  // namespace
}  // namespace duobl::testing
