// SPDX-License-Identifier: GPL-2.0-or-later
// Naming what kind of boot stage a stretch of flash holds, by the texts such
// stages carry.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace duobl {

// The name that marks the scheme's own loader.
inline constexpr std::string_view kDuoblName = "duobl";
// The names of U-Boot's first stages and of a DRAM init blob.
inline constexpr std::string_view kUbootSplName = "U-Boot SPL";
inline constexpr std::string_view kUbootTplName = "U-Boot TPL";
inline constexpr std::string_view kDdrbinName = "ddrbin";

// Returns one of "levinboot", "U-Boot SPL", "U-Boot TPL", "duobl", "ddrbin"
// or "unknown" (constant texts, NUL-terminated). The earliest position at
// which a signature begins wins; signatures that begin in the last 64 bytes
// are not looked for, and a range of 64 bytes or fewer is "unknown" without
// being read.
std::string_view identify_content(std::span<const std::uint8_t> data);

}  // namespace duobl
