// SPDX-License-Identifier: GPL-2.0-or-later
// Ending the process on an error. Every error of the tool is one line on
// standard output that begins with "ERROR: "; the function that meets the
// error prints it and ends the process, so no error value travels back to the
// driver.
#pragma once

namespace duobl {

// Prints the formatted text on standard output exactly as given (the caller
// supplies the "ERROR: " prefix and the newline), flushes it and ends the
// process with `status`.
[[noreturn]] void fail(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Ends the process with `status` without printing anything (an unusable flash
// device ends a run silently).
[[noreturn]] void fail_silently(int status);

}  // namespace duobl
