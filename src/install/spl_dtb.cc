// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/spl_dtb.h"

#include <libfdt.h>

#include <algorithm>
#include <cstring>

#include "platform/fatal.h"

namespace duobl {
namespace {

constexpr std::size_t kSplMinBytes = 2048;
// The scan starts this far before the end of the loaded image.
constexpr std::size_t kScanStartBeforeEnd = 256;

[[noreturn]] void fail_to_set(const char* reason) {
  fail(1, "ERROR: %s\nERROR: Failed to set U-Boot SPI offset in DTB\n", reason);
}

}  // namespace

bool find_appended_tree(std::span<const std::uint8_t> image, std::size_t image_length,
                        std::uint32_t& tree_offset) {
  const std::size_t length = std::min(image_length, image.size());
  if (length < kScanStartBeforeEnd) return false;
  // Every candidate lies at least 256 bytes before the end of the loaded
  // data, so the header that is read (40 bytes) stays inside it.
  for (std::size_t offset = length - kScanStartBeforeEnd;; --offset) {
    if (tree_fits(image.subspan(offset))) {
      tree_offset = static_cast<std::uint32_t>(offset);
      return true;
    }
    if (offset == 0) return false;
  }
}

std::uint32_t find_spl_dtb(std::span<const std::uint8_t, kSplBufferBytes> spl, std::size_t spl_length,
                           const MachineType& machine_type, const char* path) {
  if (spl_length < kSplMinBytes) fail(1, "ERROR: SPL is too small\n");
  std::uint32_t offset = 0;
  if (!find_appended_tree(spl, spl_length, offset))
    fail(1, "ERROR: Failed to find U-Boot SPL DTB\n");
  // A tree cut short would be read, and installed, with whatever the buffer
  // holds behind the file.
  const std::span<const std::uint8_t> tree = spl.subspan(offset, spl_length - offset);
  if (tree_claimed_bytes(tree) > tree.size())
    fail(1, "ERROR: %s is cut short: its device tree at %u claims %u bytes, the file holds %zu\n",
         path, offset, tree_claimed_bytes(tree), tree.size());

  MachineType spl_machine{};
  if (read_machine_type(tree, spl_machine) != 0)
    // "tupe" is kept on purpose: scripts and users may match this text.
    fail(1, "ERROR: Failed to read machine tupe from U-Boot SPL DTB\n");
  if (std::strncmp(spl_machine.data(), machine_type.data(), kMachineTypeBytes) != 0)
    fail(1, "ERROR: Machine type doesn't match U-Boot DTB you're trying to flash\n");
  return offset;
}

PatchedSpl set_spl_payload_offset(std::span<std::uint8_t, kSplBufferBytes> spl,
                                  std::uint32_t tree_offset, std::uint32_t itb_offset) {
  void* tree = spl.data() + tree_offset;
  fdt_set_totalsize(tree, static_cast<std::uint32_t>(kSplBufferBytes - tree_offset));

  const int root = fdt_path_offset(tree, "/");
  if (root < 0) fail_to_set("Root node not found");

  int config = fdt_path_offset(tree, "/config");
  if (config == -FDT_ERR_NOTFOUND) config = fdt_add_subnode(tree, root, "config");
  if (config < 0) fail_to_set("/config node not found");

  if (fdt_setprop_u32(tree, config, "u-boot,spl-payload-offset", itb_offset) != 0)
    fail_to_set("/config/u-boot,spl-payload-offset setprop failed");

  // Packing sizes the memory reservation block by walking it to its end
  // entry; a block without one would make the library move a negative
  // length, and one whose entries run on into the structure block would be
  // moved over the nodes. Such a tree is left unpacked: it then keeps the
  // whole rest of the buffer and the installer's size limit refuses it.
  const int reservations = fdt_num_mem_rsv(tree);
  if (reservations >= 0 &&
      std::uint64_t{fdt_off_mem_rsvmap(tree)} +
              (std::uint64_t{static_cast<std::uint32_t>(reservations)} + 1) *
                  sizeof(fdt_reserve_entry) <=
          fdt_off_dt_struct(tree))
    fdt_pack(tree);
  // The tree never claims more than the rest of the buffer; should it, the
  // SPL is cut to the buffer, which the installer's size limit refuses.
  return {tree_offset, static_cast<std::uint32_t>(std::min<std::size_t>(
                           std::size_t{tree_offset} + fdt_totalsize(tree), kSplBufferBytes))};
}

}  // namespace duobl
