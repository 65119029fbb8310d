// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/options.h"

#include <getopt.h>

#include <cstdio>

#include "platform/fatal.h"

namespace duobl {
namespace {

// Option codes; only the dispatch on them matters.
enum OptionCode : int {
  kOptUbootSpl = 1000,
  kOptUbootItb = 1002,
  kOptSpl = 1003,
  kOptDuobl = 1004,
  kOptReplaceFallback = 1005,
  kOptUbootTpl = 1006,
  kOptDryRun = 1007,
  kOptEraseAll = 1008,
  kOptTest = 1010,
};

// The compiler counts the entries; the last one ends the table for
// getopt_long.
constexpr option kLongOptions[] = {
    {"uboot-spl", required_argument, nullptr, kOptUbootSpl},
    {"uboot-tpl", required_argument, nullptr, kOptUbootTpl},
    {"uboot-itb", required_argument, nullptr, kOptUbootItb},
    {"spl", required_argument, nullptr, kOptSpl},
    {"duobl", required_argument, nullptr, kOptDuobl},
    {"erase-all", no_argument, nullptr, kOptEraseAll},
    {"replace-fallback", no_argument, nullptr, kOptReplaceFallback},
    {"dry-run", no_argument, nullptr, kOptDryRun},
    {"test", required_argument, nullptr, kOptTest},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Kept on purpose, word for word: the synopsis names --uboot-spl-dtb (no
// such option) and leaves out --uboot-tpl and --erase-all, and the version
// reads "1,0". Stored scripts and users may rely on this text.
constexpr const char* kUsageText =
    "Usage: duobl-spi-flasher [--duobl <path>] [--dry-run] [--replace-fallback] [--spl <path>]\n"
    "                         [--uboot-spl <path> --uboot-spl-dtb <path> --uboot-itb <path>]\n"
    "\n"
    "Flasher options:\n"
    "  --duobl <path>          Path to duobl binary if you wish to update duobl itself\n"
    "\n"
    "  --uboot-tpl <path>      Path to U-Boot's TPL u-boot-tpl.bin file\n"
    "  --uboot-spl <path>      Path to U-Boot's SPL u-boot-spl.bin file\n"
    "  --uboot-itb <path>      Path to U-Boot's u-boot.itb\n"
    "\n"
    "  --spl <path>            Path to any other generic bootloader image loadable\n"
    "                          by BROM. (eg. levinboot-emmc.img file)\n"
    "                          (Beware that duobl fixes RK3399 BROM SPI loader bug, so)\n"
    "                           you must use a regular SD card image!)\n"
    "\n"
    "  --erase-all             Erase the entire flash chip, first\n"
    "  --replace-fallback      Use this option to replace fallback bootloader\n"
    "  --dry-run               Don't perform modifications, just show the SPI flash layout\n"
    "\n"
    "Misc options:\n"
    "  -h, --help             This help.\n"
    "\n"
    "duobl SPI flashing tool 1,0\n"
    "Written by the duobl-spi-flasher developers.\n"
    "\n"
    "This program is free software under the GNU GPL version 2 or later\n"
    "(GPL-2.0-or-later), and comes with NO WARRANTY.\n"
    "It uses libfdt, the flattened device tree library, dual-licensed under\n"
    "GPL-2.0-or-later and BSD-2-Clause, and the GNU C Library, licensed under\n"
    "the GNU LGPL version 2.1 or later (LGPL-2.1-or-later).\n";

[[noreturn]] void usage_error() {
  print_usage();
  fail_silently(2);
}

}  // namespace

void print_usage() { std::fputs(kUsageText, stdout); }

RunOptions parse_options(int argc, char** argv) {
  RunOptions options;
  optind = 0;  // full re-initialisation, so parsing can run more than once
  for (;;) {
    const int code = getopt_long(argc, argv, "h", kLongOptions, nullptr);
    if (code == -1) break;
    switch (code) {
      case kOptUbootSpl: options.uboot_spl = optarg; break;
      case kOptUbootTpl: options.uboot_tpl = optarg; break;
      case kOptUbootItb: options.uboot_itb = optarg; break;
      case kOptSpl: options.spl = optarg; break;
      case kOptDuobl: options.duobl = optarg; break;
      case kOptEraseAll: options.erase_all = true; break;
      case kOptReplaceFallback: options.replace_fallback = true; break;
      case kOptDryRun: options.dry_run = true; break;
      case kOptTest:
        // The flash test is a run of its own: nothing after it is looked
        // at, and none of the checks below apply to it.
        options.flash_test_count = optarg;
        return options;
      default: usage_error();
    }
  }

  if (optind != argc) usage_error();

  const int uboot_paths = options.uboot_spl.has_value() + options.uboot_tpl.has_value() +
                          options.uboot_itb.has_value();
  if (options.spl && uboot_paths > 0)
    fail(2, "ERROR: --spl option can only be used without --uboot-* options\n");
  if (uboot_paths == 1 || uboot_paths == 2)
    fail(2, "ERROR: All --uboot-* options need to be provided at once. Not just one or two.\n");
  options.uboot_requested = uboot_paths == 3;
  return options;
}

}  // namespace duobl
