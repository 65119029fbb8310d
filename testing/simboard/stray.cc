// SPDX-License-Identifier: GPL-2.0-or-later
// Writes to the device that do not pass through the board. The C library's
// stdio writes with its internal write, which no LD_PRELOAD library can
// replace: when the device's descriptor becomes a stream's (a program
// started with standard output closed opens /dev/mtd0 as descriptor 1), its
// output would reach the image file directly, change the chip and leave no
// log line. So the program's descriptor for the device is opened on a file
// of its own, "<image>.stray", which the board never writes: every byte in
// it is a write to the device that the board did not see. The file is never
// truncated and is written in append mode, so its growth during a run counts
// that run's stray bytes, whoever else uses the image; whoever started the
// run compares its size before and after. The board itself looks at every
// call on the device while that is a standard descriptor, at its close and,
// after flushing stdio's buffers, at exit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "simboard/simboard.h"

namespace simboard {
namespace {

// A line on standard error, unless that is the device: the line would then
// be a stray write itself.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
  const Slot* err = find_slot(STDERR_FILENO);
  if (err != nullptr && err->node == Node::Flash) return;
  char text[kPathBytes + 160];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length <= 0) return;
  const std::size_t n = static_cast<std::size_t>(length) < sizeof text
                            ? static_cast<std::size_t>(length)
                            : sizeof text - 1;
  (void)real_write(STDERR_FILENO, text, n);
}

}  // namespace

int open_stray(int flags) {
  if (sim.stray_path[0] == '\0' &&
      std::snprintf(sim.stray_path, sizeof sim.stray_path, "%s.stray", sim.config.flash) >=
          static_cast<int>(sizeof sim.stray_path)) {
    sim.stray_path[0] = '\0';
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = real_openat(AT_FDCWD, sim.stray_path,
                             (flags & (O_ACCMODE | O_CLOEXEC)) | O_CREAT | O_APPEND, 0644);
  if (fd < 0) {
    const int error = errno;
    say("simboard: cannot open %s: %s\n", sim.stray_path, std::strerror(error));
    errno = error;
    return -1;
  }
  struct stat info{};
  if (sim.stray_seen < 0 && fstat(fd, &info) == 0) sim.stray_seen = info.st_size;
  return fd;
}

void check_stray_writes(int fd) {
  if (sim.stray_seen < 0) return;
  const int saved_errno = errno;
  struct stat info{};
  const int looked = fd >= 0 ? fstat(fd, &info) : stat(sim.stray_path, &info);
  if (looked == 0 && info.st_size > sim.stray_seen) {
    const long long gained = info.st_size - sim.stray_seen;
    sim.stray_seen = info.st_size;
    say("simboard: %lld bytes were written to /dev/mtd0 past the board (stdio's own write, "
        "say): they are in %s, not on the chip\n",
        gained, sim.stray_path);
  }
  errno = saved_errno;
}

}  // namespace simboard
