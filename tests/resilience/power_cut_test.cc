// SPDX-License-Identifier: GPL-2.0-or-later
// The power-cut campaign: every install kind is run once to completion to
// count its mutations M, then again from the same flash with the power cut
// during mutation k, for every k from 1 to M, once cleanly and once torn
// (and with several seeds where the cut hits the write or erase at the start
// of an area). After each cut the boot ROM model must find only headers
// whose images are wholly the old or wholly the new content, and at least
// one of them.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "fixture/board.h"
#include "resilience/resilience_support.h"

namespace duobl::testing {
namespace {

enum class SplKind { None, Generic, Uboot };

struct Scenario {
  const char* name;
  RomFamily family;
  bool loader;
  SplKind spl;
  bool replace_fallback;
};

const Scenario kScenarios[] = {
    {"loader_rk3399", RomFamily::Rk3399, true, SplKind::None, false},
    {"loader_rk3568", RomFamily::Rk35xx, true, SplKind::None, false},
    {"generic_spl_primary_rk3568", RomFamily::Rk35xx, false, SplKind::Generic, false},
    {"generic_spl_fallback_rk3399", RomFamily::Rk3399, false, SplKind::Generic, true},
    {"uboot_primary_rk3399", RomFamily::Rk3399, false, SplKind::Uboot, false},
    {"uboot_fallback_rk3399", RomFamily::Rk3399, false, SplKind::Uboot, true},
    {"uboot_primary_rk3568", RomFamily::Rk35xx, false, SplKind::Uboot, false},
    {"uboot_fallback_rk3568", RomFamily::Rk35xx, false, SplKind::Uboot, true},
    {"loader_and_uboot_rk3568", RomFamily::Rk35xx, true, SplKind::Uboot, false},
};

// Torn cuts of a mutation at the start of an area get this many seeds.
constexpr std::uint64_t kAreaStartSeeds = 8;

std::vector<std::string> scenario_args(const Scenario& s, const Board& board) {
  std::vector<std::string> args;
  const std::string tag = std::string("new-") + s.name;
  if (s.loader) args = loader_args(s.family, tag, 200);
  if (s.spl == SplKind::Generic) {
    args.push_back("--spl");
    args.push_back(
        write_temp_file(tag + "-generic.img", make_bootable_generic_spl(s.family, 210)));
  } else if (s.spl == SplKind::Uboot) {
    const auto set = uboot_set_args(board, tag, 220);
    args.insert(args.end(), set.begin(), set.end());
  }
  if (s.replace_fallback) args.push_back("--replace-fallback");
  return args;
}

// The final flash with the new loader also in the backup area: the state
// in which the update has completed its backup copy and not yet begun the
// primary one, as far as the ROM can tell.
Bytes with_backup_loader(const Bytes& final_flash, const std::string& loader_path) {
  Bytes flash = final_flash;
  std::FILE* file = std::fopen(loader_path.c_str(), "rb");
  if (file == nullptr) return flash;
  std::vector<std::uint8_t> loader(65536);
  const std::size_t n = std::fread(loader.data(), 1, loader.size(), file);
  std::fclose(file);
  std::copy(loader.begin(), loader.begin() + static_cast<std::ptrdiff_t>(n),
            flash.begin() + 65536);
  return flash;
}

void run_campaign(const Scenario& s) {
  Board board = resilience_board(s.family);
  board.flash = start_flash(s.family);
  ASSERT_FALSE(board.flash.empty());
  const std::vector<std::string> args = scenario_args(s, board);

  const RunResult complete = run_tool(board, args, kRunLimitSeconds);
  ASSERT_EQ(complete.status, 0) << complete.out;
  const std::vector<PrintedArea> layout = printed_layout(complete.out);
  ASSERT_EQ(layout.size(), 6u) << complete.out;
  const std::vector<LogOp> mutations = mutations_of(parse_log(complete.log));
  ASSERT_FALSE(mutations.empty());

  std::vector<ReferenceState> references;
  references.push_back(reference_state(s.family, "before", board.flash));
  references.push_back(reference_state(s.family, "after", complete.flash));
  if (s.loader) {
    references.push_back(reference_state(s.family, "backup loader",
                                         with_backup_loader(complete.flash, args[1])));
  }
  // The model must accept the states it compares with.
  for (const ReferenceState& reference : references) {
    const Verdict verdict = judge_flash(s.family, reference.flash, references, layout);
    ASSERT_EQ(verdict.problem, "") << reference.name;
  }

  std::set<std::uint64_t> area_starts;
  for (const PrintedArea& area : layout) area_starts.insert(area.offset);

  // Every cut of the sweep, each judged on its own flash.
  struct Cut {
    std::size_t k = 0;
    const char* mode = "clean";
    std::uint64_t seed = 0;
    std::string problem;
  };
  std::vector<Cut> cuts;
  for (std::size_t k = 1; k <= mutations.size(); ++k) {
    const bool area_start = area_starts.count(mutations[k - 1].a) != 0;
    cuts.push_back({k, "clean", k * 1000, ""});
    const std::uint64_t seeds = area_start ? kAreaStartSeeds : 1;
    for (std::uint64_t seed = k * 1000; seed < k * 1000 + seeds; ++seed)
      cuts.push_back({k, "torn", seed, ""});
  }
  for_each_in_parallel(cuts.size(), [&](std::size_t i) {
    Cut& cut = cuts[i];
    Board cut_board = board;
    cut_board.env["SIMBOARD_CUT"] = std::to_string(cut.k);
    cut_board.env["SIMBOARD_CUT_MODE"] = cut.mode;
    cut_board.env["SIMBOARD_SEED"] = std::to_string(cut.seed);
    const RunResult result = run_tool(cut_board, args, kRunLimitSeconds);
    if (result.timed_out) {
      cut.problem = "the run did not end within " + std::to_string(kRunLimitSeconds) + " s";
    } else if (result.status != kPowerCutStatus || last_log_op(result.log).kind != "cut") {
      cut.problem = "the power cut did not happen (status " + std::to_string(result.status) + ")";
    } else {
      cut.problem = judge_flash(s.family, result.flash, references, layout).problem;
    }
  });

  std::size_t passed = 0;
  std::size_t reported = 0;
  for (const Cut& cut : cuts) {
    if (cut.problem.empty()) {
      ++passed;
      continue;
    }
    const LogOp& mutation = mutations[cut.k - 1];
    if (++reported <= 10) {
      ADD_FAILURE() << s.name << ": cut " << cut.k << " of " << mutations.size() << " ("
                    << mutation.kind << " of " << mutation.b << " bytes at " << mutation.a
                    << "), " << cut.mode << ", seed " << cut.seed << ": " << cut.problem;
    }
  }
  EXPECT_EQ(passed, cuts.size());
  std::printf("[ figures  ] power cuts %s: %zu cut points, %zu runs, %zu passed\n", s.name,
              mutations.size(), cuts.size(), passed);
  ::testing::Test::RecordProperty("cut_points", static_cast<int>(mutations.size()));
  ::testing::Test::RecordProperty("runs", static_cast<int>(cuts.size()));
  ::testing::Test::RecordProperty("passed", static_cast<int>(passed));
}

TEST(PowerCut, LoaderRk3399) { run_campaign(kScenarios[0]); }
TEST(PowerCut, LoaderRk3568) { run_campaign(kScenarios[1]); }
TEST(PowerCut, GenericSplPrimaryRk3568) { run_campaign(kScenarios[2]); }
TEST(PowerCut, GenericSplFallbackRk3399) { run_campaign(kScenarios[3]); }
TEST(PowerCut, UbootPrimaryRk3399) { run_campaign(kScenarios[4]); }
TEST(PowerCut, UbootFallbackRk3399) { run_campaign(kScenarios[5]); }
TEST(PowerCut, UbootPrimaryRk3568) { run_campaign(kScenarios[6]); }
TEST(PowerCut, UbootFallbackRk3568) { run_campaign(kScenarios[7]); }
TEST(PowerCut, LoaderAndUbootRk3568) { run_campaign(kScenarios[8]); }


// Torn cuts that the campaign's seeds do not meet but that exist: a torn
// program of the zeros over a live header, or a torn erase of the block that
// holds it, can leave the magic as the ROM compares it while other bytes of
// the header change. The seeds were found by replaying the board's random
// choices; each such state is one the judgement must, and does, reject.
// Should the tool come to remove the magic alone before it touches the rest
// of a header, these states stop arising and this test says so.
TEST(PowerCutExposure, TornCutsCanOutliveTheMagic) {
  const struct {
    const char* why;
    std::size_t scenario;     // index into kScenarios
    std::uint64_t erase_at;   // the cut hits the erase of this area, else mutation 1
    bool erase;
    std::uint64_t seed;
    std::uint32_t header_at;
  } cases[] = {
      {"zeroing torn, RK35xx image count cleared", 6, 0, false, 1830, 524288},
      {"zeroing torn, RK3399 header fields scrambled", 4, 0, false, 4598, 524288},
      {"loader's primary erase torn in its first block", 1, 0, true, 15371, 0},
      {"generic SPL's erase torn in its first block", 2, 524288, true, 721160, 524288},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const Scenario& s = kScenarios[c.scenario];
    Board board = resilience_board(s.family);
    board.flash = start_flash(s.family);
    const std::vector<std::string> args = scenario_args(s, board);
    const RunResult complete = run_tool(board, args, kRunLimitSeconds);
    ASSERT_EQ(complete.status, 0) << complete.out;
    const std::vector<LogOp> mutations = mutations_of(parse_log(complete.log));
    std::size_t k = 1;
    if (c.erase) {
      while (k <= mutations.size() &&
             !(mutations[k - 1].kind == "erase" && mutations[k - 1].a == c.erase_at))
        ++k;
      ASSERT_LE(k, mutations.size());
    }

    Board cut = board;
    cut.env["SIMBOARD_CUT"] = std::to_string(k);
    cut.env["SIMBOARD_CUT_MODE"] = "torn";
    cut.env["SIMBOARD_SEED"] = std::to_string(c.seed);
    const RunResult result = run_tool(cut, args, kRunLimitSeconds);
    ASSERT_EQ(result.status, kPowerCutStatus);
    EXPECT_TRUE(rom_magic_at(s.family, result.flash.data() + c.header_at));
    EXPECT_NE(result.flash, board.flash);
    const std::vector<ReferenceState> references = {
        reference_state(s.family, "before", board.flash),
        reference_state(s.family, "after", complete.flash)};
    const Verdict verdict =
        judge_flash(s.family, result.flash, references, printed_layout(complete.out));
    EXPECT_NE(verdict.problem.find("header at " + std::to_string(c.header_at)),
              std::string::npos)
        << verdict.problem;
  }
}

}  // namespace
}  // namespace duobl::testing
