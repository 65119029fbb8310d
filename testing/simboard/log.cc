// SPDX-License-Identifier: GPL-2.0-or-later
// The operation log: one line per operation on the device, appended to the
// SIMBOARD_LOG file with a single write, so a process killed at a power cut
// leaves every line it logged before.
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "simboard/simboard.h"

namespace simboard {

void log_line(const char* format, ...) {
  if (sim.config.log[0] == '\0') return;
  const int saved_errno = errno;
  if (sim.log_fd < 0) {
    sim.log_fd = keep_private(real_openat(AT_FDCWD, sim.config.log,
                                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  }
  if (sim.log_fd >= 0) {
    char line[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length > 0) {
      std::size_t used = static_cast<std::size_t>(length);
      if (used > sizeof line - 2) used = sizeof line - 2;
      line[used++] = '\n';
      (void)real_write(sim.log_fd, line, used);
    }
  }
  errno = saved_errno;
}

ResultText result_text(long long result, int error) {
  ResultText out{};
  if (result >= 0) {
    std::snprintf(out.text, sizeof out.text, "%lld", result);
  } else {
    const char* name = strerrorname_np(error);
    if (name != nullptr) {
      std::snprintf(out.text, sizeof out.text, "-1 %s", name);
    } else {
      std::snprintf(out.text, sizeof out.text, "-1 %d", error);
    }
  }
  return out;
}

}  // namespace simboard
