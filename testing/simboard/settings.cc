// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the board's SIMBOARD_* variables, once, when the library is
// loaded. A malformed value ends the process before main with status 125,
// so a test never runs on a board other than the one it described.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "simboard/simboard.h"

namespace simboard {
namespace {

constexpr CutMode kCutModes[] = {CutMode::Clean, CutMode::Torn, CutMode::Worst, CutMode::After};

void copy_path(const char* name, PathText& out) {
  const char* value = std::getenv(name);
  if (value == nullptr) return;
  if (std::strlen(value) >= kPathBytes) bad_setting(name, value);
  std::strcpy(out, value);
}

std::uint32_t env_u32(const char* name, std::uint32_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  std::uint64_t number = 0;
  if (!parse_number(value, number) || number > UINT32_MAX) bad_setting(name, value);
  return static_cast<std::uint32_t>(number);
}

unsigned long env_count(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  std::uint64_t number = 0;
  if (!parse_number(value, number) || number == 0 || number > ULONG_MAX) bad_setting(name, value);
  return static_cast<unsigned long>(number);
}

// An errno value given as a number or as its symbolic name ("EIO").
bool parse_errno(const char* text, int& out) {
  std::uint64_t number = 0;
  if (parse_number(text, number)) {
    if (number == 0 || number > 4095) return false;
    out = static_cast<int>(number);
    return true;
  }
  for (int e = 1; e < 4096; ++e) {
    const char* name = strerrorname_np(e);
    if (name != nullptr && std::strcmp(name, text) == 0) {
      out = e;
      return true;
    }
  }
  return false;
}

bool parse_kind(const char* text, OpKind& out) {
  static constexpr struct {
    const char* name;
    OpKind kind;
  } kKinds[] = {{"read", OpKind::Read},
                {"write", OpKind::Write},
                {"erase", OpKind::Erase},
                {"seek", OpKind::Seek},
                {"ioctl", OpKind::Ioctl}};
  for (const auto& k : kKinds) {
    if (std::strcmp(k.name, text) == 0) {
      out = k.kind;
      return true;
    }
  }
  return false;
}

// SIMBOARD_FAIL="kind:N:ERRNO[,kind:N:ERRNO...]"
void parse_faults(Config& config) {
  const char* value = std::getenv("SIMBOARD_FAIL");
  if (value == nullptr || *value == '\0') return;
  char text[512];
  if (std::strlen(value) >= sizeof text) bad_setting("SIMBOARD_FAIL", value);
  std::strcpy(text, value);
  char* save = nullptr;
  for (char* rule = strtok_r(text, ",", &save); rule != nullptr;
       rule = strtok_r(nullptr, ",", &save)) {
    char* kind = rule;
    char* nth = std::strchr(kind, ':');
    if (nth == nullptr) bad_setting("SIMBOARD_FAIL", value);
    *nth++ = '\0';
    char* error = std::strchr(nth, ':');
    if (error == nullptr) bad_setting("SIMBOARD_FAIL", value);
    *error++ = '\0';
    if (config.fault_count == kMaxFaults) bad_setting("SIMBOARD_FAIL", value);
    FaultRule& out = config.faults[config.fault_count];
    std::uint64_t count = 0;
    if (!parse_kind(kind, out.kind) || !parse_number(nth, count) || count == 0 ||
        count > ULONG_MAX || !parse_errno(error, out.error)) {
      bad_setting("SIMBOARD_FAIL", value);
    }
    out.nth = static_cast<unsigned long>(count);
    ++config.fault_count;
  }
}

// SIMBOARD_FLIP="offset[,offset...]"
void parse_flips(Config& config) {
  const char* value = std::getenv("SIMBOARD_FLIP");
  if (value == nullptr || *value == '\0') return;
  char text[256];
  if (std::strlen(value) >= sizeof text) bad_setting("SIMBOARD_FLIP", value);
  std::strcpy(text, value);
  char* save = nullptr;
  for (char* item = strtok_r(text, ",", &save); item != nullptr;
       item = strtok_r(nullptr, ",", &save)) {
    if (config.flip_count == kMaxFlips ||
        !parse_number(item, config.flip_offsets[config.flip_count])) {
      bad_setting("SIMBOARD_FLIP", value);
    }
    ++config.flip_count;
  }
}

// A signal given as a number or as its name, with or without "SIG".
bool parse_signal(const char* text, int& out) {
  std::uint64_t number = 0;
  if (parse_number(text, number)) {
    if (number == 0 || number >= NSIG) return false;
    out = static_cast<int>(number);
    return true;
  }
  if (std::strncmp(text, "SIG", 3) == 0) text += 3;
  for (int n = 1; n < NSIG; ++n) {
    const char* name = sigabbrev_np(n);
    if (name != nullptr && std::strcmp(name, text) == 0) {
      out = n;
      return true;
    }
  }
  return false;
}

// NAME="N:VALUE": a mutation count and what happens before that mutation.
// Returns the count, 0 when NAME is unset; `parse_value` reads VALUE.
template <typename Parse>
unsigned long parse_at_mutation(const char* name, const Parse& parse_value) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return 0;
  char text[64];
  if (std::strlen(value) >= sizeof text) bad_setting(name, value);
  std::strcpy(text, value);
  char* rest = std::strchr(text, ':');
  if (rest == nullptr) bad_setting(name, value);
  *rest++ = '\0';
  std::uint64_t nth = 0;
  if (!parse_number(text, nth) || nth == 0 || nth > ULONG_MAX || !parse_value(rest))
    bad_setting(name, value);
  return static_cast<unsigned long>(nth);
}

}  // namespace

void bad_setting(const char* name, const char* value) {
  std::fprintf(stderr, "simboard: bad value for %s: \"%s\"\n", name, value);
  _exit(125);
}

bool parse_number(const char* text, std::uint64_t& out) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  out = value;
  return true;
}

void load_config(Config& config) {
  copy_path("SIMBOARD_FLASH", config.flash);
  copy_path("SIMBOARD_FDT", config.tree);
  copy_path("SIMBOARD_MANUFACTURER", config.manufacturer);
  copy_path("SIMBOARD_PARTNAME", config.partname);
  copy_path("SIMBOARD_JEDEC_ID", config.jedec_id);
  copy_path("SIMBOARD_LOG", config.log);
  config.erasesize_bytes = env_u32("SIMBOARD_ERASESIZE", config.erasesize_bytes);
  config.writesize_bytes = env_u32("SIMBOARD_WRITESIZE", config.writesize_bytes);
  config.type = env_u32("SIMBOARD_TYPE", config.type);
  config.flags = env_u32("SIMBOARD_FLAGS", config.flags);
  parse_faults(config);
  config.short_write = env_count("SIMBOARD_SHORT_WRITE");
  parse_flips(config);
  config.cut = env_count("SIMBOARD_CUT");
  if (const char* mode = std::getenv("SIMBOARD_CUT_MODE"); mode != nullptr) {
    bool known = false;
    for (const CutMode m : kCutModes) {
      if (std::strcmp(mode, cut_mode_name(m)) == 0) {
        config.cut_mode = m;
        known = true;
      }
    }
    if (!known) bad_setting("SIMBOARD_CUT_MODE", mode);
  }
  if (const char* seed = std::getenv("SIMBOARD_SEED"); seed != nullptr) {
    if (!parse_number(seed, config.seed)) bad_setting("SIMBOARD_SEED", seed);
  }
  config.corrupt_read = env_count("SIMBOARD_CORRUPT_READ");
  config.write_time_us = env_count("SIMBOARD_WRITE_TIME_US");
  config.seek_astray = env_count("SIMBOARD_SEEK_ASTRAY");
  config.signal_at = parse_at_mutation("SIMBOARD_SIGNAL", [&](const char* text) {
    return parse_signal(text, config.signal_number);
  });
  config.stall_at = parse_at_mutation("SIMBOARD_STALL", [&](const char* text) {
    std::uint64_t ms = 0;
    if (!parse_number(text, ms) || ms > 600000) return false;
    config.stall_ms = static_cast<unsigned long>(ms);
    return true;
  });
}

}  // namespace simboard
