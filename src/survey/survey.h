// SPDX-License-Identifier: GPL-2.0-or-later
// The table of bootable images that the boot ROM would find in the flash.
#pragma once

#include "survey/scan.h"

namespace duobl {

// Prints the heading, one row per header of `rows` with its notes, and a
// closing empty line.
void print_survey(const SurveyRows& rows);

}  // namespace duobl
