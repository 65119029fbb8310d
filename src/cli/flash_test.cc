// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/flash_test.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/fatal.h"
#include "platform/flash.h"

namespace duobl {
namespace {

// The test writes from this many zero bytes at most.
constexpr long kFlashTestBytes = 262144;

// Never written, but not const: a zero-filled const array would be stored in
// the binary and mapped on every run; this one lives in .bss and costs
// nothing until the test reads it.
std::array<std::uint8_t, kFlashTestBytes> zeros;

// The test is for a chip with nothing on it: the blocks it erases hold the
// loader and the start of the fallback SPL area of the layout. It reads them
// first, and refuses unless every byte is erased.
void refuse_unless_erased(FlashDevice device, std::uint32_t length) {
  std::array<std::uint8_t, 4096> chunk;
  for (std::uint32_t done = 0; done < length;) {
    const std::span<std::uint8_t> part = std::span(chunk).first(std::min<std::size_t>(chunk.size(), length - done));
    flash_read(device, done, part);
    if (std::any_of(part.begin(), part.end(), [](std::uint8_t byte) { return byte != 0xFF; }))
      fail(1, "ERROR: The flash test would erase data in the first %u bytes of the chip: erase the "
              "chip first (--erase-all)\n", length);
    done += static_cast<std::uint32_t>(part.size());
  }
}

}  // namespace

int run_flash_test(const char* count_text) {
  // atoi's rules, but without its undefined result on overflow: anything
  // outside the test buffer is refused before the device is touched.
  char* end = nullptr;
  const long count = std::strtol(count_text, &end, 10);
  if (count < 0 || count > kFlashTestBytes)
    fail(2, "ERROR: --test count must be from 0 to %ld\n", kFlashTestBytes);

  ProbedFlash flash;
  if (!flash_open_usable(flash)) fail_silently(1);
  flash_lock(flash.device);
  const std::uint32_t erase_bytes = 3 * flash.info.erasesize;
  refuse_unless_erased(flash.device, erase_bytes);
  flash_erase(flash.device, 0, erase_bytes);
  flash_write(flash.device, "test", 0,
              std::span<const std::uint8_t>(zeros.data(), static_cast<std::size_t>(count)));
  return 0;
}

}  // namespace duobl
