// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/progress.h"

namespace duobl {

void fail(int status, const char* format, ...) {
  // An operation may have its progress drawn on the terminal; the message
  // must start on a clean line.
  progress_clear();
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  std::exit(status);
}

void fail_silently(int status) {
  progress_clear();
  std::fflush(stdout);
  std::exit(status);
}

}  // namespace duobl
