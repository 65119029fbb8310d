// SPDX-License-Identifier: GPL-2.0-or-later
// static-probe: a statically linked program, which LD_PRELOAD cannot reach,
// for the test that the fixture refuses to run a program the simulated
// board is not loaded into. `static-probe FILE` creates FILE, so the test
// sees whether it was started for real; with --help (what the fixture's
// preflight start passes) it does nothing.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2 || strcmp(argv[1], "--help") == 0) return 0;
  const int fd = open(argv[1], O_WRONLY | O_CREAT | O_EXCL, 0644);
  return fd < 0 ? 1 : 0;
}
