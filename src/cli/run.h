// SPDX-License-Identifier: GPL-2.0-or-later
// The run sequence: identification, probe, report, then the requested
// changes in their fixed order; or the hidden flash test, a run of its own.
#pragma once

#include "cli/options.h"

namespace duobl {

// Runs every phase for `options`; returns the exit status of a run that
// reaches its end (0). Every error ends the process inside the phase.
int run(const RunOptions& options);

}  // namespace duobl
