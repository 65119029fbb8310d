// SPDX-License-Identifier: GPL-2.0-or-later
// What the power-cut campaign and the fault matrix share: the boards and
// images of the install scenarios, the flash every scenario starts from, the
// board's operation log taken apart, the flash after exactly N mutations,
// and the judgement of a flash state by the boot ROM model.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fixture/board.h"
#include "fixture/images.h"
#include "oracle/boot_rom_model.h"

namespace duobl::testing {

// Status of a process the board has killed at a power cut (SIGKILL).
inline constexpr int kPowerCutStatus = 128 + 9;
// A run on a 4 MiB chip takes a fraction of a second; this only catches
// hangs.
inline constexpr int kRunLimitSeconds = 30;

// The smallest chip the tool accepts keeps every run cheap.
Board resilience_board(RomFamily family);

const char* family_name(RomFamily family);

// Calls `job(i)` for every i below `count`, two at a time: a run spends much
// of its time waiting for the process, so two keep both cores busy. `job`
// must not use GoogleTest assertions.
template <typename Job>
void for_each_in_parallel(std::size_t count, const Job& job) {
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t i = next++; i < count; i = next++) job(i);
  };
  std::thread helper(worker);
  worker();
  helper.join();
}

// --- Images that carry their own boot header -------------------------------

// A generic boot-ROM-loadable image of 6144 bytes: a header and two images
// of 2 KiB each.
Bytes make_bootable_generic_spl(RomFamily family, std::uint32_t seed);

// Writes a U-Boot TPL, SPL (with a tree for the board) and ITB under `tag`
// and returns the tool's options for them.
std::vector<std::string> uboot_set_args(const Board& board, const std::string& tag,
                                        std::uint32_t seed);

// The option and file of a 6144-byte loader, as small as the tool accepts:
// on RK3399 the header, 2 KiB of padding and 4 sectors of code; on RK35xx
// the header and 8 sectors of code.
std::vector<std::string> loader_args(RomFamily family, const std::string& tag,
                                     std::uint32_t seed);

// The flash every scenario starts from: a complete loader at 0, a complete
// U-Boot set in the fallback areas and another in the primary areas, all
// installed by the tool itself on an erased chip. Built once per family.
const Bytes& start_flash(RomFamily family);

// --- The board's log ----------------------------------------------------------

struct LogOp {
  std::string kind;  // open, getinfo, seek, read, write, erase, close, cut, max, ioctl
  std::uint64_t a = 0;  // seek: offset; read/write: position; erase: start
  std::uint64_t b = 0;  // read/write: bytes asked; erase: length
  long long result = 0;
  bool failed = false;  // the call returned -1
};

std::vector<LogOp> parse_log(const std::string& log);

// The last line of the log, taken apart.
LogOp last_log_op(const std::string& log);

// A write or erase that reached the chip (the board's own definition).
bool is_mutation(const LogOp& op);

std::vector<LogOp> mutations_of(const std::vector<LogOp>& ops);

// The flash after exactly the first `count` mutations of the run of `args`
// on `board`, taken from the board itself (a power cut right after the
// mutation).
Bytes flash_after(const Board& board, const std::vector<std::string>& args,
                  std::size_t count);

// --- The layout the tool printed ---------------------------------------------

struct PrintedArea {
  std::string name;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

std::vector<PrintedArea> printed_layout(const std::string& out);

// --- Judging a flash state ------------------------------------------------------

// A flash state in which every header is complete: the flash before the
// run, after it, and after each mutation that completed an area.
struct ReferenceState {
  std::string name;
  Bytes flash;
  std::vector<RomHeader> headers;
};

ReferenceState reference_state(RomFamily family, std::string name, Bytes flash);

struct Verdict {
  std::vector<std::uint32_t> complete_at;  // where the complete headers start
  std::string problem;  // empty while the promise holds
};

// The promise, as the boot ROM sees it: every header at a probe offset is
// one that some complete state has at the same place, with the same fields,
// and the bytes it makes the ROM load (and the ITB its SPL names) are that
// state's bytes; and at least one such header exists.
Verdict judge_flash(RomFamily family, const Bytes& flash,
                    const std::vector<ReferenceState>& references,
                    const std::vector<PrintedArea>& layout);

}  // namespace duobl::testing
