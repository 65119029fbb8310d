// SPDX-License-Identifier: GPL-2.0-or-later
#include "resilience/resilience_support.h"

#include <gtest/gtest.h>
#include <libfdt.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

#include "fixture/image_files.h"

namespace duobl::testing {
namespace {

LogOp parse_log_line(const char* text) {
  LogOp op;
  char kind[16] = {};
  unsigned long long a = 0;
  unsigned long long b = 0;
  long long result = 0;
  char word[16] = {};
  if (std::sscanf(text, "%15s", kind) != 1) return op;
  op.kind = kind;
  if (op.kind == "seek") {
    if (std::sscanf(text, "%*s %llu %15s %lld", &a, word, &result) == 3) {
      op.a = a;
      op.result = result;
    }
  } else if (op.kind == "read" || op.kind == "write" || op.kind == "erase") {
    if (std::sscanf(text, "%*s %llu %llu %lld", &a, &b, &result) == 3) {
      op.a = a;
      op.b = b;
      op.result = result;
    }
  }
  op.failed = op.kind != "cut" && op.kind != "max" && std::strstr(text, " -1 ") != nullptr;
  return op;
}

// The ITB offset that the SPL named by `header` (its second image) carries
// in its device tree, or nothing when it has no such tree.
std::optional<std::uint32_t> spl_payload_offset(const Bytes& flash,
                                                const RomHeader& header) {
  if (header.images.size() < 2 || !image_inside(header.images[1], flash.size())) return {};
  const RomImage& spl = header.images[1];
  const std::uint64_t end = spl.offset_bytes + spl.length_bytes;
  for (std::uint64_t at = (spl.offset_bytes + 7) / 8 * 8; at + 40 <= end; at += 8) {
    const std::uint8_t* p = flash.data() + at;
    if (p[0] != 0xd0 || p[1] != 0x0d || p[2] != 0xfe || p[3] != 0xed) continue;
    if (fdt_check_header(p) != 0 || fdt_totalsize(p) > flash.size() - at) continue;
    const auto property = read_payload_offset(p);
    if (property && property->length == 4) return property->first_cell;
  }
  return {};
}

}  // namespace

Board resilience_board(RomFamily family) {
  Board board;
  board.size_bytes = 4 * kMiB;
  if (family == RomFamily::Rk35xx) {
    board.compatible = {"radxa,rock-3a", "rockchip,rk3568"};
    board.model = "Radxa ROCK3 Model A";
  }
  return board;
}

const char* family_name(RomFamily family) {
  return family == RomFamily::Rk3399 ? "rk3399" : "rk3568";
}

Bytes make_bootable_generic_spl(RomFamily family, std::uint32_t seed) {
  Bytes image = header_area(family, 4, 4, 4);
  const Bytes first = make_signed_image(2048, "DDR Version", seed);
  const Bytes second = make_signed_image(2048, "levinboot/", seed + 1);
  image.insert(image.end(), first.begin(), first.end());
  image.insert(image.end(), second.begin(), second.end());
  return image;
}

std::vector<std::string> uboot_set_args(const Board& board, const std::string& tag,
                                        std::uint32_t seed) {
  SplTreeOptions tree;
  tree.compatible = board.compatible;
  tree.filler_bytes = 256;
  const SplImage spl = make_uboot_spl(tree, 2048, seed);
  return {"--uboot-tpl", write_temp_file(tag + "-tpl.bin", make_uboot_tpl(3000, seed + 1)),
          "--uboot-spl", write_temp_file(tag + "-spl.bin", spl.bytes),
          "--uboot-itb", write_temp_file(tag + "-itb.bin", make_itb(4000, seed + 2))};
}

std::vector<std::string> loader_args(RomFamily family, const std::string& tag,
                                     std::uint32_t seed) {
  const std::uint16_t sectors = family == RomFamily::Rk3399 ? 4 : 8;
  return {"--duobl",
          write_temp_file(tag + "-duobl.bin", make_bootable_loader(family, sectors, seed))};
}

const Bytes& start_flash(RomFamily family) {
  static std::map<RomFamily, Bytes> built;
  auto found = built.find(family);
  if (found != built.end()) return found->second;

  Board board = resilience_board(family);
  const std::string tag = std::string("start-") + family_name(family);
  std::vector<std::string> first = loader_args(family, tag, 100);
  const std::vector<std::string> fallback = uboot_set_args(board, tag + "-fallback", 110);
  first.insert(first.end(), fallback.begin(), fallback.end());
  first.push_back("--replace-fallback");
  RunResult result = run_tool(board, first, kRunLimitSeconds);
  EXPECT_EQ(result.status, 0) << result.out;
  board.flash = result.flash;
  result = run_tool(board, uboot_set_args(board, tag + "-primary", 120), kRunLimitSeconds);
  EXPECT_EQ(result.status, 0) << result.out;
  return built[family] = result.flash;
}

std::vector<LogOp> parse_log(const std::string& log) {
  std::vector<LogOp> ops;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    ops.push_back(parse_log_line(log.substr(start, end - start).c_str()));
    start = end + 1;
  }
  return ops;
}

LogOp last_log_op(const std::string& log) {
  if (log.empty()) return {};
  const std::size_t end = log.back() == '\n' ? log.size() - 1 : log.size();
  const std::size_t start = log.rfind('\n', end == 0 ? 0 : end - 1);
  const std::size_t from = start == std::string::npos ? 0 : start + 1;
  return parse_log_line(log.substr(from, end - from).c_str());
}

bool is_mutation(const LogOp& op) {
  return (op.kind == "write" || op.kind == "erase") && op.b > 0 && !op.failed;
}

std::vector<LogOp> mutations_of(const std::vector<LogOp>& ops) {
  std::vector<LogOp> out;
  for (const LogOp& op : ops)
    if (is_mutation(op)) out.push_back(op);
  return out;
}

Bytes flash_after(const Board& board, const std::vector<std::string>& args,
                  std::size_t count) {
  if (count == 0) return board.flash;
  Board after = board;
  after.env["SIMBOARD_CUT"] = std::to_string(count);
  after.env["SIMBOARD_CUT_MODE"] = "after";
  const RunResult result = run_tool(after, args, kRunLimitSeconds);
  EXPECT_EQ(result.status, kPowerCutStatus) << "no mutation " << count << "\n" << result.out;
  return result.flash;
}

std::vector<PrintedArea> printed_layout(const std::string& out) {
  std::vector<PrintedArea> areas;
  for (const char* name : {"duobl primary", "duobl backup", "spl fallback", "spl primary",
                           "itb fallback", "itb primary"}) {
    const std::size_t row = out.find(std::string("\n") + name + " ");
    if (row == std::string::npos) continue;
    PrintedArea area{name};
    std::istringstream words(out.substr(row + 1 + std::strlen(name)));
    words >> area.offset >> area.size;
    areas.push_back(area);
  }
  return areas;
}

ReferenceState reference_state(RomFamily family, std::string name, Bytes flash) {
  ReferenceState state{std::move(name), std::move(flash), {}};
  state.headers = rom_scan(family, state.flash);
  return state;
}

Verdict judge_flash(RomFamily family, const Bytes& flash,
                    const std::vector<ReferenceState>& references,
                    const std::vector<PrintedArea>& layout) {
  Verdict verdict;
  for (const RomHeader& header : rom_scan(family, flash)) {
    bool complete = false;
    for (const ReferenceState& reference : references) {
      const RomHeader* same = nullptr;
      for (const RomHeader& candidate : reference.headers)
        if (same_fields(candidate, header)) same = &candidate;
      if (same == nullptr) continue;
      bool images_match = true;
      for (const RomImage& image : header.images)
        images_match = images_match && same_bytes(flash, reference.flash, image);
      if (!images_match) continue;
      if (const auto itb = spl_payload_offset(reference.flash, header)) {
        const PrintedArea* area = nullptr;
        for (const PrintedArea& a : layout)
          if (a.offset == *itb) area = &a;
        if (area == nullptr || !same_bytes(flash, reference.flash, {area->offset, area->size}))
          continue;
      }
      complete = true;
      break;
    }
    if (complete) {
      verdict.complete_at.push_back(header.at);
    } else if (verdict.problem.empty()) {
      std::ostringstream text;
      text << "header at " << header.at << " (images";
      for (const RomImage& image : header.images)
        text << " [" << image.offset_bytes << ", +" << image.length_bytes << ")";
      text << ") names bytes that are neither wholly old nor wholly new";
      verdict.problem = text.str();
    }
  }
  if (verdict.problem.empty() && verdict.complete_at.empty())
    verdict.problem = "no complete bootable header";
  return verdict;
}

}  // namespace duobl::testing
