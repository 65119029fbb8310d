// SPDX-License-Identifier: GPL-2.0-or-later
// The RC4 stream cipher, usable both at compile time and at run time. It
// turns the RK3399 boot header into the form the boot ROM expects; being a
// keystream XOR it is its own inverse, and the output at any position depends
// only on the key and the input byte at that position.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace duobl {

// XORs `data` in place with the RC4 keystream of `key` (1 to 256 bytes). The
// state is rebuilt from the key on every call and no keystream is discarded,
// so equal inputs always give equal outputs.
constexpr void rc4_apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
  std::array<std::uint8_t, 256> state{};
  for (std::size_t i = 0; i < state.size(); ++i)
    state[i] = static_cast<std::uint8_t>(i);

  std::uint8_t j = 0;
  for (std::size_t i = 0; i < state.size(); ++i) {
    j = static_cast<std::uint8_t>(j + state[i] + key[i % key.size()]);
    std::uint8_t t = state[i];
    state[i] = state[j];
    state[j] = t;
  }

  std::uint8_t x = 0;
  std::uint8_t y = 0;
  for (std::uint8_t& byte : data) {
    x = static_cast<std::uint8_t>(x + 1);
    y = static_cast<std::uint8_t>(y + state[x]);
    std::uint8_t t = state[x];
    state[x] = state[y];
    state[y] = t;
    byte = static_cast<std::uint8_t>(byte ^ state[static_cast<std::uint8_t>(state[x] + state[y])]);
  }
}

}  // namespace duobl
