// SPDX-License-Identifier: GPL-2.0-or-later
// The fault matrix: in every install kind, each kind of device operation
// fails at its first, a middle and its last occurrence after the report.
// Every run must end at once with the operation's own message and status 1,
// within the time limit, with no write or erase after the failure, and
// leave the flash exactly as the operations before the failure made it.
#include <gtest/gtest.h>
#include <libfdt.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>
#include <set>
#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/images.h"
#include "fixture/install_support.h"
#include "fixture/resilience_support.h"
#include "oracle/boot_header_bytes.h"

namespace duobl::testing {
namespace {

enum class Install { Loader, GenericSpl, UbootSet, ChipErase };

struct InstallCase {
  const char* name;
  Install install;
  RomFamily family;
  bool replace_fallback;
};

const InstallCase kInstalls[] = {
    {"loader_rk3399", Install::Loader, RomFamily::Rk3399, false},
    {"generic_spl_rk3568", Install::GenericSpl, RomFamily::Rk35xx, false},
    {"uboot_rk3399", Install::UbootSet, RomFamily::Rk3399, false},
    {"uboot_fallback_rk3568", Install::UbootSet, RomFamily::Rk35xx, true},
    {"chip_erase_rk3399", Install::ChipErase, RomFamily::Rk3399, false},
};

enum class Fault { Seek, SeekAstray, Read, Write, ShortWrite, Erase, Mismatch };

struct FaultKind {
  Fault fault;
  const char* name;
  const char* op;  // the log's name of the operation it hits
};

const FaultKind kFaults[] = {
    {Fault::Seek, "seek", "seek"},
    {Fault::SeekAstray, "seek astray", "seek"},
    {Fault::Read, "read", "read"},
    {Fault::Write, "write", "write"},
    {Fault::ShortWrite, "short write", "write"},
    {Fault::Erase, "erase", "erase"},
    {Fault::Mismatch, "verification mismatch", "read"},
};

std::vector<std::string> install_args(const InstallCase& c, const Board& board) {
  const std::string tag = std::string("fault-") + c.name;
  std::vector<std::string> args;
  switch (c.install) {
    case Install::Loader: args = loader_args(c.family, tag, 300); break;
    case Install::GenericSpl:
      args = {"--spl",
              write_temp_file(tag + "-generic.img", make_bootable_generic_spl(c.family, 310))};
      break;
    case Install::UbootSet: args = uboot_set_args(board, tag, 320); break;
    case Install::ChipErase: args = {"--erase-all"}; break;
  }
  if (c.replace_fallback) args.push_back("--replace-fallback");
  return args;
}

// The `nth` operation named `op` in `ops` (1-based), as an index.
std::size_t index_of_nth(const std::vector<LogOp>& ops, const std::string& op, std::size_t nth) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < ops.size(); ++i)
    if (ops[i].kind == op && ++seen == nth) return i;
  return ops.size();
}

std::size_t count_of(const std::vector<LogOp>& ops, const std::string& op) {
  std::size_t n = 0;
  for (const LogOp& o : ops) n += o.kind == op;
  return n;
}

std::string expected_message(Fault fault, const LogOp& op) {
  char text[160];
  switch (fault) {
    case Fault::Seek:
      std::snprintf(text, sizeof text, "ERROR: Seek to %llu failed (Invalid argument)\n",
                    static_cast<unsigned long long>(op.a));
      return text;
    case Fault::SeekAstray:
      std::snprintf(text, sizeof text, "ERROR: Seek to %llu failed (different offset returned)\n",
                    static_cast<unsigned long long>(op.a));
      return text;
    case Fault::Read: return "ERROR: Read from flash failed (Input/output error)\n";
    case Fault::Write: return "ERROR: Write to flash failed (Input/output error)\n";
    case Fault::ShortWrite: return "ERROR: Write to flash failed short\n";
    case Fault::Erase:
      std::snprintf(text, sizeof text, "ERROR: Erase failed at %llu (size %llu) Input/output error\n",
                    static_cast<unsigned long long>(op.a), static_cast<unsigned long long>(op.b));
      return text;
    case Fault::Mismatch:
      return "ERROR: Read from flash returned different data than what was written\n";
  }
  return "";
}

void inject(Board& board, Fault fault, std::size_t nth) {
  const std::string n = std::to_string(nth);
  switch (fault) {
    case Fault::Seek: board.env["SIMBOARD_FAIL"] = "seek:" + n + ":EINVAL"; break;
    case Fault::SeekAstray: board.env["SIMBOARD_SEEK_ASTRAY"] = n; break;
    case Fault::Read: board.env["SIMBOARD_FAIL"] = "read:" + n + ":EIO"; break;
    case Fault::Write: board.env["SIMBOARD_FAIL"] = "write:" + n + ":EIO"; break;
    case Fault::ShortWrite: board.env["SIMBOARD_SHORT_WRITE"] = n; break;
    case Fault::Erase: board.env["SIMBOARD_FAIL"] = "erase:" + n + ":EIO"; break;
    case Fault::Mismatch: board.env["SIMBOARD_CORRUPT_READ"] = n; break;
  }
}

std::string first_difference(const Bytes& got, const Bytes& want) {
  if (got.size() != want.size()) return "flash size " + std::to_string(got.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    if (got[i] != want[i])
      return "byte " + std::to_string(i) + " is " + std::to_string(got[i]) + ", not " +
             std::to_string(want[i]);
  return "";
}

// Every failure stops the run at once and keeps the flash.
void run_matrix(const InstallCase& c) {
  Board board = resilience_board(c.family);
  board.flash = start_flash(c.family);
  ASSERT_FALSE(board.flash->empty());
  const std::vector<std::string> args = install_args(c, board);

  const RunResult complete = run_tool(board, args, kRunLimitSeconds);
  ASSERT_EQ(complete.status, 0) << complete.out;
  std::vector<std::string> dry_args = args;
  dry_args.push_back("--dry-run");
  const RunResult dry = run_tool(board, dry_args, kRunLimitSeconds);
  ASSERT_EQ(dry.status, 0) << dry.out;
  const std::vector<LogOp> complete_ops = parse_log(complete.log);
  const std::vector<LogOp> report_ops = parse_log(dry.log);

  std::map<std::size_t, Bytes> after_cache;
  const auto after = [&](std::size_t m) -> const Bytes& {
    auto found = after_cache.find(m);
    if (found == after_cache.end()) found = after_cache.emplace(m, flash_after(board, args, m)).first;
    return found->second;
  };

  std::size_t cases = 0;
  for (const FaultKind& kind : kFaults) {
    // The occurrences of the operation that belong to the install, not to
    // the report before it. A corrupted read can only show as a mismatch
    // where it verifies a write: the loader update's look at the magic of
    // its two copies, before its first write, takes what it reads.
    std::size_t before = count_of(report_ops, kind.op);
    if (kind.fault == Fault::Mismatch) {
      const auto first_write = std::find_if(complete_ops.begin(), complete_ops.end(),
                                            [](const LogOp& op) { return op.kind == "write"; });
      before = std::max(before, count_of({complete_ops.begin(), first_write}, kind.op));
    }
    const std::size_t total = count_of(complete_ops, kind.op);
    if (total <= before) continue;
    const std::set<std::size_t> occurrences = {before + 1, before + (total - before + 1) / 2,
                                               total};
    for (std::size_t nth : occurrences) {
      SCOPED_TRACE(std::string(c.name) + ": " + kind.name + " fails at occurrence " +
                   std::to_string(nth) + " of " + std::to_string(total));
      ++cases;
      Board faulty = board;
      inject(faulty, kind.fault, nth);
      const RunResult result = run_tool(faulty, args, kRunLimitSeconds);
      EXPECT_FALSE(result.timed_out);
      EXPECT_EQ(result.status, 1);

      // The transcript is the complete run's up to the failure, then the
      // operation's own message.
      const LogOp& hit = complete_ops[index_of_nth(complete_ops, kind.op, nth)];
      const std::string message = expected_message(kind.fault, hit);
      ASSERT_GE(result.out.size(), message.size()) << result.out;
      const std::size_t cut = result.out.size() - message.size();
      EXPECT_EQ(result.out.substr(cut), message);
      EXPECT_EQ(complete.out.substr(0, cut), result.out.substr(0, cut));

      // Nothing reaches the chip after the failing operation.
      const std::vector<LogOp> ops = parse_log(result.log);
      const std::size_t failed_at = index_of_nth(ops, kind.op, nth);
      ASSERT_LT(failed_at, ops.size());
      std::size_t done = 0;
      for (std::size_t i = 0; i < ops.size(); ++i) {
        if (i > failed_at) {
          EXPECT_FALSE(ops[i].kind == "write" || ops[i].kind == "erase")
              << ops[i].kind << " at " << ops[i].a << " after the failure";
        } else if (i < failed_at) {
          done += is_mutation(ops[i]);
        }
      }

      // The flash holds what the completed operations wrote; a short write
      // also leaves the bytes it reported.
      Bytes expected = after(done);
      if (kind.fault == Fault::ShortWrite) {
        const LogOp& short_write = ops[failed_at];
        expected = after(done + 1);
        const std::size_t last = short_write.a + short_write.b - 1;
        expected[last] = after(done)[last];
      }
      EXPECT_EQ(first_difference(result.flash, expected), "");
    }
  }
  std::printf("[ figures  ] faults %s: %zu cases\n", c.name, cases);
  ::testing::Test::RecordProperty("fault_cases", static_cast<int>(cases));
}

// A refused input changes nothing: every image is loaded and checked before
// the first erase or write, whatever else the run asked for. Each row prints
// the report of a dry run on the same chip, then its error and nothing else,
// and leaves the chip byte for byte as it was.
TEST(FaultMatrix, RefusedInputsChangeNothing) {
  const std::string missing = ::testing::TempDir() + "refused-missing.bin";
  const auto file = [](const std::string& name, const Bytes& bytes) {
    return write_temp_file("refused-" + name, bytes);
  };
  const auto open_error = [&] {
    return "ERROR: Failed to open " + missing + " (No such file or directory)\n";
  };
  const auto too_big_for = [](const std::string& path, std::size_t buffer_bytes) {
    return "ERROR: File " + path + " is too big for the buffer size " +
           std::to_string(buffer_bytes) + "\n";
  };
  const std::string loaderless =
      "ERROR: No duobl loader in flash: the RK3399 boot ROM cannot load this unpadded image "
      "without it (install one with --duobl)\n";

  enum class Chip { Start, LoaderGone };
  struct Row {
    std::string name;
    RomFamily family;
    Chip chip;
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Row> rows;
  for (const RomFamily family : {RomFamily::Rk3399, RomFamily::Rk35xx}) {
    const Board board = resilience_board(family);
    const std::string f = family_name(family);
    const std::vector<std::string> loader = loader_args(family, "refused-" + f, 400);
    const std::vector<std::string> set = uboot_set_args(board, "refused-" + f, 410);
    const auto with_set = [&](std::size_t which, const std::string& path) {
      std::vector<std::string> args = {"--erase-all", loader[0], loader[1]};
      args.insert(args.end(), set.begin(), set.end());
      args[4 + 2 * which] = path;  // --uboot-tpl, --uboot-spl, --uboot-itb
      return args;
    };
    const std::string large_loader = file(f + "-large-duobl.bin", Bytes(65536, 0x11));
    const std::string large_spl = file(f + "-large-spl.img", Bytes(389121, 0x22));
    const std::string large_itb =
        file(f + "-large.itb", make_itb(printed_layout(run_tool(board, {"--dry-run"}).out)
                                            .back().size + 1));
    const std::string large_tpl = file(f + "-large-tpl.bin", make_uboot_tpl(0x5e000, 411));

    rows.push_back({f + ": erase-all, missing loader", family, Chip::Start,
                    {"--erase-all", "--duobl", missing}, open_error()});
    rows.push_back({f + ": erase-all, loader too large", family, Chip::Start,
                    {"--erase-all", "--duobl", large_loader},
                    too_big_for(large_loader, 65536)});
    rows.push_back({f + ": erase-all, missing generic SPL", family, Chip::Start,
                    {"--erase-all", "--duobl", loader[1], "--spl", missing}, open_error()});
    rows.push_back({f + ": erase-all, generic SPL too large", family, Chip::Start,
                    {"--erase-all", "--duobl", loader[1], "--spl", large_spl},
                    "ERROR: SPL is too big\n"});
    rows.push_back({f + ": erase-all, missing TPL", family, Chip::Start, with_set(0, missing),
                    open_error()});
    rows.push_back({f + ": erase-all, missing SPL", family, Chip::Start, with_set(1, missing),
                    open_error()});
    rows.push_back({f + ": erase-all, missing ITB", family, Chip::Start, with_set(2, missing),
                    open_error()});
    rows.push_back({f + ": erase-all, TPL and SPL too large", family, Chip::Start,
                    with_set(0, large_tpl), "ERROR: SPL+DTB is too big\n"});
    rows.push_back({f + ": erase-all, ITB too large for its area", family, Chip::Start,
                    with_set(2, large_itb), "ERROR: U-Boot is too big\n"});
    // A set for the other family's board names another machine.
    const Board other = resilience_board(family == RomFamily::Rk3399 ? RomFamily::Rk35xx
                                                                      : RomFamily::Rk3399);
    std::vector<std::string> loader_and_other_set = loader;
    const std::vector<std::string> other_set = uboot_set_args(other, "refused-other-" + f, 420);
    loader_and_other_set.insert(loader_and_other_set.end(), other_set.begin(), other_set.end());
    rows.push_back({f + ": a loader with another board's set", family, Chip::Start,
                    loader_and_other_set,
                    "ERROR: Machine type doesn't match U-Boot DTB you're trying to flash\n"});

    // Files that are not what their option says, each refused with a line
    // that names it once every size and tree check has passed.
    const RomFamily other_family = family == RomFamily::Rk3399 ? RomFamily::Rk35xx : RomFamily::Rk3399;
    const bool padded_at_zero = family == RomFamily::Rk3399;
    const std::string fam = family == RomFamily::Rk3399 ? "RK3399" : "RK35xx";
    const auto refused = [&](const std::string& name, std::vector<std::string> args,
                             const std::string& path, const std::string& why) {
      rows.push_back({f + ": " + name, family, Chip::Start, std::move(args),
                      "ERROR: " + path + " " + why + "\n"});
    };
    const auto as_loader = [&](const std::string& name, const Bytes& bytes, const std::string& why) {
      const std::string path = file(f + "-" + name + "-duobl.bin", bytes);
      refused("as the loader, " + name, {"--duobl", path}, path, why);
    };
    const std::string no_loader_header =
        "is not a duobl loader: it does not start with an " + fam + " boot header";
    as_loader("a plain image", make_signed_image(8192, "duobl", 430), no_loader_header);
    as_loader("the other family's loader", make_loader_image(8192, 431, other_family),
              no_loader_header);
    as_loader("a loader stored the other way",
              make_boot_image(8192, "duobl", 432, family, !padded_at_zero),
              std::string("is stored ") + (padded_at_zero ? "unpadded" : "padded") + ", but the " +
                  fam + " boot ROM reads a loader at 0 " + (padded_at_zero ? "padded" : "unpadded"));
    as_loader("a TPL in a header", make_boot_image(8192, "U-Boot TPL", 433, family, padded_at_zero),
              "is not a duobl loader: its first image holds 'U-Boot TPL'");
    Bytes long_header = make_loader_image(8192, 434, family);
    const Bytes longer = header_area(family, 4, 100);
    std::copy(longer.begin(), longer.end(), long_header.begin());
    as_loader("a loader whose header names more than it holds", long_header,
              "is cut short: its boot header names images that run past its end");

    const auto as_spl = [&](const std::string& name, const Bytes& bytes, const std::string& why) {
      const std::string path = file(f + "-" + name + "-spl.img", bytes);
      refused("as the generic SPL, " + name, {"--duobl", loader[1], "--spl", path}, path, why);
    };
    as_spl("a plain image", make_signed_image(8192, "levinboot/", 440),
           "is not a boot image: it does not start with an " + fam + " boot header");
    as_spl("a padded image", make_boot_image(8192, "levinboot/", 441, family, true),
           "is stored padded (an SPI flash image): --spl needs an unpadded image, such as an SD "
           "card image");
    Bytes long_spl = make_generic_spl(8192, 442, family);
    std::copy(longer.begin(), longer.end(), long_spl.begin());
    as_spl("an image whose header names more than it holds", long_spl,
           "is cut short: its boot header names images that run past its end");
    as_spl("a U-Boot TPL and SPL", make_boot_image(8192, "U-Boot TPL", 443, family, false),
           "holds a 'U-Boot TPL' image: U-Boot goes in with --uboot-tpl, --uboot-spl and "
           "--uboot-itb, which point its SPL at its ITB");

    // One file of the set replaced: 0 the TPL, 1 the SPL, 2 the ITB.
    const auto in_set = [&](std::size_t which, const std::string& name, const Bytes& bytes,
                            const std::string& why) {
      const char* options[] = {"TPL", "SPL", "ITB"};
      const std::string path = file(f + "-" + name + "-" + options[which] + ".bin", bytes);
      refused(std::string("as the ") + options[which] + ", " + name, with_set(which, path), path,
              why);
    };
    SplTreeOptions board_tree;
    board_tree.compatible = board.compatible;
    board_tree.filler_bytes = 256;
    const SplImage spl = make_uboot_spl(board_tree, 2048, 450);
    in_set(0, "an empty file", {}, "is empty: --uboot-tpl needs U-Boot's TPL (u-boot-tpl.bin)");
    Bytes wrapped_tpl = header_area(family, 4, 6);
    const Bytes tpl = make_uboot_tpl(3000, 451);
    wrapped_tpl.insert(wrapped_tpl.end(), tpl.begin(), tpl.end());
    in_set(0, "a TPL in a header", wrapped_tpl,
           "starts with a boot header: --uboot-tpl needs the TPL alone (u-boot-tpl.bin)");
    in_set(0, "the SPL", spl.bytes,
           "is not a U-Boot TPL (its content is 'U-Boot SPL'): --uboot-tpl needs u-boot-tpl.bin "
           "or a DRAM init blob");
    SplTreeOptions other_tree = board_tree;
    other_tree.compatible = {"vendor,other-board", "rockchip,rk3399"};
    Bytes foreign_tpl = make_uboot_tpl(3000, 452);
    const std::size_t tpl_tree_at = append_tree(foreign_tpl, make_spl_tree(other_tree));
    in_set(0, "a TPL for another board", foreign_tpl,
           "is built for vendor,other-board, not for this machine (" + board.compatible[0] + ")");
    Bytes cut_tpl = make_uboot_tpl(3000, 453);
    append_tree(cut_tpl, make_spl_tree(board_tree));
    cut_tpl.pop_back();
    in_set(0, "a TPL cut by a byte", cut_tpl,
           "is cut short: its device tree at " + std::to_string(tpl_tree_at) + " claims " +
               std::to_string(cut_tpl.size() + 1 - tpl_tree_at) + " bytes, the file holds " +
               std::to_string(cut_tpl.size() - tpl_tree_at));
    Bytes wrapped_spl = header_area(family, 4, 4);
    wrapped_spl.insert(wrapped_spl.end(), spl.bytes.begin(), spl.bytes.end());
    in_set(1, "an SPL in a header", wrapped_spl,
           "starts with a boot header: --uboot-spl needs the SPL alone (u-boot-spl.bin)");
    Bytes bare_tree = make_spl_tree(board_tree);
    bare_tree.resize(std::max<std::size_t>(bare_tree.size(), 2048) + 256, 0);
    in_set(1, "the board's device tree", bare_tree,
           "is a device tree, not a U-Boot SPL (u-boot-spl.bin)");
    Bytes nameless_spl = make_signed_image(2048, "", 454);
    append_tree(nameless_spl, make_spl_tree(board_tree));
    in_set(1, "an image with a tree but no SPL in it", nameless_spl,
           "is not a U-Boot SPL (its content is 'unknown'): --uboot-spl needs u-boot-spl.bin");
    Bytes cut_spl = spl.bytes;
    cut_spl.pop_back();
    in_set(1, "an SPL cut by a byte", cut_spl,
           "is cut short: its device tree at " + std::to_string(spl.tree_offset) + " claims " +
               std::to_string(spl.bytes.size() - spl.tree_offset) + " bytes, the file holds " +
               std::to_string(cut_spl.size() - spl.tree_offset));
    in_set(2, "the TPL", tpl, "is not a U-Boot ITB (no FIT image tree)");
    in_set(2, "the board's device tree", make_spl_tree(board_tree),
           "is not a U-Boot ITB (a device tree without FIT images)");
    Bytes no_configurations = make_itb(4000, 455);
    ASSERT_EQ(fdt_del_node(no_configurations.data(),
                           fdt_path_offset(no_configurations.data(), "/configurations")),
              0);
    in_set(2, "a FIT without configurations", no_configurations,
           "is not a U-Boot ITB (a FIT without configurations)");
    Bytes cut_itb = make_itb(4000, 456);
    cut_itb.pop_back();
    in_set(2, "an ITB cut by a byte", cut_itb,
           "is cut short: the data of its FIT image 'u-boot' ends at 4000, the file holds 3999");
    in_set(2, "an ITB cut inside its tree", Bytes(cut_itb.begin(), cut_itb.begin() + 100),
           "is cut short: its FIT image tree claims " +
               std::to_string(fdt_totalsize(cut_itb.data())) + " bytes, the file holds 100");
  }
  // On RK3399 only the loader starts what an SPL area holds.
  {
    const Board board = resilience_board(RomFamily::Rk3399);
    const std::string generic =
        file("rk3399-generic.img", make_bootable_generic_spl(RomFamily::Rk3399, 430));
    std::vector<std::string> set = uboot_set_args(board, "refused-loaderless", 440);
    rows.push_back({"rk3399: generic SPL without a loader", RomFamily::Rk3399, Chip::LoaderGone,
                    {"--spl", generic}, loaderless});
    rows.push_back({"rk3399: U-Boot set without a loader", RomFamily::Rk3399, Chip::LoaderGone,
                    set, loaderless});
    set.push_back("--replace-fallback");
    rows.push_back({"rk3399: U-Boot set into the fallback without a loader", RomFamily::Rk3399,
                    Chip::LoaderGone, set, loaderless});
    rows.push_back({"rk3399: generic SPL after an erase that takes the loader",
                    RomFamily::Rk3399, Chip::Start, {"--erase-all", "--spl", generic},
                    loaderless});
  }

  // The report of a dry run depends only on the board and its chip.
  std::map<std::pair<RomFamily, Chip>, std::string> reports;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Board board = resilience_board(row.family);
    board.flash = start_flash(row.family);
    ASSERT_FALSE(board.flash->empty());
    if (row.chip == Chip::LoaderGone)  // both copies of the loader erased
      std::fill_n(board.flash->begin(), kSplFallbackOffset, 0xFF);
    std::string& report = reports[{row.family, row.chip}];
    if (report.empty()) {
      const RunResult dry = run_tool(board, {"--dry-run"}, kRunLimitSeconds);
      ASSERT_EQ(dry.status, 0) << dry.out;
      report = dry.out;
    }
    const RunResult result = run_tool(board, row.args, kRunLimitSeconds);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, report + row.message);
    EXPECT_EQ(first_difference(result.flash, *board.flash), "");
    for (const LogOp& op : parse_log(result.log))
      EXPECT_FALSE(op.kind == "write" || op.kind == "erase") << op.kind << " at " << op.a;
  }
  std::printf("[ figures  ] refused inputs: %zu rows\n", rows.size());
  ::testing::Test::RecordProperty("refused_rows", static_cast<int>(rows.size()));
}

TEST(FaultMatrix, LoaderRk3399) { run_matrix(kInstalls[0]); }
TEST(FaultMatrix, GenericSplRk3568) { run_matrix(kInstalls[1]); }
TEST(FaultMatrix, UbootRk3399) { run_matrix(kInstalls[2]); }
TEST(FaultMatrix, UbootFallbackRk3568) { run_matrix(kInstalls[3]); }
TEST(FaultMatrix, ChipEraseRk3399) { run_matrix(kInstalls[4]); }


}  // namespace
}  // namespace duobl::testing
