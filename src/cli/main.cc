// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/options.h"
#include "cli/run.h"
#include "platform/streams.h"

int main(int argc, char** argv) {
  duobl::ensure_standard_streams();
  const duobl::RunOptions options = duobl::parse_options(argc, argv);
  return duobl::run(options);
}
