// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/options.h"
#include "cli/run.h"

int main(int argc, char** argv) {
  const duobl::RunOptions options = duobl::parse_options(argc, argv);
  return duobl::run(options);
}
