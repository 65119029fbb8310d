// SPDX-License-Identifier: GPL-2.0-or-later
// The survey over an arbitrary flash image. The first input byte chooses the
// family (bit 0) and the probe offset at which the rest of the input is
// placed (bits 1 to 4); the chip is a memory file of zeros up to there, read
// through the same file descriptor calls as the MTD device.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_end.h"
#include "formats/soc.h"
#include "survey/survey.h"

namespace {

int chip_fd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The table goes nowhere; only what the survey does matters here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  chip_fd = memfd_create("chip", 0);
  if (chip_fd < 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto family = (data[0] & 1) != 0 ? duobl::SocFamily::Rk35xx : duobl::SocFamily::Rk3399;
  const duobl::ProbeOffsets probe = duobl::probe_offsets_for(family);
  const std::uint32_t placed_at = probe.offsets_bytes[((data[0] >> 1) & 15) % probe.count];
  const std::size_t image_bytes = size - 1;

  // A fresh chip of zeros, then the image at its place.
  if (ftruncate(chip_fd, 0) != 0 || ftruncate(chip_fd, static_cast<off_t>(placed_at + image_bytes)) != 0)
    std::abort();
  if (image_bytes > 0 &&
      pwrite(chip_fd, data + 1, image_bytes, placed_at) != static_cast<ssize_t>(image_bytes))
    std::abort();

  try {
    duobl::print_survey(duobl::survey_boot_images(
        duobl::FlashDevice{chip_fd}, static_cast<std::uint32_t>(placed_at + image_bytes), family, probe));
  } catch (const duobl::fuzz::RunEnded&) {
    // A failed device read ends a run; nothing else may.
  }
  return 0;
}
