// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated board's device time model: what each operation that reaches
// the chip is charged, and the totals it logs at exit. Each case runs
// probe-ops under the board with SIMBOARD_MODEL_* settings.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixture/board.h"

namespace duobl::testing {
namespace {

constexpr std::uint32_t kChipBytes = 256 * 1024;

struct Totals {
  std::uint64_t count = 0;  // page programs, erase commands or bytes read
  std::uint64_t ns = 0;
};

// The "model KIND COUNT NS" lines of a log, and "model total NS" as "total".
std::map<std::string, Totals> model_lines(const std::string& log) {
  std::map<std::string, Totals> out;
  for (const std::string& line : lines_of(log)) {
    std::istringstream words(line);
    std::string word, kind;
    words >> word >> kind;
    if (word != "model") continue;
    Totals& totals = out[kind];
    if (kind == "total") {
      words >> totals.ns;
    } else {
      words >> totals.count >> totals.ns;
    }
  }
  return out;
}

RunResult probe(const std::map<std::string, std::string>& env,
                const std::vector<std::string>& ops, std::uint32_t erasesize = 4096) {
  Board board;
  board.machine_tree.reset();
  board.size_bytes = kChipBytes;
  board.erasesize_bytes = erasesize;
  board.env = env;
  return run_on_board(probe_ops_path(), board, ops, 30);
}

const std::map<std::string, std::string> kFlat = {{"SIMBOARD_MODEL_PAGE_NS", "700000"}};
const std::map<std::string, std::string> kByBytes = {{"SIMBOARD_MODEL_PAGE_NS", "700000"},
                                                     {"SIMBOARD_MODEL_FIRST_BYTE_NS", "30000"},
                                                     {"SIMBOARD_MODEL_NEXT_BYTE_NS", "2500"}};

TEST(TimeModel, ChargesOnePageProgramPerPageOrPartOfOne) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> env;
    std::vector<std::string> ops;
    std::uint64_t programs;
    std::uint64_t ns;
  };
  std::map<std::string, std::string> capped = kByBytes;
  capped["SIMBOARD_MODEL_NEXT_BYTE_NS"] = "5000";
  std::map<std::string, std::string> small_pages = kFlat;
  small_pages["SIMBOARD_MODEL_PAGE_BYTES"] = "64";
  const Case cases[] = {
      {"a whole page", kByBytes, {"seek", "512", "fill", "256", "0"}, 1, 700000},
      {"a part of a page, flat", kFlat, {"seek", "0", "fill", "60", "0"}, 1, 700000},
      {"a part of a page, by bytes", kByBytes, {"seek", "0", "fill", "60", "0"}, 1,
       30000 + 59 * 2500},
      {"across a page boundary", kByBytes, {"seek", "250", "fill", "10", "0"}, 2,
       (30000 + 5 * 2500) + (30000 + 3 * 2500)},
      {"by bytes, never above a whole page", capped, {"seek", "0", "fill", "255", "0"}, 1, 700000},
      {"a page size of 64 bytes", small_pages, {"seek", "32", "fill", "256", "0"}, 5, 5 * 700000},
      {"a write at the end of the chip, cut to what fits", kFlat,
       {"seek", std::to_string(kChipBytes - 100), "fill", "200", "0"}, 1, 700000},
  };
  for (const Case& c : cases) {
    std::vector<std::string> ops = {"open"};
    ops.insert(ops.end(), c.ops.begin(), c.ops.end());
    const RunResult run = probe(c.env, ops);
    ASSERT_EQ(run.status, 0) << c.what << ": " << run.err;
    const auto model = model_lines(run.log);
    ASSERT_EQ(model.count("program"), 1u) << c.what << ":\n" << run.log;
    EXPECT_EQ(model.at("program").count, c.programs) << c.what;
    EXPECT_EQ(model.at("program").ns, c.ns) << c.what;
    EXPECT_EQ(model.at("total").ns, c.ns) << c.what;
  }
}

TEST(TimeModel, ChargesEraseBlocksByTheirSize) {
  const std::map<std::string, std::string> env = {{"SIMBOARD_MODEL_ERASE_4K_NS", "45000000"},
                                                  {"SIMBOARD_MODEL_ERASE_64K_NS", "150000000"}};
  struct Case {
    std::uint32_t erasesize;
    const char* length;
    std::uint64_t commands;
    std::uint64_t ns;
  };
  const Case cases[] = {
      {4096, "12288", 3, 3 * 45000000ull},
      {65536, "131072", 2, 2 * 150000000ull},
      {32768, "32768", 1, 8 * 45000000ull},  // no 32 KiB figure: eight sector erases
      {131072, "131072", 1, 2 * 150000000ull},
      {4096, "0", 0, 0},  // a request that erases nothing costs nothing
  };
  for (const Case& c : cases) {
    const RunResult run = probe(env, {"open", "erase", "0", c.length}, c.erasesize);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto model = model_lines(run.log);
    EXPECT_EQ(model.at("erase").count, c.commands) << c.erasesize;
    EXPECT_EQ(model.at("erase").ns, c.ns) << c.erasesize;
  }
}

TEST(TimeModel, ChargesReadsByTheBytesTheyReturn) {
  const std::map<std::string, std::string> env = {{"SIMBOARD_MODEL_READ_BPS", "1000000"}};
  const RunResult run = probe(env, {"open", "read", "1000", "seek", "-10", "end", "read", "60"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto model = model_lines(run.log);
  EXPECT_EQ(model.at("read").count, 1010u);
  EXPECT_EQ(model.at("read").ns, 1010000u);
}

TEST(TimeModel, ChargesNothingForRefusedOperations) {
  std::map<std::string, std::string> env = kFlat;
  env["SIMBOARD_MODEL_ERASE_4K_NS"] = "45000000";
  env["SIMBOARD_FAIL"] = "write:1:EIO";
  const RunResult run = probe(env, {"open", "fill", "60", "0", "erase", "0", "100", "open",
                                    "rdonly", "erase", "0", "4096"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto model = model_lines(run.log);
  EXPECT_EQ(model.at("program").count, 0u) << run.log;
  EXPECT_EQ(model.at("erase").count, 0u) << run.log;
  EXPECT_EQ(model.at("total").ns, 0u) << run.log;
}

TEST(TimeModel, IsOffUnlessAskedForAndRefusesBadSettings) {
  const RunResult off = probe({}, {"open", "fill", "60", "0"});
  ASSERT_EQ(off.status, 0) << off.err;
  EXPECT_TRUE(model_lines(off.log).empty()) << off.log;

  for (const auto& [name, value] : std::map<std::string, std::string>{
           {"SIMBOARD_MODEL_PAGE_NS", "fast"}, {"SIMBOARD_MODEL_PAGE_BYTES", "0"},
           {"SIMBOARD_MODEL_READ_BPS", "-1"}}) {
    const RunResult bad = probe({{name, value}}, {"open"});
    EXPECT_EQ(bad.status, 125) << name;
    EXPECT_EQ(bad.err, "simboard: bad value for " + name + ": \"" + value + "\"\n") << name;
  }
}

}  // namespace
}  // namespace duobl::testing
