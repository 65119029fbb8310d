// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace duobl {

void ensure_standard_streams() {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) std::_Exit(1);
  // The open took the lowest free descriptor: when that was 0, 1 or 2 it
  // already fills one gap, and the loop leaves it where it is.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fd == null_fd) continue;
    if (fcntl(fd, F_GETFL) == -1 && errno == EBADF && dup2(null_fd, fd) != fd) std::_Exit(1);
  }
  if (null_fd > STDERR_FILENO) close(null_fd);
}

}  // namespace duobl
