// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace duobl {
namespace {

// A held signal that lands between a failed device call and its message
// must leave errno as the call set it, even when its own note cannot be
// written (a hung-up terminal).
TEST(SignalsDeathTest, AHeldSignalKeepsTheErrnoOfAFailedCall) {
  EXPECT_EXIT(
      {
        hold_signals();
        dup2(open("/dev/null", O_RDONLY), STDOUT_FILENO);
        errno = EIO;
        raise(SIGHUP);
        std::fprintf(stderr, "%s\n", std::strerror(errno));
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "^Input/output error\n$");
}

}  // namespace
}  // namespace duobl
