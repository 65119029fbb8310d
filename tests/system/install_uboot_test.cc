// SPDX-License-Identifier: GPL-2.0-or-later
// Whole runs that install a U-Boot TPL, SPL and ITB set, checked on the
// transcript and on the flash image: the header against the tests' own
// builder, not the tool's encoder, and on RK3399 the whole SPL area against
// the image U-Boot's mkimage makes of the same TPL and SPL.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libfdt.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <cstring>
#include <string>
#include <thread>

#include "fixture/board.h"
#include "fixture/board_run.h"
#include "fixture/image_files.h"
#include "fixture/images.h"
#include "fixture/install_support.h"
#include "oracle/boot_header_bytes.h"
#include "oracle/mkimage.h"

namespace duobl::testing {
namespace {

SplTreeOptions tree_for(const Board& board) {
  SplTreeOptions tree_options;
  tree_options.compatible = board.compatible;
  return tree_options;
}

struct UbootFiles {
  std::string spl;
  std::string tpl;
  std::string itb;
};

UbootFiles write_set(const Bytes& spl, const Bytes& tpl, const Bytes& itb) {
  return {write_temp_file("u-boot-spl.bin", spl), write_temp_file("u-boot-tpl.bin", tpl),
          write_temp_file("u-boot.itb", itb)};
}

std::vector<std::string> uboot_args(const UbootFiles& files, bool replace_fallback = false) {
  std::vector<std::string> args{"--uboot-tpl", files.tpl,     "--uboot-spl",
                                files.spl,     "--uboot-itb", files.itb};
  if (replace_fallback) args.push_back("--replace-fallback");
  return args;
}

struct InstallCase {
  const char* name;
  bool rk3399;
  bool replace_fallback;
  std::size_t tpl_bytes;
  std::size_t itb_bytes;
};

TEST(UbootInstall, WritesTheSetBehindAFreshHeader) {
  const InstallCase cases[] = {
      {"rk3399 primary, TPL of 2049 bytes", true, false, 2049, 700000},
      {"rk3399 fallback, ITB as large as its area", true, true, 6000, kItbFallbackBytes},
      {"rk3568 primary, a DRAM init blob as the TPL", false, false, 1000, 123457},
      {"rk3568 fallback", false, true, 2048, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Board board = c.rk3399 ? board_with_loader() : patterned_board(rk3568_board());
    const auto spl = make_uboot_spl(tree_for(board));
    // On RK35xx the TPL is the vendor's DRAM init blob.
    const Bytes tpl = c.rk3399 ? make_uboot_tpl(c.tpl_bytes)
                               : make_signed_image(c.tpl_bytes, "DDR Version", 2);
    const Bytes itb = make_itb(c.itb_bytes);
    const RunResult result =
        run_tool(board, uboot_args(write_set(spl.bytes, tpl, itb), c.replace_fallback));
    ASSERT_EQ(result.status, 0) << result.out;

    const std::uint32_t a = c.replace_fallback ? kSplFallbackOffset : kSplPrimaryOffset;
    const std::uint32_t a_bytes = c.replace_fallback ? kSplFallbackBytes : kSplPrimaryBytes;
    const std::uint32_t b = c.replace_fallback ? kItbFallbackOffset : kItbPrimaryOffset;
    const std::uint32_t b_bytes = c.replace_fallback ? kItbFallbackBytes : kItbPrimaryBytes;
    const std::uint32_t tpl_rounded = round_2048(c.tpl_bytes);
    const std::uint32_t spl_at = a + 2048 + tpl_rounded;
    const Bytes& flash = result.flash;

    // The SPL: its code unchanged, then the patched tree, packed.
    EXPECT_EQ(range(flash, spl_at, spl.tree_offset), range(spl.bytes, 0, spl.tree_offset));
    const Bytes tree =
        range(flash, spl_at + spl.tree_offset, a + a_bytes - spl_at - spl.tree_offset);
    ASSERT_EQ(fdt_check_header(tree.data()), 0);
    const std::size_t spl_bytes = spl.tree_offset + fdt_totalsize(tree.data());
    const auto property = read_payload_offset(tree.data());
    ASSERT_TRUE(property.has_value());
    EXPECT_EQ(property->length, 4);
    EXPECT_EQ(property->first_cell, b);
    const std::uint32_t spl_rounded = round_2048(spl_bytes);

    const auto tpl_bytes = static_cast<unsigned>(c.tpl_bytes);
    const auto itb_bytes = static_cast<unsigned>(c.itb_bytes);
    EXPECT_EQ(changes_printed(result.out),
              line("TPL size = %u, SPL size = %u", tpl_rounded, spl_rounded) +
                  line("Writing Zeroed magic header at %u (size 4)", a) +
                  line("Writing Zeroed magic header at %u (size 28)", a + 4) +
                  line("Erasing %u bytes at %u", a_bytes, a) +
                  line("Erasing %u bytes at %u", b_bytes, b) +
                  line("Writing U-Boot ITB at %u (size %u)", b, itb_bytes) +
                  line("Writing U-Boot SPL at %u (size %u)", spl_at, unsigned(spl_bytes)) +
                  line("Writing U-Boot TPL at %u (size %u)", a + 2048, tpl_bytes) +
                  line("Writing Rockchip bootloader header at %u (size 2044)", a + 4) +
                  line("Writing Bootloader header magic bytes at %u (size 4)", a));

    const auto family = c.rk3399 ? RomFamily::Rk3399 : RomFamily::Rk35xx;
    const auto sectors = [](std::uint32_t bytes) { return std::uint16_t(bytes / 512); };
    EXPECT_EQ(range(flash, a, 2048),
              header_area(family, 4, sectors(tpl_rounded), sectors(spl_rounded)));
    Bytes tpl_expected = tpl;
    if (c.rk3399 && tpl_expected.size() >= 4) std::memcpy(tpl_expected.data(), "RK33", 4);
    EXPECT_EQ(range(flash, a + 2048, c.tpl_bytes), tpl_expected);
    EXPECT_TRUE(all_bytes(flash, a + 2048 + c.tpl_bytes, tpl_rounded - c.tpl_bytes, 0xFF));
    EXPECT_TRUE(all_bytes(flash, spl_at + spl_bytes, a + a_bytes - spl_at - spl_bytes, 0xFF));
    EXPECT_EQ(range(flash, b, c.itb_bytes), itb);
    EXPECT_TRUE(all_bytes(flash, b + c.itb_bytes, b_bytes - c.itb_bytes, 0xFF));
    EXPECT_TRUE(unchanged_outside(flash, *board.flash, {{a, a_bytes}, {b, b_bytes}}));

    // U-Boot's own RK3399 SD image of the same TPL and of the SPL as the
    // tool flashed it (its tree patched) must hold the same header block,
    // TPL and SPL. From the TPL's end up to its next 2 KiB boundary mkimage
    // writes zeros where the tool leaves the flash erased: filler behind the
    // TPL's own bytes that the TPL does not use, so it is not compared.
    // (mkimage's RK35xx header carries hashes and other flags than the
    // tool's and is not compared.)
    if (!c.rk3399 || !have_mkimage()) continue;
    const MkimageResult peer = mkimage_rockchip(
        "rk3399", "rksd",
        {write_temp_file("peer-tpl.bin", tpl),
         write_temp_file("peer-spl.bin", range(flash, spl_at, spl_bytes))});
    ASSERT_TRUE(peer.ok) << peer.output;
    ASSERT_GE(peer.image.size(), 2048 + tpl_rounded + spl_bytes) << peer.output;
    EXPECT_EQ(range(flash, a, 2048), range(peer.image, 0, 2048));
    EXPECT_EQ(range(flash, a + 2048, c.tpl_bytes), range(peer.image, 2048, c.tpl_bytes));
    EXPECT_EQ(range(flash, spl_at, spl_bytes),
              range(peer.image, 2048 + tpl_rounded, spl_bytes));
  }
  if (!have_mkimage()) GTEST_SKIP() << kNoMkimage << " (the rest of this test ran)";
}

// TPL and SPL, each rounded up to 2048 bytes, may fill 0x5e000 bytes and no
// more. An SPL whose tree already holds a 4-byte property keeps its length.
TEST(UbootInstall, TplAndSplLimit) {
  const Board board = patterned_board(rk3568_board());
  SplTreeOptions tree_options = tree_for(board);
  tree_options.payload_offset_bytes = 4;
  const auto spl = make_uboot_spl(tree_options);
  const std::uint32_t spl_rounded = round_2048(spl.bytes.size());
  const std::size_t largest_tpl = 0x5e000 - spl_rounded;

  const RunResult fits = run_tool(
      board, uboot_args(write_set(spl.bytes, make_uboot_tpl(largest_tpl), make_itb(4096))));
  EXPECT_EQ(fits.status, 0) << fits.out;
  const std::string size_line =
      line("TPL size = %u, SPL size = %u", unsigned(largest_tpl), spl_rounded);
  EXPECT_EQ(changes_printed(fits.out).rfind(size_line, 0), 0u);

  const RunResult too_big = run_tool(
      board, uboot_args(write_set(spl.bytes, make_uboot_tpl(largest_tpl + 1), make_itb(4096))));
  EXPECT_EQ(too_big.status, 1);
  EXPECT_EQ(changes_printed(too_big.out), "ERROR: SPL+DTB is too big\n");
  EXPECT_EQ(too_big.flash, board.flash);
}

// Every refusal comes before the first write: the flash stays as it was and
// the size line is not printed.
TEST(UbootInstall, RefusedSetsLeaveTheFlashAlone) {
  const Board board = board_with_loader();
  const Bytes good_spl = make_uboot_spl(tree_for(board)).bytes;
  const Bytes tpl = make_uboot_tpl(4096);
  const Bytes itb = make_itb(4096);
  SplTreeOptions other_board;
  other_board.compatible = {"radxa,rock-pi-4", "rockchip,rk3399"};
  Bytes no_tree = make_signed_image(16384, "U-Boot SPL", 4);

  const struct {
    const char* name;
    Bytes spl;
    Bytes itb;
    std::string message;
  } cases[] = {
      {"SPL too small", Bytes(good_spl.begin(), good_spl.begin() + 2047), itb,
       "ERROR: SPL is too small\n"},
      {"no tree", no_tree, itb, "ERROR: Failed to find U-Boot SPL DTB\n"},
      {"other board", make_uboot_spl(other_board).bytes, itb,
       "ERROR: Machine type doesn't match U-Boot DTB you're trying to flash\n"},
      {"ITB too big", good_spl, make_itb(kItbPrimaryBytes + 1), "ERROR: U-Boot is too big\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = run_tool(board, uboot_args(write_set(c.spl, tpl, c.itb)));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(changes_printed(result.out), c.message);
    EXPECT_EQ(result.flash, board.flash);
  }

  const std::string missing = ::testing::TempDir() + "missing.itb";
  UbootFiles files = write_set(good_spl, tpl, itb);
  files.itb = missing;
  const RunResult result = run_tool(board, uboot_args(files));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(changes_printed(result.out),
            "ERROR: Failed to open " + missing + " (No such file or directory)\n");
  EXPECT_EQ(result.flash, board.flash);
}

// --- Interruptions and a second run ------------------------------------------

const std::string kHeldNote =
    "Signal received: finishing the changes to the flash, then stopping\n";

// A U-Boot install on an RK3568 board, as every case below makes it.
std::vector<std::string> interrupted_set_args() {
  const Board board = patterned_board(rk3568_board());
  return uboot_args(write_set(make_uboot_spl(tree_for(board)).bytes, make_uboot_tpl(6000),
                              make_itb(200000)));
}

// A signal from the user's side during the changes (the board sends it
// before the tenth write or erase, inside the ITB) lets them finish: the
// chip ends as an uninterrupted run leaves it, the run prints one note and
// then ends by the signal.
TEST(Interruption, SignalsDuringTheChangesLetThemFinish) {
  const Board board = patterned_board(rk3568_board());
  const std::vector<std::string> args = interrupted_set_args();
  const RunResult complete = run_tool(board, args);
  ASSERT_EQ(complete.status, 0) << complete.out;
  for (const int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
    SCOPED_TRACE(sigabbrev_np(signal_number));
    Board interrupted = board;
    interrupted.env["SIMBOARD_SIGNAL"] = "10:" + std::to_string(signal_number);
    const RunResult result = run_tool(interrupted, args);
    EXPECT_EQ(result.status, 128 + signal_number);
    EXPECT_NE(result.log.find(std::string("\nsignal 10 ") + sigabbrev_np(signal_number) + "\n"),
              std::string::npos);
    // The note goes out at once, ahead of the lines still in the buffer;
    // without it the transcript is the uninterrupted one.
    std::string out = result.out;
    const std::size_t note = out.find(kHeldNote);
    ASSERT_NE(note, std::string::npos) << out;
    out.erase(note, kHeldNote.size());
    EXPECT_EQ(out.find(kHeldNote), std::string::npos) << "more than one note";
    EXPECT_EQ(out, complete.out);
    EXPECT_EQ(result.flash, complete.flash);
  }
}

// Standard output that goes away during the changes, a pipe whose reader
// has gone, does not end them. The report is made just shorter than the
// output buffer with headers that the survey lists but never reads, so
// that the first write to the pipe would come in the middle of the changes.
TEST(Interruption, AClosedPipeDoesNotEndTheChanges) {
  Board board = patterned_board(rk3568_board());
  const std::vector<std::string> args = interrupted_set_args();
  // RKNS magics at unaligned positions of the probe windows that the
  // install does not touch: one "(unaligned by N)" row each.
  const auto dry_with = [&](int rows) {
    Board planted = board;
    int planted_rows = 0;
    for (std::uint32_t window = 0; window < 8 && planted_rows < rows; ++window)
      for (std::uint32_t at = 4; at < 32 && planted_rows < rows; at += 4, ++planted_rows)
        std::memcpy(planted.flash->data() + window * 65536 + at, "RKNS", 4);
    return planted;
  };
  const RunResult complete0 = run_tool(board, args);
  const RunResult dry0 = run_tool(board, {"--dry-run"});
  const std::size_t changes_bytes = complete0.out.size() - dry0.out.size();
  Board planted = board;
  std::size_t report_bytes = 0;
  for (int rows = 0; rows <= 56; ++rows) {
    planted = dry_with(rows);
    report_bytes = run_tool(planted, {"--dry-run"}).out.size();
    if (report_bytes + changes_bytes > 4096) break;
  }
  ASSERT_LT(report_bytes, 4096u);
  ASSERT_GT(report_bytes + changes_bytes, 4096u);
  const RunResult complete = run_tool(planted, args);
  ASSERT_EQ(complete.status, 0) << complete.out;

  for (const bool after_first_line : {false, true}) {
    SCOPED_TRACE(after_first_line ? "closed after the first line" : "closed before the run");
    BoardRun run = prepare_board_run(board_tool_path(), planted, args);
    ASSERT_EQ(run.error, "");
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    std::vector<char*> argv = exec_vector(run.argv);
    std::vector<char*> envp = exec_vector(run.env);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    if (after_first_line) {
      std::string first_line;
      char c = 0;
      while (read(pipe_ends[0], &c, 1) == 1 && c != '\n') first_line += c;
      EXPECT_EQ(first_line, "Machine: Radxa ROCK3 Model A (radxa,rock-3a)");
    }
    close(pipe_ends[0]);
    int wait_status = 0;
    ASSERT_EQ(waitpid(pid, &wait_status, 0), pid);
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
        << "status " << wait_status;
    EXPECT_EQ(check_board_loaded(run), "");
    EXPECT_EQ(check_stray_writes(run), 0u);
    EXPECT_EQ(read_board_file(run.vars["SIMBOARD_FLASH"]), complete.flash);
    std::error_code ignored;
    std::filesystem::remove_all(run.dir, ignored);
  }
}

// A second run that would change the chip while another holds it is
// refused before its report and changes nothing; the first one completes.
// The first run stops for a while before its fifth write or erase, with
// the lock held, and both share one chip image and one log.
TEST(FlashLock, ASecondRunDuringAnInstallIsRefused) {
  Board board = patterned_board(rk3568_board());
  const std::vector<std::string> args = interrupted_set_args();
  const RunResult complete = run_tool(board, args);
  ASSERT_EQ(complete.status, 0) << complete.out;

  Board first = board;
  first.env["SIMBOARD_FLASH"] = write_temp_file("shared-chip.img", *board.flash);
  first.env["SIMBOARD_LOG"] = write_temp_file("shared-chip.log", {});
  first.env["SIMBOARD_STALL"] = "5:3000";
  RunResult first_result;
  std::thread first_run([&] { first_result = run_tool(first, args); });
  bool stalled = false;
  for (int i = 0; i < 2000 && !stalled; ++i) {
    const Bytes log = read_board_file(first.env["SIMBOARD_LOG"]);
    stalled = std::string(log.begin(), log.end()).find("\nstall 5 ") != std::string::npos;
    if (!stalled) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(stalled) << "the first run never reached its stall";

  Board second = board;
  second.env["SIMBOARD_FLASH"] = first.env["SIMBOARD_FLASH"];
  const Bytes during = read_board_file(first.env["SIMBOARD_FLASH"]);
  const RunResult refused = run_tool(second, {"--erase-all"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "Machine: Radxa ROCK3 Model A (radxa,rock-3a)\n\n"
                         "ERROR: /dev/mtd0 is in use by another process\n");
  EXPECT_EQ(refused.flash, during) << "the refused run changed the chip";

  first_run.join();
  EXPECT_EQ(first_result.status, 0) << first_result.out;
  EXPECT_EQ(first_result.out, complete.out);
  EXPECT_EQ(first_result.flash, complete.flash);
}

}  // namespace
}  // namespace duobl::testing
