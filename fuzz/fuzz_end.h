// SPDX-License-Identifier: GPL-2.0-or-later
// In the fuzz build, the function that ends the process on an error throws
// this instead, so that a target can tell a refused input (the tool's own
// error path) from a crash and go on with the next input.
#pragma once

namespace duobl::fuzz {

struct RunEnded {
  int status = 0;
};

}  // namespace duobl::fuzz
