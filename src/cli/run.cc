// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/run.h"

#include <unistd.h>

#include <array>
#include <optional>

#include "cli/flash_test.h"
#include "install/layout.h"
#include "install/loader.h"
#include "install/uboot.h"
#include "platform/flash.h"
#include "platform/machine.h"
#include "platform/signals.h"
#include "survey/scan.h"
#include "survey/survey.h"

namespace duobl {
namespace {

// The kernel's device tree, read once; identification decides everything
// the later phases need from it.
alignas(8) std::array<std::uint8_t, kMachineTreeBytes> machine_tree;
// What the survey found, kept for the checks before the changes.
SurveyRows survey_rows;

bool changes_requested(const RunOptions& options) {
  return !options.dry_run &&
         (options.erase_all || options.duobl || options.spl || options.uboot_requested);
}

}  // namespace

int run(const RunOptions& options) {
  if (options.flash_test_count) return run_flash_test(options.flash_test_count->c_str());

  const Machine machine = identify_machine(machine_tree);
  const ProbedFlash flash =
      flash_probe(changes_requested(options) ? FlashUse::Change : FlashUse::Report);
  const FlashLayout layout = compute_layout(machine.probe, flash.info.size, flash.info.erasesize,
                                            options.replace_fallback);
  survey_rows = survey_boot_images(flash.device, flash.info.size, machine.family, machine.probe);
  print_survey(survey_rows);
  print_layout(layout);

  if (options.dry_run) return 0;

  // Every image is loaded and every check that can refuse one is made before
  // the first change: a refused run leaves the chip as it found it. The
  // loads with their size and tree checks come first, in the order of the
  // installs; then the checks of what each file is.
  refuse_loaderless_install(machine.family, loader_found(survey_rows), options.erase_all,
                            options.duobl.has_value(),
                            options.spl.has_value() || options.uboot_requested);
  std::optional<LoadedImage> loader;
  if (options.duobl) loader = load_loader(options.duobl->c_str());
  std::optional<LoadedImage> generic_spl;
  if (options.spl) generic_spl = load_generic_spl(options.spl->c_str());
  std::optional<UbootSet> uboot;
  if (options.uboot_requested)
    uboot = prepare_uboot_set(layout, machine.type,
                              {options.uboot_tpl->c_str(), options.uboot_spl->c_str(),
                               options.uboot_itb->c_str()});
  refuse_partial_erase_blocks(layout, flash.info.size, flash.info.erasesize,
                              {options.erase_all, loader.has_value(),
                               generic_spl.has_value() || uboot.has_value(), uboot.has_value()});
  if (loader) check_loader(machine.family, *loader);
  if (generic_spl) check_generic_spl(machine.family, *generic_spl);
  if (uboot) check_uboot_set(machine.type, *uboot);

  // From the first change to the last, the user's side cannot end the run:
  // an update left half done is no result anyone asked for.
  if (changes_requested(options)) hold_signals();
  if (options.erase_all) flash_erase(flash.device, 0, flash.info.size);
  if (loader) install_loader(flash.device, machine.family, *loader);
  if (generic_spl)
    install_generic_spl(flash.device, *generic_spl, layout.spl_target, options.replace_fallback);
  if (uboot) install_uboot_set(flash.device, layout, machine.family, *uboot);

  close(flash.device.fd);
  if (changes_requested(options)) release_signals();
  return 0;
}

}  // namespace duobl
