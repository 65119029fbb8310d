// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for in-process tests of functions that print on standard output
// or end the process.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace duobl::testing {

// Captures everything written to standard output while it lives.
struct StdoutCapture {
  int saved = -1;
  int file = -1;
};

inline StdoutCapture begin_capture() {
  std::fflush(stdout);
  StdoutCapture capture;
  capture.saved = dup(1);
  capture.file = memfd_create("stdout", 0);
  dup2(capture.file, 1);
  return capture;
}

inline std::string end_capture(StdoutCapture& capture) {
  std::fflush(stdout);
  dup2(capture.saved, 1);
  close(capture.saved);
  std::string text;
  char buffer[4096];
  lseek(capture.file, 0, SEEK_SET);
  for (ssize_t got; (got = read(capture.file, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(got));
  close(capture.file);
  return text;
}

// Death tests match standard error; the tool's errors go to standard output.
// Call this first inside EXPECT_EXIT so both streams are matched.
inline void stdout_to_stderr() {
  std::fflush(stdout);
  dup2(2, 1);
}

}  // namespace duobl::testing
