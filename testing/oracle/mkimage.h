// SPDX-License-Identifier: GPL-2.0-or-later
// U-Boot's mkimage (Debian's u-boot-tools) as a peer of the tool: the
// Rockchip boot images it makes of the same files are what the tests hold
// the tool's headers and the survey's reading against. Where mkimage is
// missing, the calling test skips with kNoMkimage.
#pragma once

#include <string>
#include <vector>

#include "oracle/boot_header_bytes.h"

namespace duobl::testing {

// Whether an executable mkimage is on PATH.
bool have_mkimage();

inline constexpr const char* kNoMkimage =
    "mkimage not found: install u-boot-tools to compare with U-Boot's own images";

struct MkimageResult {
  bool ok = false;     // mkimage exited with 0 and its image could be read
  Bytes image;
  std::string output;  // what mkimage printed, for the message of a failure
};

// Runs `mkimage -n SOC -T TYPE -d INPUT[:INPUT...] OUT` with OUT beside the
// first input, and returns OUT's bytes (OUT is removed again).
MkimageResult mkimage_rockchip(const std::string& soc, const std::string& type,
                               const std::vector<std::string>& inputs);

}  // namespace duobl::testing
