// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/machine.h"

#include <libfdt.h>

#include <cstdio>
#include <cstring>

#include "platform/fatal.h"
#include "platform/file.h"

namespace duobl {
namespace {

// Whether the structure block can be walked tag by tag to its end, each tag
// strictly after the one before. The library trusts the lengths it meets: a
// property whose length points the walk back at itself makes every later
// search loop for ever.
bool structure_walk_ends(const void* tree) {
  int offset = 0;
  for (;;) {
    int next = 0;
    const std::uint32_t tag = fdt_next_tag(tree, offset, &next);
    if (next < 0) return false;
    if (tag == FDT_END) return true;
    if (next <= offset) return false;
    offset = next;
  }
}

// The root node's `compatible` property, or an empty span when the root or
// the property is missing, or the tree cannot be walked safely.
std::span<const char> root_compatible(const void* tree) {
  if (fdt_check_header(tree) != 0 || !structure_walk_ends(tree)) return {};
  const int root = fdt_path_offset(tree, "/");
  if (root < 0) return {};
  int length = 0;
  const void* value = fdt_getprop(tree, root, "compatible", &length);
  if (value == nullptr || length <= 0) return {};
  return {static_cast<const char*>(value), static_cast<std::size_t>(length)};
}

// The SoC names that select a family, tested in this order. An RK3588S is
// an RK3588 die and an RK3399Pro carries an RK3399: same boot ROMs.
struct SocName {
  std::string_view compatible;
  SocFamily family;
};
constexpr SocName kSocNames[] = {
    {"rockchip,rk3399", SocFamily::Rk3399},
    {"rockchip,rk3566", SocFamily::Rk35xx},
    {"rockchip,rk3568", SocFamily::Rk35xx},
    {"rockchip,rk3588", SocFamily::Rk35xx},
    {"rockchip,rk3588s", SocFamily::Rk35xx},
    {"rockchip,rk3399pro", SocFamily::Rk3399},
};

// The root `model` as text, or nullptr when it is missing, empty or not
// NUL-terminated inside the property.
const char* read_model(const void* tree) {
  const int root = fdt_path_offset(tree, "/");
  if (root < 0) return nullptr;
  int length = 0;
  const void* value = fdt_getprop(tree, root, "model", &length);
  if (value == nullptr || length <= 0) return nullptr;
  const char* text = static_cast<const char*>(value);
  if (strnlen(text, static_cast<std::size_t>(length)) + 1 > static_cast<std::size_t>(length))
    return nullptr;
  return text;
}

}  // namespace

int read_machine_type(const void* tree, MachineType& out) {
  const std::span<const char> list = root_compatible(tree);
  if (list.empty()) return 1;
  const std::size_t first = strnlen(list.data(), list.size());
  if (first + 1 > list.size()) return 1;
  const std::size_t copied = first < out.size() - 1 ? first : out.size() - 1;
  std::memcpy(out.data(), list.data(), copied);
  out[copied] = '\0';
  return 0;
}

bool root_compatible_contains(const void* tree, std::string_view text) {
  std::span<const char> rest = root_compatible(tree);
  while (!rest.empty()) {
    const std::size_t length = strnlen(rest.data(), rest.size());
    if (length + 1 > rest.size()) return false;  // last entry not terminated
    if (std::string_view(rest.data(), length) == text) return true;
    rest = rest.subspan(length + 1);
  }
  return false;
}

Machine identify_machine(std::span<std::uint8_t, kMachineTreeBytes> tree) {
  const std::size_t loaded = load_file(kMachineTreePath, tree);

  // Nothing below reads past what the kernel gave us: a blob whose header is
  // unsound, or claims more bytes than were read, is no usable tree.
  if (fdt_check_header(tree.data()) != 0 || fdt_totalsize(tree.data()) > loaded)
    fail(2, "ERROR: Failed to determine machine type\n");

  Machine machine;
  if (read_machine_type(tree.data(), machine.type) != 0)
    fail(2, "ERROR: Failed to determine machine type\n");

  const SocName* found = nullptr;
  for (const SocName& name : kSocNames) {
    if (root_compatible_contains(tree.data(), name.compatible)) {
      found = &name;
      break;
    }
  }
  if (found == nullptr) fail(2, "ERROR: Unsupported machine %s\n", machine.type.data());

  machine.family = found->family;
  machine.probe = probe_offsets_for(machine.family);

  const char* model = read_model(tree.data());
  // "(null)" for a missing model is kept on purpose: scripts and users may
  // rely on the machine line as it has always read.
  std::printf("Machine: %s (%s)\n\n", model != nullptr ? model : "(null)", machine.type.data());
  return machine;
}

}  // namespace duobl
