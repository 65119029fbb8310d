// SPDX-License-Identifier: GPL-2.0-or-later
// Proof that the library is loaded. Nothing in a program's output shows
// whether LD_PRELOAD reached it (a static build, a changed loader path, an
// emulator that drops the variable), and a program the board is not loaded
// into talks to the machine's real chip. So the library reports itself
// before anything else: it appends the path of the program it was loaded
// into, as /proc/self/exe names it, to the file that SIMBOARD_MARKER names.
// Whoever starts a program on the board checks that line before trusting
// the run. With SIMBOARD_PREFLIGHT naming the program, the process then
// ends with status 0 before main, so a preflight start proves the launch
// path without running any of the program; in any other program on the way
// (a wrapper that execs it) the library reports and lets it go on.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "simboard/simboard.h"

namespace simboard {

void report_loaded() {
  const char* marker = std::getenv("SIMBOARD_MARKER");
  const char* preflight = std::getenv("SIMBOARD_PREFLIGHT");
  if (marker == nullptr && preflight == nullptr) return;

  char line[PATH_MAX + 2];
  ssize_t length = readlink("/proc/self/exe", line, PATH_MAX);
  if (length < 0) length = 0;  // an empty line names no program
  line[length] = '\0';
  const bool is_preflight = preflight != nullptr && std::strcmp(preflight, line) == 0;

  if (marker != nullptr) {
    line[length++] = '\n';
    // Fail closed: a program whose report cannot be written must not run.
    const int fd = real_openat(AT_FDCWD, marker, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || real_write(fd, line, static_cast<std::size_t>(length)) != length) {
      std::fprintf(stderr, "simboard: cannot write the marker %s: %s\n", marker,
                   std::strerror(errno));
      _exit(125);
    }
    real_close(fd);
  }
  if (is_preflight) _exit(0);
}

}  // namespace simboard
