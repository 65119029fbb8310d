// SPDX-License-Identifier: GPL-2.0-or-later
// Keeping a run of changes to the flash from being cut short by the user's
// side: a Ctrl-C, a `kill` or `systemctl stop`, a hang-up of the terminal or
// SSH session, or standard output going away. The order of writes keeps the
// board bootable whenever a run stops, but an update left half done (the
// primary copy zeroed, the fallback booting) is no result anyone asked for.
#pragma once

namespace duobl {

// From now on SIGINT, SIGTERM and SIGHUP no longer end the process: the
// first one that arrives prints one line at once and is kept for later.
// Output errors are ignored (SIGPIPE too), so a closed terminal or pipe
// cannot end the run either. A signal that was ignored when the process
// started stays ignored. Call it right before the first change.
void hold_signals();

// Right after the last change: flushes standard output while output errors
// are still ignored, puts the signals back as they were, and when one of
// them arrived in between, ends the process by that signal, as it would
// have ended without hold_signals.
void release_signals();

}  // namespace duobl
