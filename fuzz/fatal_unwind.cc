// SPDX-License-Identifier: GPL-2.0-or-later
// The fuzz build's replacement of the tool's error exit: the message is
// still formatted in full (so bad format arguments show up under the
// sanitizers), then the error unwinds back to the fuzz target.
#include <cstdarg>
#include <cstdio>

#include "fuzz_end.h"
#include "platform/fatal.h"
#include "platform/progress.h"

namespace duobl {

void fail(int status, const char* format, ...) {
  progress_clear();
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw fuzz::RunEnded{status};
}

void fail_silently(int status) {
  progress_clear();
  throw fuzz::RunEnded{status};
}

}  // namespace duobl
