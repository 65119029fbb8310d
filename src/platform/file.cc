// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fatal.h"

namespace duobl {

std::size_t load_file(const char* path, std::span<std::uint8_t> buffer) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(1, "ERROR: Failed to open %s (%s)\n", path, std::strerror(errno));

  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = read(fd, buffer.data() + filled, buffer.size() - filled);
    if (got < 0) {
      const int error = errno;
      close(fd);
      fail(1, "ERROR: Failed to read %s (%s)\n", path, std::strerror(error));
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }

  close(fd);
  // A file that fills the buffer may have more behind it: refuse it rather
  // than install a truncated image.
  if (filled == buffer.size())
    fail(1, "ERROR: File %s is too big for the buffer size %d\n", path,
         static_cast<int>(buffer.size()));
  return filled;
}

}  // namespace duobl
