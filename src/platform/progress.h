// SPDX-License-Identifier: GPL-2.0-or-later
// Progress of a long flash operation on an interactive terminal. When
// standard output is not a terminal these do nothing at all, so the output is
// exactly the tool's own lines.
//
// On a terminal the indicator lives on the empty line below the last line
// printed; it is redrawn in place with carriage returns and blanked out
// again before anything else is printed, so the lines left on the screen are
// the same as without it.
#pragma once

#include <cstdint>

namespace duobl {

enum class ProgressKind {
  Write,  // a write and its verification: a percentage once it takes long
  Erase,  // one request that reports nothing until it ends: a fixed note
};

// Starts tracking an operation of `total_bytes`. Call it only at the start
// of a line. A write shows a percentage once it has run longer than a
// moment; a large erase shows a fixed "erasing" note from the start.
void progress_begin(ProgressKind kind, std::uint64_t total_bytes);

// Reports that `done_bytes` of the operation are complete.
void progress_update(std::uint64_t done_bytes);

// Ends the operation; whatever was drawn is removed from the line, so the
// screen keeps only the tool's own lines.
void progress_end();

// Removes whatever is drawn and forgets the operation, for a process that
// ends in the middle of one: the error line that follows starts in the first
// column. Safe to call at any time.
void progress_clear();

// The clock that times the operations, in nanoseconds: CLOCK_MONOTONIC
// unless a test sets another; nullptr restores the monotonic one.
using ProgressClock = std::int64_t (*)();
void progress_set_clock(ProgressClock clock);

}  // namespace duobl
