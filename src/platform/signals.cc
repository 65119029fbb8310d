// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/signals.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace duobl {
namespace {

constexpr std::array<int, 3> kHeldSignals = {SIGINT, SIGTERM, SIGHUP};
constexpr char kHeldNote[] = "Signal received: finishing the changes to the flash, then stopping\n";

// What the process did with each signal before hold_signals, to put back.
std::array<struct sigaction, kHeldSignals.size()> saved_actions;
struct sigaction saved_pipe_action;

// The first held signal that arrived, or 0. Written only by the handler.
volatile std::sig_atomic_t held_signal = 0;
// On a terminal the note starts with a carriage return, so that it covers a
// progress indicator drawn on the current line instead of running on
// behind it.
bool note_covers_progress = false;

void hold(int signal_number) {
  if (held_signal != 0) return;
  held_signal = signal_number;
  // The signal may land between a failed device call and the message that
  // names its errno; a failing write here (a hung-up terminal) must not
  // change what that message says.
  const int saved_errno = errno;
  // write() is safe in a handler; stdio is not. Its result does not matter:
  // output errors are ignored until the changes end.
  if (note_covers_progress) (void)!write(STDOUT_FILENO, "\r", 1);
  (void)!write(STDOUT_FILENO, kHeldNote, sizeof kHeldNote - 1);
  errno = saved_errno;
}

}  // namespace

void hold_signals() {
  note_covers_progress = isatty(STDOUT_FILENO) == 1;
  struct sigaction action {};
  action.sa_handler = hold;
  // Interrupted device calls resume where they were instead of failing.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kHeldSignals) sigaddset(&action.sa_mask, signal_number);

  for (std::size_t i = 0; i < kHeldSignals.size(); ++i) {
    sigaction(kHeldSignals[i], nullptr, &saved_actions[i]);
    // nohup and the like ignore a signal on purpose; it stays ignored.
    if (saved_actions[i].sa_handler == SIG_IGN) continue;
    sigaction(kHeldSignals[i], &action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &saved_pipe_action);
  // What the report left in the buffer goes out ahead of the note that a
  // signal may print from now on.
  std::fflush(stdout);
}

void release_signals() {
  std::fflush(stdout);
  // Whatever could not be written stays unwritten: the changes are done.
  std::clearerr(stdout);
  for (std::size_t i = 0; i < kHeldSignals.size(); ++i)
    sigaction(kHeldSignals[i], &saved_actions[i], nullptr);
  sigaction(SIGPIPE, &saved_pipe_action, nullptr);

  const int signal_number = held_signal;
  if (signal_number == 0) return;
  // The signal was caught, so its action was the default one: ending the
  // process. Raise it again under that action.
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
  std::_Exit(128 + signal_number);
}

}  // namespace duobl
