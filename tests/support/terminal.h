// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for tests of what the tool shows on a terminal: a pseudo-terminal
// that stands in for standard output, and a model of the screen that applies
// carriage returns the way a terminal does.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace duobl::testing {

// The lines a terminal shows after receiving `raw`: a carriage return moves
// to the first column, later text overwrites earlier text, trailing blanks
// are dropped. Each finished line ends in "\n"; text left on the unfinished
// last line follows without one. Any other control character is kept as it
// is, so a test sees it.
inline std::string screen_text(std::string_view raw) {
  std::string screen;
  std::string line;
  std::size_t column = 0;
  const auto finish_line = [&] {
    const auto end = line.find_last_not_of(' ');
    screen.append(line, 0, end == std::string::npos ? 0 : end + 1);
  };
  for (const char c : raw) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      finish_line();
      screen += '\n';
      line.clear();
      column = 0;
    } else {
      if (column < line.size()) {
        line[column] = c;
      } else {
        line.resize(column, ' ');
        line += c;
      }
      ++column;
    }
  }
  finish_line();
  return screen;
}

// Reads what is waiting on a pseudo-terminal's master side, without
// blocking once nothing more is there.
inline std::string drain_terminal(int master) {
  std::string text;
  const int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  char buffer[4096];
  for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(got));
  fcntl(master, F_SETFL, flags);
  return text;
}

// Standard output redirected to a fresh pseudo-terminal while it lives.
struct TerminalCapture {
  int master = -1;
  int slave = -1;
  int saved = -1;
};

inline TerminalCapture begin_terminal_capture(unsigned short columns = 80) {
  TerminalCapture capture;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  if (openpty(&capture.master, &capture.slave, nullptr, nullptr, &size) != 0) return capture;
  std::fflush(stdout);
  capture.saved = dup(1);
  dup2(capture.slave, 1);
  return capture;
}

// Restores standard output and returns the bytes the terminal received.
inline std::string end_terminal_capture(TerminalCapture& capture) {
  if (capture.master < 0) return "(no pseudo-terminal)";
  std::fflush(stdout);
  dup2(capture.saved, 1);
  close(capture.saved);
  std::string text = drain_terminal(capture.master);
  close(capture.slave);
  close(capture.master);
  return text;
}

}  // namespace duobl::testing
