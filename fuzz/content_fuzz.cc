// SPDX-License-Identifier: GPL-2.0-or-later
// Naming arbitrary bytes by their signatures: the result is always one of
// the six names, and the scan reads nothing outside the range (the input is
// copied to a buffer of exactly its size).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "formats/content.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::string_view name = duobl::identify_content(bytes);
  for (std::string_view known : {"levinboot", "U-Boot SPL", "U-Boot TPL", "duobl", "ddrbin", "unknown"})
    if (name == known) return 0;
  std::abort();
}
