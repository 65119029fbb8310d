// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/spl_dtb.h"

#include <libfdt.h>

#include <algorithm>
#include <cstring>

#include "platform/fatal.h"

namespace duobl {
namespace {

constexpr std::size_t kSplMinBytes = 2048;
// The scan starts this far before the end of the loaded SPL.
constexpr std::size_t kScanStartBeforeEnd = 256;
constexpr std::size_t kTreeAlignment = 8;

// Whether a tree starts at `offset` of the SPL buffer and, once it owns every
// byte from there to the end of the buffer, still has all its blocks inside
// the buffer. On success the tree's total size is that room; otherwise the
// bytes are left as they were.
bool adopt_tree_at(std::span<std::uint8_t, kSplBufferBytes> spl, std::size_t offset) {
  std::uint8_t* candidate = spl.data() + offset;
  // libfdt refuses unaligned trees as well; checking here keeps the scan
  // independent of the library version.
  if (reinterpret_cast<std::uintptr_t>(candidate) % kTreeAlignment != 0) return false;
  if (fdt_check_header(candidate) != 0) return false;

  const std::uint32_t claimed_bytes = fdt_totalsize(candidate);
  fdt_set_totalsize(candidate, static_cast<std::uint32_t>(kSplBufferBytes - offset));
  if (fdt_check_header(candidate) == 0) return true;
  // Its blocks reach beyond the buffer: not a tree this tool can edit.
  fdt_set_totalsize(candidate, claimed_bytes);
  return false;
}

[[noreturn]] void fail_to_set(const char* reason) {
  fail(1, "ERROR: %s\nERROR: Failed to set U-Boot SPI offset in DTB\n", reason);
}

}  // namespace

std::uint32_t find_spl_dtb(std::span<std::uint8_t, kSplBufferBytes> spl, std::size_t spl_length,
                           const MachineType& machine_type) {
  if (spl_length < kSplMinBytes) fail(1, "ERROR: SPL is too small\n");
  // load_file keeps the length below the buffer size. Every candidate lies at
  // least 256 bytes before the end of the loaded data, so the header that
  // fdt_check_header reads (at most 40 bytes) stays inside the buffer.
  const std::size_t length = std::min(spl_length, kSplBufferBytes);

  // Backwards, byte by byte, down to offset 0: the highest tree wins.
  std::size_t offset = length - kScanStartBeforeEnd;
  for (;;) {
    if (adopt_tree_at(spl, offset)) break;
    if (offset == 0) fail(1, "ERROR: Failed to find U-Boot SPL DTB\n");
    --offset;
  }
  const void* tree = spl.data() + offset;

  MachineType spl_machine{};
  if (read_machine_type(tree, spl_machine) != 0)
    // "tupe" is kept on purpose: scripts and users may match this text.
    fail(1, "ERROR: Failed to read machine tupe from U-Boot SPL DTB\n");
  if (std::strncmp(spl_machine.data(), machine_type.data(), kMachineTypeBytes) != 0)
    fail(1, "ERROR: Machine type doesn't match U-Boot DTB you're trying to flash\n");
  return static_cast<std::uint32_t>(offset);
}

std::uint32_t set_spl_payload_offset(void* tree, std::uint32_t itb_offset) {
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
  return fdt_totalsize(tree);
}

}  // namespace duobl
