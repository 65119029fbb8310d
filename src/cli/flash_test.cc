// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/flash_test.h"

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
  flash_erase(flash.device, 0, 3 * flash.info.erasesize);
  flash_write(flash.device, "test", 0,
              std::span<const std::uint8_t>(zeros.data(), static_cast<std::size_t>(count)));
  return 0;
}

}  // namespace duobl
