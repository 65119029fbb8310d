// SPDX-License-Identifier: GPL-2.0-or-later
// Reading flattened device trees held in memory: whether a blob is a tree
// that can be read safely, and the root node's `compatible` list and
// `model`. No I/O here; every function takes the blob as a sized span and
// reads nothing outside it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace duobl {

inline constexpr std::size_t kMachineTypeBytes = 1024;  // 1023 characters and a NUL

using MachineType = std::array<char, kMachineTypeBytes>;

enum class TreeCheck {
  Sound,       // a tree libfdt accepts, inside the blob, walkable to its end
  NotATree,    // no tree header that libfdt accepts (or not 8-byte aligned)
  CutShort,    // a sound header that claims more bytes than the blob holds
  Unwalkable,  // a structure block whose walk would not end
};

// What `blob` holds at its start. The size the tree claims is compared with
// the bytes held before anything is read by it.
TreeCheck check_tree(std::span<const std::uint8_t> blob);

// The total size that the tree header at the start of `blob` claims (at
// least 8 bytes held).
std::uint32_t tree_claimed_bytes(std::span<const std::uint8_t> blob);

// Whether the tree at the start of `room` would have all its blocks inside
// `room` if it owned all of it: its header passes libfdt's checks both as it
// stands and with its total size set to room.size(). Only the header is
// read, and nothing is changed.
bool tree_fits(std::span<const std::uint8_t> room);

// Copies the first entry of the root `compatible` list of `tree` into `out`,
// cut to 1023 characters and NUL-terminated, and returns 0; returns 1 and
// leaves `out` unchanged when `tree` is not sound (check_tree), the root has
// no `compatible`, the list is empty or its first entry has no NUL inside
// it.
int read_machine_type(std::span<const std::uint8_t> tree, MachineType& out);

// True when some entry of the root `compatible` list of the sound `tree`
// equals `text` exactly.
bool root_compatible_contains(std::span<const std::uint8_t> tree, std::string_view text);

// The root `model` of the sound `tree` as NUL-terminated text inside it, or
// nullptr when it is missing, empty or not NUL-terminated inside the
// property.
const char* read_model(std::span<const std::uint8_t> tree);

}  // namespace duobl
