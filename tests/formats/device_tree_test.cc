// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/device_tree.h"

#include <gtest/gtest.h>
#include <libfdt.h>

#include <string>

#include "fixture/board.h"

namespace duobl {
namespace {

using duobl::testing::make_machine_tree;

std::string machine_type_of(const testing::Bytes& tree) {
  MachineType type{};
  type.fill('x');
  if (read_machine_type(tree, type) != 0) return "<none>";
  return type.data();
}

TEST(ReadMachineType, TakesTheFirstCompatibleEntry) {
  const auto tree = make_machine_tree({"pine64,pinebook-pro", "pine64,rk3399", "rockchip,rk3399"}, "PBP");
  EXPECT_EQ(machine_type_of(tree), "pine64,pinebook-pro");
}

TEST(ReadMachineType, CutsLongEntriesTo1023Characters) {
  const std::string long_name(1500, 'a');
  const auto tree = make_machine_tree({long_name, "rockchip,rk3588"}, std::nullopt);
  EXPECT_EQ(machine_type_of(tree), std::string(1023, 'a'));
  const auto exact = make_machine_tree({std::string(1023, 'b')}, std::nullopt);
  EXPECT_EQ(machine_type_of(exact), std::string(1023, 'b'));
}

TEST(ReadMachineType, RefusesTreesWithoutAUsableFirstEntry) {
  // Not a tree at all.
  testing::Bytes junk(256, 0xab);
  EXPECT_EQ(machine_type_of(junk), "<none>");

  // An empty `compatible`, and one whose only entry lacks its NUL: built by
  // hand with libfdt's sequential writer so the raw bytes are exact.
  for (const std::string& raw : {std::string(), std::string("rockchip,rk3399")}) {
    testing::Bytes tree(4096);
    ASSERT_EQ(fdt_create(tree.data(), static_cast<int>(tree.size())), 0);
    ASSERT_EQ(fdt_finish_reservemap(tree.data()), 0);
    ASSERT_EQ(fdt_begin_node(tree.data(), ""), 0);
    ASSERT_EQ(fdt_property(tree.data(), "compatible", raw.data(), static_cast<int>(raw.size())), 0);
    ASSERT_EQ(fdt_end_node(tree.data()), 0);
    ASSERT_EQ(fdt_finish(tree.data()), 0);
    EXPECT_EQ(machine_type_of(tree), "<none>") << "raw length " << raw.size();
    EXPECT_FALSE(root_compatible_contains(tree, "rockchip,rk3399"));
  }

  const auto no_compatible = make_machine_tree({}, "Board");
  EXPECT_EQ(machine_type_of(no_compatible), "<none>");
}

TEST(RootCompatibleContains, MatchesWholeEntriesAnywhereInTheList) {
  const auto tree = make_machine_tree({"vendor,board", "rockchip,rk3568", "rockchip,rk3399"}, "B");
  EXPECT_TRUE(root_compatible_contains(tree, "vendor,board"));
  EXPECT_TRUE(root_compatible_contains(tree, "rockchip,rk3568"));
  EXPECT_TRUE(root_compatible_contains(tree, "rockchip,rk3399"));
  EXPECT_FALSE(root_compatible_contains(tree, "rockchip,rk35"));
  EXPECT_FALSE(root_compatible_contains(tree, "rockchip,rk3399-pro"));
  EXPECT_FALSE(root_compatible_contains(tree, ""));

  const auto longer = make_machine_tree({"rockchip,rk3399-pro"}, "B");
  EXPECT_FALSE(root_compatible_contains(longer, "rockchip,rk3399"));
}

}  // namespace
}  // namespace duobl
