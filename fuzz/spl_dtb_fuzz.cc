// SPDX-License-Identifier: GPL-2.0-or-later
// Finding, checking and patching the device tree of an arbitrary U-Boot SPL
// file. The first input byte chooses the running machine and the ITB offset
// to store; the rest is the SPL file. When the patch is accepted, the tree
// must read back with exactly the new offset.
#include <libfdt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_end.h"
#include "install/spl_dtb.h"
#include "formats/device_tree.h"

namespace {

alignas(8) std::array<std::uint8_t, duobl::kSplBufferBytes> spl_buffer;

constexpr const char* kMachines[] = {"pine64,pinebook-pro", "radxa,rock-3a", "rockchip,rk3588", ""};
constexpr std::uint32_t kItbOffsets[] = {913408, 3010560, 0, 0xFFFFFFFF};

std::uint32_t load_be32(const void* p) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size - 1 >= spl_buffer.size()) return 0;
  duobl::MachineType machine{};
  std::strncpy(machine.data(), kMachines[data[0] & 3], machine.size() - 1);
  const std::uint32_t itb_offset = kItbOffsets[(data[0] >> 2) & 3];
  const std::size_t spl_bytes = size - 1;

  // What lies behind the file in the buffer is whatever an earlier file
  // left; zero it so that every input is judged on its own.
  std::memcpy(spl_buffer.data(), data + 1, spl_bytes);
  std::memset(spl_buffer.data() + spl_bytes, 0, spl_buffer.size() - spl_bytes);

  try {
    const std::uint32_t tree_at = duobl::find_spl_dtb(spl_buffer, spl_bytes, machine, "spl.bin");
    if (tree_at % 8 != 0 || tree_at >= spl_buffer.size()) std::abort();
    void* tree = spl_buffer.data() + tree_at;
    const duobl::PatchedSpl patched = duobl::set_spl_payload_offset(spl_buffer, tree_at, itb_offset);
    if (patched.tree_offset != tree_at || patched.spl_bytes > spl_buffer.size()) std::abort();

    // The stored offset reads back as one cell.
    const int config = fdt_path_offset(tree, "/config");
    if (config < 0) std::abort();
    int length = 0;
    const void* value = fdt_getprop(tree, config, "u-boot,spl-payload-offset", &length);
    if (value == nullptr || length != 4 || load_be32(value) != itb_offset) std::abort();
  } catch (const duobl::fuzz::RunEnded&) {
    // A refused SPL.
  }
  return 0;
}
