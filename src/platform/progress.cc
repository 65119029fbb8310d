// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>

namespace duobl {
namespace {

// A write that ends sooner than this never shows anything: most of the
// tool's writes are small, and a flicker on every one would only distract.
constexpr std::int64_t kQuietNanoseconds = 500'000'000;
// The percentage is redrawn at most this often.
constexpr std::int64_t kRedrawNanoseconds = 100'000'000;
// The clock is read only after this much more of the operation is done, so
// a write made of 60-byte transfers does not pay for a clock read on each.
constexpr std::uint64_t kClockStrideBytes = 1024;
// Erases at least this large get the "erasing" note: a NOR chip takes a
// good part of a second or more for them.
constexpr std::uint64_t kEraseNoteBytes = 64 * 1024;

constexpr int kBarColumns = 30;
// "[" bar "] " percentage "%": the width of every percentage line.
constexpr int kPercentColumns = 1 + kBarColumns + 2 + 3 + 1;
constexpr char kEraseNote[] = "erasing...";
constexpr int kEraseNoteColumns = sizeof kEraseNote - 1;

struct Progress {
  bool active = false;                 // an operation is tracked on a terminal
  std::uint64_t total_bytes = 0;
  std::int64_t start_ns = 0;
  std::int64_t last_draw_ns = 0;
  std::uint64_t clock_read_at_bytes = 0;  // done_bytes at the last clock read
  int terminal_columns = 0;
  int drawn_columns = 0;               // columns of indicator now on the line
  int shown_percent = -1;
};

// The one record of what is tracked and drawn; only the functions below
// touch it.
Progress progress;

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

ProgressClock clock_ns = monotonic_ns;

int stdout_columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Draws `text` (`columns` wide) over the indicator, from the first column.
// Text that would reach the terminal's last column is not drawn: a wrapped
// line could not be taken back with a carriage return.
void draw(const char* text, int columns) {
  if (columns >= progress.terminal_columns) return;
  std::fputc('\r', stdout);
  std::fputs(text, stdout);
  std::fflush(stdout);
  if (columns > progress.drawn_columns) progress.drawn_columns = columns;
}

// Blanks out the indicator and leaves the cursor in the first column.
void clear_drawn() {
  if (progress.drawn_columns == 0) return;
  std::fputc('\r', stdout);
  for (int i = 0; i < progress.drawn_columns; ++i) std::fputc(' ', stdout);
  std::fputc('\r', stdout);
  std::fflush(stdout);
  progress.drawn_columns = 0;
}

void draw_percent(int percent) {
  std::array<char, kPercentColumns + 1> line{};
  const int filled = percent * kBarColumns / 100;
  line[0] = '[';
  for (int i = 0; i < kBarColumns; ++i) line[1 + i] = i < filled ? '#' : '.';
  std::snprintf(line.data() + 1 + kBarColumns, line.size() - 1 - kBarColumns, "] %3d%%", percent);
  draw(line.data(), kPercentColumns);
  progress.shown_percent = percent;
}

}  // namespace

void progress_begin(ProgressKind kind, std::uint64_t total_bytes) {
  progress_clear();
  if (isatty(STDOUT_FILENO) != 1) return;
  std::fflush(stdout);
  progress.active = true;
  progress.total_bytes = total_bytes;
  progress.start_ns = clock_ns();
  progress.terminal_columns = stdout_columns();
  if (kind == ProgressKind::Erase && total_bytes >= kEraseNoteBytes)
    draw(kEraseNote, kEraseNoteColumns);
}

void progress_update(std::uint64_t done_bytes) {
  if (!progress.active || progress.total_bytes == 0) return;
  if (done_bytes > progress.total_bytes) done_bytes = progress.total_bytes;
  if (done_bytes - progress.clock_read_at_bytes < kClockStrideBytes &&
      done_bytes != progress.total_bytes)
    return;
  progress.clock_read_at_bytes = done_bytes;

  const std::int64_t now = clock_ns();
  if (now - progress.start_ns < kQuietNanoseconds) return;
  if (progress.shown_percent >= 0 && now - progress.last_draw_ns < kRedrawNanoseconds) return;
  const auto percent = static_cast<int>(done_bytes * 100 / progress.total_bytes);
  if (percent == progress.shown_percent) return;
  progress.last_draw_ns = now;
  draw_percent(percent);
}

void progress_end() { progress_clear(); }

void progress_clear() {
  if (progress.active) clear_drawn();
  progress = Progress{};
}

void progress_set_clock(ProgressClock clock) { clock_ns = clock != nullptr ? clock : monotonic_ns; }

}  // namespace duobl
