// SPDX-License-Identifier: GPL-2.0-or-later
// The command line: options, their checks, and the usage text.
#pragma once

#include <optional>
#include <string>

namespace duobl {

struct RunOptions {
  std::optional<std::string> duobl;
  std::optional<std::string> spl;
  std::optional<std::string> uboot_spl;
  std::optional<std::string> uboot_tpl;
  std::optional<std::string> uboot_itb;
  bool erase_all = false;
  bool replace_fallback = false;
  bool dry_run = false;
  bool uboot_requested = false;  // all three --uboot-* paths given
  // The hidden flash test's count, as given; when present nothing else of
  // the command line was looked at.
  std::optional<std::string> flash_test_count;
};

// Prints the usage text on standard output.
void print_usage();

// Parses argv with getopt_long semantics and checks the combinations. Ends
// the process with status 2 (usage text or one "ERROR: " line) on a usage
// error or a bad combination. `--test` ends the parsing where it stands: the
// count is recorded and the words after it, valid or not, are not looked at.
RunOptions parse_options(int argc, char** argv);

}  // namespace duobl
