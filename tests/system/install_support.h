// SPDX-License-Identifier: GPL-2.0-or-later
// Shared checks for whole runs that change the flash: the part of the
// transcript after the report, and comparisons of flash ranges.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "fixture/board.h"

namespace duobl::testing {

// 16 MiB chip with 4 KiB erase blocks, as the worked layout gives it.
inline constexpr std::uint32_t kSplFallbackOffset = 131072;
inline constexpr std::uint32_t kSplFallbackBytes = 393216;
inline constexpr std::uint32_t kSplPrimaryOffset = 524288;
inline constexpr std::uint32_t kSplPrimaryBytes = 389120;
inline constexpr std::uint32_t kItbFallbackOffset = 913408;
inline constexpr std::uint32_t kItbFallbackBytes = 2097152;
inline constexpr std::uint32_t kItbPrimaryOffset = 3010560;
inline constexpr std::uint32_t kItbPrimaryBytes = 2097152;

// One line of output, formatted as the tool formats it, with its newline.
__attribute__((format(printf, 1, 2))) inline std::string line(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return std::string(text) + "\n";
}

// Everything the run printed after the layout table: the lines of the
// changes. Empty when the table is missing.
inline std::string changes_printed(const std::string& out) {
  const std::size_t row = out.find("\nitb primary ");
  if (row == std::string::npos) return "";
  const std::size_t end = out.find("\n\n", row + 1);
  return end == std::string::npos ? "" : out.substr(end + 2);
}

// A chip that holds a recognisable non-erased byte everywhere, so that
// every erase and every stray write shows.
inline Board patterned_board(Board board = {}) {
  board.flash.assign(board.size_bytes, 0x5A);
  return board;
}

inline Bytes range(const Bytes& flash, std::size_t offset, std::size_t length) {
  return Bytes(flash.begin() + offset, flash.begin() + offset + length);
}

inline ::testing::AssertionResult all_bytes(const Bytes& flash, std::size_t offset,
                                            std::size_t length, std::uint8_t value) {
  const auto begin = flash.begin() + offset;
  const auto bad = std::find_if(begin, begin + length, [&](std::uint8_t b) { return b != value; });
  if (bad == begin + length) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "byte at " << (bad - flash.begin()) << " is " << int{*bad} << ", not " << int{value};
}

struct ByteRange {
  std::size_t offset = 0;
  std::size_t length = 0;
};

// The flash equals `before` outside the given ranges.
inline ::testing::AssertionResult unchanged_outside(const Bytes& flash, const Bytes& before,
                                                    std::initializer_list<ByteRange> changed) {
  if (flash.size() != before.size()) return ::testing::AssertionFailure() << "flash size changed";
  for (std::size_t i = 0; i < flash.size(); ++i) {
    const bool inside = std::any_of(changed.begin(), changed.end(), [&](const ByteRange& r) {
      return i >= r.offset && i - r.offset < r.length;
    });
    if (!inside && flash[i] != before[i])
      return ::testing::AssertionFailure() << "byte at " << i << " changed";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace duobl::testing
