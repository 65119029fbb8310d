// SPDX-License-Identifier: GPL-2.0-or-later
// What the parts of the simulated board (libsimboard.so) share: reading its
// settings, its log, and the device-time model that only the benchmark
// turns on (testing/README.md). Nothing here is exported from the library.
#pragma once

#include <cstdint>

#pragma GCC visibility push(hidden)

namespace simboard {

// Ends the process with status 125 for a malformed SIMBOARD_* setting.
[[noreturn]] void bad_setting(const char* name, const char* value);

// Parses a whole unsigned number in any base that strtoull accepts.
bool parse_number(const char* text, std::uint64_t& out);

// Appends one line to the board's log, when there is one.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads the SIMBOARD_MODEL_* variables; the model is on when any is set.
void load_time_model();

// Charges a program of `length` bytes at `offset`, an erase of `blocks`
// blocks of `erasesize` bytes, and `length` bytes read.
void charge_program(std::uint64_t offset, std::uint64_t length);
void charge_erase(std::uint64_t blocks, std::uint32_t erasesize);
void charge_read(std::uint64_t length);

// Logs the totals, at exit, when the model is on.
void report_time_model();

}  // namespace simboard

#pragma GCC visibility pop
