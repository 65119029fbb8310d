// SPDX-License-Identifier: GPL-2.0-or-later
// The hidden flash test: a run of its own, started by `--test COUNT`.
#pragma once

namespace duobl {

// Erases three erase blocks from offset 0, then writes COUNT zero bytes at 0
// under the label "test", and returns 0. It is for an erased chip: unless
// every byte of those blocks reads 0xFF it changes nothing and ends with
// status 1 and one "ERROR: " line. COUNT follows atoi's reading
// (leading blanks, a sign, digits; 0 without digits) and must lie from 0 to
// 262144, else the test ends with status 2 before the device is opened. A
// device that cannot be used ends it silently with status 1; one that
// another process holds ends it with status 1 and one "ERROR: " line.
int run_flash_test(const char* count_text);

}  // namespace duobl
