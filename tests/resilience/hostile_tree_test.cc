// SPDX-License-Identifier: GPL-2.0-or-later
// Device trees that the fuzz targets turned up: each passes the header
// checks and still used to hang the tool or make it write a damaged SPL.
// Whole runs, under the time limit, on the simulated board.
#include <gtest/gtest.h>
#include <libfdt.h>

#include <cstring>
#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/images.h"
#include "fixture/resilience_support.h"

namespace duobl::testing {
namespace {

constexpr std::uint32_t kFdtProp = 3;

void put_be32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// A packed tree whose root holds a property "zeros" of `zero_bytes` zero
// bytes first, then `compatible`, then an empty /config node.
Bytes tree_with_leading_property(const std::vector<std::string>& compatible,
                                 std::size_t zero_bytes) {
  Bytes tree(4096);
  void* fdt = tree.data();
  fdt_create(fdt, static_cast<int>(tree.size()));
  fdt_finish_reservemap(fdt);
  fdt_begin_node(fdt, "");
  const Bytes zeros(zero_bytes, 0);
  fdt_property(fdt, "zeros", zeros.data(), static_cast<int>(zeros.size()));
  std::string list;
  for (const std::string& entry : compatible) list.append(entry).push_back('\0');
  fdt_property(fdt, "compatible", list.data(), static_cast<int>(list.size()));
  fdt_begin_node(fdt, "config");
  fdt_end_node(fdt);
  fdt_end_node(fdt);
  fdt_finish(fdt);
  fdt_pack(fdt);
  tree.resize(fdt_totalsize(fdt));
  return tree;
}

// The first property of the structure block claims a length of -12: the
// library's walk to the next property lands on the same one again.
Bytes tree_that_walks_in_a_circle(const std::vector<std::string>& compatible) {
  Bytes tree = tree_with_leading_property(compatible, 8);
  const std::uint32_t structure = fdt_off_dt_struct(tree.data());
  for (std::uint32_t at = structure; at + 8 <= tree.size(); at += 4) {
    if (tree[at] == 0 && tree[at + 1] == 0 && tree[at + 2] == 0 && tree[at + 3] == kFdtProp) {
      put_be32(tree, at + 4, 0xFFFFFFF4);
      break;
    }
  }
  return tree;
}

// The reservation block's end entry made non-empty, so that its walk runs on
// into the structure block and ends inside the leading property's zeros:
// packing would move the structure block over the strings.
Bytes tree_whose_reservations_overlap(const std::vector<std::string>& compatible) {
  Bytes tree = tree_with_leading_property(compatible, 32);
  tree[fdt_off_mem_rsvmap(tree.data()) + 15] = 1;
  return tree;
}

Bytes spl_with_tree(const Bytes& tree) {
  Bytes spl = make_signed_image(4096, "U-Boot SPL", 4);
  append_tree(spl, tree);
  spl.resize(spl.size() + 512, 0);  // the scan starts 256 bytes before the end
  return spl;
}

TEST(HostileTree, MachineTreeThatWalksInACircle) {
  Board board = resilience_board(RomFamily::Rk3399);
  board.machine_tree = tree_that_walks_in_a_circle(board.compatible);
  const RunResult result = run_tool(board, {"--dry-run"}, 10);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "ERROR: Failed to determine machine type\n");
}

TEST(HostileTree, SplTreesAreRefusedBeforeAnyWrite) {
  Board board = resilience_board(RomFamily::Rk3399);
  board.flash = start_flash(RomFamily::Rk3399);
  const struct {
    const char* name;
    Bytes tree;
    const char* message;
  } cases[] = {
      {"walks in a circle", tree_that_walks_in_a_circle(board.compatible),
       "ERROR: Failed to read machine tupe from U-Boot SPL DTB\n"},
      {"reservations overlap the nodes", tree_whose_reservations_overlap(board.compatible),
       "ERROR: SPL+DTB is too big\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> args = {
        "--uboot-tpl", write_temp_file("hostile-tpl.bin", make_uboot_tpl(3000)),
        "--uboot-spl", write_temp_file("hostile-spl.bin", spl_with_tree(c.tree)),
        "--uboot-itb", write_temp_file("hostile-itb.bin", make_itb(4000))};
    const RunResult result = run_tool(board, args, 10);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 1);
    ASSERT_GE(result.out.size(), std::strlen(c.message));
    EXPECT_EQ(result.out.substr(result.out.size() - std::strlen(c.message)), c.message);
    EXPECT_TRUE(result.flash == board.flash);
  }
}

}  // namespace
}  // namespace duobl::testing
