// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/spl_dtb.h"

#include <gtest/gtest.h>
#include <libfdt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "fixture/capture.h"
#include "fixture/images.h"
#include "fixture/install_support.h"

namespace duobl {
namespace {

using testing::append_tree;
using testing::Bytes;
using testing::kItbPrimaryOffset;
using testing::make_signed_image;
using testing::make_spl_tree;
using testing::make_uboot_spl;
using testing::read_payload_offset;
using testing::SplTreeOptions;

// The installer's SPL buffer: 1 MiB, 8-byte aligned, loaded from the start.
alignas(8) std::array<std::uint8_t, kSplBufferBytes> spl_buffer;

std::size_t load(const Bytes& image) {
  std::fill(spl_buffer.begin(), spl_buffer.end(), 0xAA);
  std::copy(image.begin(), image.end(), spl_buffer.begin());
  return image.size();
}

MachineType machine(const char* text) {
  MachineType type{};
  std::strncpy(type.data(), text, type.size() - 1);
  return type;
}

const MachineType kPinebookPro = machine("pine64,pinebook-pro");

template <typename Body>
void expect_error(Body body, const char* message) {
  EXPECT_EXIT(
      {
        testing::stdout_to_stderr();
        body();
      },
      ::testing::ExitedWithCode(1), message);
}

void* tree_at(std::uint32_t offset) { return spl_buffer.data() + offset; }

// A small tree (no filler) so that it can sit within the last 256 bytes.
SplTreeOptions small_tree() {
  SplTreeOptions tree_options;
  tree_options.filler_bytes = 0;
  return tree_options;
}

// Stores the ITB's offset in the tree at `offset` and returns the tree's packed size.
std::uint32_t patch(std::uint32_t offset) {
  const PatchedSpl patched = set_spl_payload_offset(spl_buffer, offset, kItbPrimaryOffset);
  EXPECT_EQ(patched.tree_offset, offset);
  return patched.spl_bytes - offset;
}

TEST(FindSplDtb, FindsTheTreeAndLeavesItAsTheFileHasIt) {
  const auto spl = make_uboot_spl();
  const std::size_t length = load(spl.bytes);
  const std::uint32_t offset = find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin");
  EXPECT_EQ(offset, spl.tree_offset);
  EXPECT_TRUE(std::equal(spl.bytes.begin(), spl.bytes.end(), spl_buffer.begin()));
}

TEST(FindSplDtb, SizeLimit) {
  Bytes image = make_signed_image(256, "U-Boot SPL", 5);
  append_tree(image, make_spl_tree(small_tree()));
  ASSERT_LE(image.size(), 2047u);
  image.resize(2048, 0x11);
  EXPECT_EQ(find_spl_dtb(spl_buffer, load(image), kPinebookPro, "spl.bin"), 256u);

  image.resize(2047);
  const std::size_t length = load(image);
  expect_error([&] { find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin"); },
               "^ERROR: SPL is too small\n$");
}

// The scan starts 256 bytes before the end of the file.
TEST(FindSplDtb, ScanStartsAtLengthMinus256) {
  const Bytes tree = make_spl_tree(small_tree());
  ASSERT_LE(tree.size(), 248u);
  Bytes image = make_signed_image(4096, "U-Boot SPL", 6);
  const std::size_t offset = append_tree(image, tree);

  image.resize(offset + 256, 0x22);
  EXPECT_EQ(find_spl_dtb(spl_buffer, load(image), kPinebookPro, "spl.bin"), offset);

  image.resize(offset + 248);
  const std::size_t length = load(image);
  expect_error([&] { find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin"); },
               "^ERROR: Failed to find U-Boot SPL DTB\n$");
}

TEST(FindSplDtb, UnalignedTreeIsNotFound) {
  for (std::size_t misalign : {1, 4, 7}) {
    SCOPED_TRACE(misalign);
    Bytes image = make_signed_image(4096, "U-Boot SPL", 7);
    append_tree(image, make_spl_tree({}), misalign);
    const std::size_t length = load(image);
    expect_error([&] { find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin"); },
                 "^ERROR: Failed to find U-Boot SPL DTB\n$");
  }
}

// Of two trees the later one is used, even when only the earlier one names
// this machine.
TEST(FindSplDtb, LaterTreeWins) {
  SplTreeOptions other;
  other.compatible = {"radxa,rock-pi-4", "rockchip,rk3399"};
  Bytes image = make_signed_image(4096, "U-Boot SPL", 8);
  append_tree(image, make_spl_tree({}));
  image.resize(image.size() + 100, 0x33);
  const std::size_t later = append_tree(image, make_spl_tree({}));
  EXPECT_EQ(find_spl_dtb(spl_buffer, load(image), kPinebookPro, "spl.bin"), later);

  Bytes mismatch = make_signed_image(4096, "U-Boot SPL", 8);
  append_tree(mismatch, make_spl_tree({}));
  append_tree(mismatch, make_spl_tree(other));
  const std::size_t length = load(mismatch);
  expect_error([&] { find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin"); },
               "^ERROR: Machine type doesn't match U-Boot DTB you're trying to flash\n$");
}

TEST(FindSplDtb, MachineTypeChecks) {
  struct {
    const char* name;
    std::vector<std::string> compatible;
    const char* message;
  } const cases[] = {
      {"another board",
       {"radxa,rock-pi-4", "rockchip,rk3399"},
       "^ERROR: Machine type doesn't match U-Boot DTB you're trying to flash\n$"},
      {"match only in second entry",
       {"rockchip,rk3399", "pine64,pinebook-pro"},
       "^ERROR: Machine type doesn't match U-Boot DTB you're trying to flash\n$"},
      {"no compatible", {}, "^ERROR: Failed to read machine tupe from U-Boot SPL DTB\n$"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SplTreeOptions tree_options;
    tree_options.compatible = c.compatible;
    const std::size_t length = load(make_uboot_spl(tree_options).bytes);
    expect_error([&] { find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin"); }, c.message);
  }
}

// A header whose blocks lie beyond the end of the buffer is skipped with its
// size field untouched, and the scan goes on to a lower tree.
TEST(FindSplDtb, SkipsTreeWithBlocksBeyondTheBuffer) {
  auto spl = make_uboot_spl();
  Bytes crafted = make_spl_tree({});
  fdt_set_totalsize(crafted.data(), 0x200000);
  fdt_set_off_dt_strings(crafted.data(), 0x180000);
  ASSERT_EQ(fdt_check_header(crafted.data()), 0);
  const std::size_t crafted_offset = append_tree(spl.bytes, crafted);

  EXPECT_EQ(find_spl_dtb(spl_buffer, load(spl.bytes), kPinebookPro, "spl.bin"), spl.tree_offset);
  EXPECT_EQ(fdt_totalsize(tree_at(static_cast<std::uint32_t>(crafted_offset))), 0x200000u);

  Bytes alone = make_signed_image(4096, "U-Boot SPL", 9);
  append_tree(alone, crafted);
  const std::size_t length = load(alone);
  expect_error([&] { find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin"); },
               "^ERROR: Failed to find U-Boot SPL DTB\n$");
}

TEST(SetSplPayloadOffset, StoresOneCell) {
  struct {
    const char* name;
    bool has_config;
    std::size_t old_bytes;
    std::uint32_t old_value;
  } const cases[] = {
      {"no /config", false, 0, 0},           {"no property", true, 0, 0},
      {"4-byte property", true, 4, 0x60000}, {"8-byte property", true, 8, 0x60000},
      {"same value", true, 4, kItbPrimaryOffset},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SplTreeOptions tree_options;
    tree_options.has_config = c.has_config;
    tree_options.payload_offset_bytes = c.old_bytes;
    tree_options.old_payload_offset = c.old_value;
    const std::size_t length = load(make_uboot_spl(tree_options).bytes);
    const std::uint32_t offset = find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin");
    const std::uint32_t packed = patch(offset);

    EXPECT_EQ(fdt_totalsize(tree_at(offset)), packed);
    const auto property = read_payload_offset(tree_at(offset));
    ASSERT_TRUE(property.has_value());
    EXPECT_EQ(property->length, 4);
    EXPECT_EQ(property->first_cell, kItbPrimaryOffset);

    // A created /config holds the new property only.
    const int config = fdt_path_offset(tree_at(offset), "/config");
    int properties = 0;
    for (int p = fdt_first_property_offset(tree_at(offset), config); p >= 0;
         p = fdt_next_property_offset(tree_at(offset), p))
      ++properties;
    EXPECT_EQ(properties, c.has_config ? 2 : 1);
  }
}

// Packing removes free space the tree carried in the file, and what followed
// the tree in the file is not counted.
TEST(SetSplPayloadOffset, PackedSizeDropsFreeSpaceAndTrailer) {
  SplTreeOptions tree_options;
  tree_options.payload_offset_bytes = 4;
  const Bytes plain = make_spl_tree(tree_options);
  tree_options.free_bytes = 4096;
  auto spl = make_uboot_spl(tree_options);
  spl.bytes.resize(spl.bytes.size() + 300, 0x44);
  const std::size_t length = load(spl.bytes);
  const std::uint32_t offset = find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin");
  EXPECT_EQ(patch(offset), plain.size());
}

// A tree that claims more bytes than the file holds from its start is
// refused before anything is read by its size: the SPL cut short, even by
// its last byte.
TEST(FindSplDtb, RefusesATreeThatRunsPastTheEndOfTheFile) {
  auto spl = make_uboot_spl();
  for (const std::size_t cut : {1, 300}) {
    SCOPED_TRACE(cut);
    const std::size_t length = load(Bytes(spl.bytes.begin(), spl.bytes.end() - static_cast<long>(cut)));
    const std::size_t offset = spl.tree_offset;
    const std::string message = "^ERROR: spl.bin is cut short: its device tree at " +
                                std::to_string(offset) + " claims " +
                                std::to_string(spl.bytes.size() - offset) +
                                " bytes, the file holds " + std::to_string(length - offset) + "\n$";
    expect_error([&] { find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin"); }, message.c_str());
  }
}

// A reservation block without its end entry cannot be packed safely: the
// tree keeps the rest of the buffer (which the installer's size limit
// refuses) and nothing before the tree is touched.
TEST(SetSplPayloadOffset, UnterminatedReservationBlockIsLeftUnpacked) {
  auto spl = make_uboot_spl();
  std::uint8_t* tree = spl.bytes.data() + spl.tree_offset;
  tree[fdt_off_mem_rsvmap(tree) + 8] = 1;  // size of the end entry
  const std::size_t length = load(spl.bytes);
  const std::uint32_t offset = find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin");
  ASSERT_LT(fdt_num_mem_rsv(tree_at(offset)), 0);
  EXPECT_EQ(patch(offset), kSplBufferBytes - offset);
  EXPECT_TRUE(std::equal(spl.bytes.begin(), spl.bytes.begin() + offset, spl_buffer.begin()));
}

TEST(SetSplPayloadOffset, TreeTheLibraryCannotEdit) {
  for (bool has_config : {true, false}) {
    SCOPED_TRACE(has_config);
    SplTreeOptions tree_options;
    tree_options.has_config = has_config;
    auto spl = make_uboot_spl(tree_options);
    // Version 16 trees are readable but not editable.
    fdt_set_version(spl.bytes.data() + spl.tree_offset, 16);
    const std::size_t length = load(spl.bytes);
    const std::uint32_t offset = find_spl_dtb(spl_buffer, length, kPinebookPro, "spl.bin");
    expect_error([&] { patch(offset); },
                 has_config ? "^ERROR: /config/u-boot,spl-payload-offset setprop failed\n"
                              "ERROR: Failed to set U-Boot SPI offset in DTB\n$"
                            : "^ERROR: /config node not found\n"
                              "ERROR: Failed to set U-Boot SPI offset in DTB\n$");
  }
}

}  // namespace
}  // namespace duobl
