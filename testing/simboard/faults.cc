// SPDX-License-Identifier: GPL-2.0-or-later
// Fault injection and power cuts: which operation on the device fails, which
// bytes read back wrong, and during which mutation the power goes. The
// device's rules (mtd.cc) ask here before they touch the chip.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>

#include "simboard/simboard.h"

namespace simboard {
namespace {

unsigned long& counter_for(OpKind kind) {
  switch (kind) {
    case OpKind::Read: return sim.counters.reads;
    case OpKind::Write: return sim.counters.writes;
    case OpKind::Erase: return sim.counters.erases;
    case OpKind::Seek: return sim.counters.seeks;
    case OpKind::Ioctl: return sim.counters.ioctls;
  }
  return sim.counters.reads;
}

}  // namespace

int count_and_check_fault(OpKind kind) {
  const unsigned long occurrence = ++counter_for(kind);
  for (int i = 0; i < sim.config.fault_count; ++i) {
    const FaultRule& rule = sim.config.faults[i];
    if (rule.kind == kind && rule.nth == occurrence) return rule.error;
  }
  return 0;
}

// splitmix64: small, and the same sequence for a seed on every host.
std::uint64_t next_random() {
  std::uint64_t z = (sim.rng_state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t random_below(std::uint64_t bound) {
  return bound == 0 ? 0 : next_random() % bound;
}

void lose_power(const char* what, std::int64_t offset, std::uint64_t length) {
  log_line("cut %lu %s %lld %llu %s", sim.counters.mutations, what,
           static_cast<long long>(offset), static_cast<unsigned long long>(length),
           cut_mode_name(sim.config.cut_mode));
  raise(SIGKILL);
  _exit(137);
}

bool next_mutation_is_cut() {
  const unsigned long mutation = ++sim.counters.mutations;
  if (sim.config.signal_at == mutation) {
    // A signal from the user's side, as it lands in the middle of a run:
    // the program's handler, if any, runs before the mutation goes ahead.
    log_line("signal %lu %s", mutation, sigabbrev_np(sim.config.signal_number));
    kill(getpid(), sim.config.signal_number);
  }
  if (sim.config.stall_at == mutation) {
    // A run that stops in the middle, so that another process can meet it.
    log_line("stall %lu %lu", mutation, sim.config.stall_ms);
    timespec pause{static_cast<time_t>(sim.config.stall_ms / 1000),
                   static_cast<long>(sim.config.stall_ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
  }
  return sim.config.cut != 0 && mutation == sim.config.cut;
}

void apply_flips(std::uint64_t offset, std::uint8_t* bytes, std::size_t length) {
  for (int i = 0; i < sim.config.flip_count; ++i) {
    const std::uint64_t at = sim.config.flip_offsets[i];
    if (at >= offset && at - offset < length) bytes[at - offset] ^= 1;
  }
}

}  // namespace simboard
