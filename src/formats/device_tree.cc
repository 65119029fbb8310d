// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/device_tree.h"

#include <libfdt.h>

#include <algorithm>
#include <cstring>

namespace duobl {
namespace {

constexpr std::size_t kTreeAlignment = 8;

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

// Whether libfdt can look at a header here at all: aligned, and at least a
// header's worth of bytes.
bool header_readable(std::span<const std::uint8_t> blob) {
  return reinterpret_cast<std::uintptr_t>(blob.data()) % kTreeAlignment == 0 &&
         blob.size() >= sizeof(fdt_header);
}

// The root node's `compatible` property, or an empty span when the tree is
// not sound or the root or the property is missing.
std::span<const char> root_compatible(std::span<const std::uint8_t> tree) {
  if (check_tree(tree) != TreeCheck::Sound) return {};
  const int root = fdt_path_offset(tree.data(), "/");
  if (root < 0) return {};
  int length = 0;
  const void* value = fdt_getprop(tree.data(), root, "compatible", &length);
  if (value == nullptr || length <= 0) return {};
  return {static_cast<const char*>(value), static_cast<std::size_t>(length)};
}

}  // namespace

TreeCheck check_tree(std::span<const std::uint8_t> blob) {
  if (!header_readable(blob) || fdt_check_header(blob.data()) != 0) return TreeCheck::NotATree;
  if (fdt_totalsize(blob.data()) > blob.size()) return TreeCheck::CutShort;
  if (!structure_walk_ends(blob.data())) return TreeCheck::Unwalkable;
  return TreeCheck::Sound;
}

std::uint32_t tree_claimed_bytes(std::span<const std::uint8_t> blob) {
  // Big-endian, behind the magic.
  return static_cast<std::uint32_t>(blob[4]) << 24 | static_cast<std::uint32_t>(blob[5]) << 16 |
         static_cast<std::uint32_t>(blob[6]) << 8 | blob[7];
}

bool tree_fits(std::span<const std::uint8_t> room) {
  if (!header_readable(room) || room.size() > UINT32_MAX) return false;
  if (fdt_check_header(room.data()) != 0) return false;
  alignas(kTreeAlignment) std::array<std::uint8_t, sizeof(fdt_header)> header;
  std::copy_n(room.data(), header.size(), header.begin());
  fdt_set_totalsize(header.data(), static_cast<std::uint32_t>(room.size()));
  return fdt_check_header(header.data()) == 0;
}

int read_machine_type(std::span<const std::uint8_t> tree, MachineType& out) {
  const std::span<const char> list = root_compatible(tree);
  if (list.empty()) return 1;
  const std::size_t first = strnlen(list.data(), list.size());
  if (first + 1 > list.size()) return 1;
  const std::size_t copied = std::min(first, out.size() - 1);
  std::memcpy(out.data(), list.data(), copied);
  out[copied] = '\0';
  return 0;
}

bool root_compatible_contains(std::span<const std::uint8_t> tree, std::string_view text) {
  std::span<const char> rest = root_compatible(tree);
  while (!rest.empty()) {
    const std::size_t length = strnlen(rest.data(), rest.size());
    if (length + 1 > rest.size()) return false;  // last entry not terminated
    if (std::string_view(rest.data(), length) == text) return true;
    rest = rest.subspan(length + 1);
  }
  return false;
}

const char* read_model(std::span<const std::uint8_t> tree) {
  if (check_tree(tree) != TreeCheck::Sound) return nullptr;
  const int root = fdt_path_offset(tree.data(), "/");
  if (root < 0) return nullptr;
  int length = 0;
  const void* value = fdt_getprop(tree.data(), root, "model", &length);
  if (value == nullptr || length <= 0) return nullptr;
  const char* text = static_cast<const char*>(value);
  if (strnlen(text, static_cast<std::size_t>(length)) + 1 > static_cast<std::size_t>(length))
    return nullptr;
  return text;
}

}  // namespace duobl
