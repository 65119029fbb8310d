// SPDX-License-Identifier: GPL-2.0-or-later
// What the device's operations take, without the board ever sleeping. A
// slow chip (SIMBOARD_WRITE_TIME_US) moves the process's monotonic clock on
// by the time each write takes. The device-time model, which only the
// benchmark uses, charges each operation that reaches the chip the time a
// real chip would take for it, from datasheet figures given in
// SIMBOARD_MODEL_* variables, and logs the totals at exit; it only adds
// up, so a run takes as long as it would without it.
#include "simboard/simboard.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace simboard {
namespace {

struct TimeModel {
  bool enabled = false;  // any SIMBOARD_MODEL_* variable is set
  std::uint64_t page_bytes = 256;
  std::uint64_t page_ns = 0;        // programming a whole page
  std::uint64_t first_byte_ns = 0;  // a part of a page: its first byte,
  std::uint64_t next_byte_ns = 0;   // and each further byte, at most page_ns
  std::uint64_t erase_4k_ns = 0;
  std::uint64_t erase_64k_ns = 0;
  std::uint64_t read_bytes_per_s = 0;

  std::uint64_t programs = 0;  // page program commands
  std::uint64_t program_ns = 0;
  std::uint64_t erases = 0;  // erase commands (one per erase block)
  std::uint64_t erase_ns = 0;
  std::uint64_t read_bytes = 0;
};

TimeModel model;

std::uint64_t env_model(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  std::uint64_t number = 0;
  if (!parse_number(value, number)) bad_setting(name, value);
  model.enabled = true;
  return number;
}

}  // namespace

void take_write_time() {
  sim.clock_ahead_ns += static_cast<std::int64_t>(sim.config.write_time_us) * 1000;
}

void add_write_time(timespec& now) {
  if (sim.clock_ahead_ns == 0) return;
  const std::int64_t ns =
      static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec + sim.clock_ahead_ns;
  now.tv_sec = static_cast<time_t>(ns / 1000000000);
  now.tv_nsec = static_cast<long>(ns % 1000000000);
}

void load_time_model() {
  model.page_bytes = env_model("SIMBOARD_MODEL_PAGE_BYTES", model.page_bytes);
  if (model.page_bytes == 0)
    bad_setting("SIMBOARD_MODEL_PAGE_BYTES", std::getenv("SIMBOARD_MODEL_PAGE_BYTES"));
  model.page_ns = env_model("SIMBOARD_MODEL_PAGE_NS", 0);
  model.first_byte_ns = env_model("SIMBOARD_MODEL_FIRST_BYTE_NS", 0);
  model.next_byte_ns = env_model("SIMBOARD_MODEL_NEXT_BYTE_NS", 0);
  model.erase_4k_ns = env_model("SIMBOARD_MODEL_ERASE_4K_NS", 0);
  model.erase_64k_ns = env_model("SIMBOARD_MODEL_ERASE_64K_NS", 0);
  model.read_bytes_per_s = env_model("SIMBOARD_MODEL_READ_BPS", 0);
}

// The spi-nor driver splits a write at page boundaries and sends one page
// program command per piece. A whole page costs page_ns; a part of one costs
// the byte figures when they are given (capped at page_ns), else page_ns.
void charge_program(std::uint64_t offset, std::uint64_t length) {
  if (!model.enabled) return;
  const bool by_bytes = model.first_byte_ns != 0 || model.next_byte_ns != 0;
  while (length > 0) {
    const std::uint64_t room = model.page_bytes - offset % model.page_bytes;
    const std::uint64_t part = length < room ? length : room;
    std::uint64_t ns = model.page_ns;
    if (part < model.page_bytes && by_bytes) {
      const std::uint64_t scaled = model.first_byte_ns + model.next_byte_ns * (part - 1);
      if (model.page_ns == 0 || scaled < model.page_ns) ns = scaled;
    }
    ++model.programs;
    model.program_ns += ns;
    offset += part;
    length -= part;
  }
}

// One erase command per erase block: blocks of 64 KiB or a multiple cost
// 64 KiB block erases, smaller ones 4 KiB sector erases.
void charge_erase(std::uint64_t blocks, std::uint32_t erasesize) {
  if (!model.enabled) return;
  const std::uint64_t per_block = erasesize >= 65536 && erasesize % 65536 == 0
                                      ? erasesize / 65536 * model.erase_64k_ns
                                      : (erasesize + 4095) / 4096 * model.erase_4k_ns;
  model.erases += blocks;
  model.erase_ns += blocks * per_block;
}

void charge_read(std::uint64_t length) {
  if (model.enabled) model.read_bytes += length;
}

void report_time_model() {
  if (!model.enabled) return;
  // Whole seconds first, so that no product overflows for any real rate.
  const std::uint64_t rate = model.read_bytes_per_s;
  const std::uint64_t read_ns =
      rate == 0 ? 0
                : model.read_bytes / rate * 1000000000u + model.read_bytes % rate * 1000000000u / rate;
  log_line("model program %llu %llu", static_cast<unsigned long long>(model.programs),
           static_cast<unsigned long long>(model.program_ns));
  log_line("model erase %llu %llu", static_cast<unsigned long long>(model.erases),
           static_cast<unsigned long long>(model.erase_ns));
  log_line("model read %llu %llu", static_cast<unsigned long long>(model.read_bytes),
           static_cast<unsigned long long>(read_ns));
  log_line("model total %llu",
           static_cast<unsigned long long>(model.program_ns + model.erase_ns + read_ns));
}

}  // namespace simboard
