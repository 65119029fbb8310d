// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated board (libsimboard.so): a library loaded with LD_PRELOAD into
// an unchanged binary, which then finds an SPI NOR chip at /dev/mtd0, its
// spi-nor sysfs attributes and a machine device tree at /sys/firmware/fdt,
// all backed by ordinary files named in SIMBOARD_* variables
// (testing/README.md documents them and the log format).
//
// What its parts share. A call enters in interpose.cc, which routes the
// board's paths and descriptors to mtd.cc (the device's rules) or sysfs.cc
// and everything else to the C library; mtd.cc asks faults.cc whether the
// operation fails or the power is cut, changes the chip only through
// cells.cc, and logs through log.cc. At load time marker.cc reports that
// the library is there and settings.cc reads the variables. Nothing here is
// exported from the library; only the entry points in interpose.cc are.
//
// The descriptor a program holds for /dev/mtd0 is not the image: it is
// open on the stray-writes file next to it (stray.cc), which the board never
// writes, and the board reaches the chip only through a descriptor of its
// own. A write that bypasses the entry points (the C library's stdio calls
// its internal write, not the interposed one) lands in that file instead of
// changing the chip behind the board's back, and whoever reads the file
// after the run sees it.
//
// State is per process and the code is not thread-safe: the binaries it
// serves are single-threaded.
#pragma once

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>

#pragma GCC visibility push(hidden)

namespace simboard {

// --- The state of the board ----------------------------------------------------

enum class OpKind { Read, Write, Erase, Seek, Ioctl };

// How the mutation that the power cut hits is left (testing/README.md).
enum class CutMode {
  Clean,  // a prefix of it is done
  Torn,   // its bits are done at random
  Worst,  // all of it is done but the first four bytes it would change
  After,  // all of it is done: the cut comes right after it
};

constexpr const char* cut_mode_name(CutMode mode) {
  switch (mode) {
    case CutMode::Clean: return "clean";
    case CutMode::Torn: return "torn";
    case CutMode::Worst: return "worst";
    case CutMode::After: return "after";
  }
  return "?";
}

struct FaultRule {
  OpKind kind = OpKind::Read;
  unsigned long nth = 0;  // 1-based occurrence of `kind`
  int error = 0;
};

constexpr int kMaxFaults = 16;
constexpr int kMaxFlips = 8;
constexpr std::size_t kPathBytes = PATH_MAX;

using PathText = char[kPathBytes];

struct Config {
  PathText flash{};
  PathText tree{};
  PathText manufacturer{};
  PathText partname{};
  PathText jedec_id{};
  PathText log{};
  std::uint32_t erasesize_bytes = 4096;
  std::uint32_t writesize_bytes = 1;
  std::uint32_t type = MTD_NORFLASH;
  std::uint32_t flags = MTD_WRITEABLE | MTD_BIT_WRITEABLE;
  FaultRule faults[kMaxFaults]{};
  int fault_count = 0;
  unsigned long short_write = 0;  // 0: no short write
  std::uint64_t flip_offsets[kMaxFlips]{};
  int flip_count = 0;
  unsigned long cut = 0;  // 0: no power cut
  CutMode cut_mode = CutMode::Clean;
  std::uint64_t seed = 0;
  unsigned long corrupt_read = 0;  // 0: no corrupted read
  unsigned long write_time_us = 0;  // clock time each write() takes
  unsigned long seek_astray = 0;   // 0: every seek lands where asked
  unsigned long signal_at = 0;     // 0: no signal; else the mutation it comes before
  int signal_number = 0;
  unsigned long stall_at = 0;      // 0: no stall; else the mutation it comes before
  unsigned long stall_ms = 0;
};

// Occurrences of each kind of operation on the device, counted over every
// open of it in this process.
struct Counters {
  unsigned long reads = 0;
  unsigned long writes = 0;
  unsigned long erases = 0;
  unsigned long seeks = 0;
  unsigned long ioctls = 0;
  unsigned long mutations = 0;  // writes and erases that reached the chip
  std::size_t max_read_bytes = 0;
  std::size_t max_write_bytes = 0;
  bool device_opened = false;
};

enum class Node { Other, Flash, Tree, Manufacturer, PartName, JedecId };

// One open file that the board serves. Flash slots keep their own position:
// the real file offsets of their descriptors are never used.
struct Slot {
  int fd = -1;       // the program's descriptor; for the device, on the stray-writes file
  int chip_fd = -1;  // for the device: the board's own descriptor on the image
  Node node = Node::Other;
  int access = O_RDONLY;
  std::int64_t position = 0;
  std::uint32_t size_bytes = 0;  // chip size, for flash slots
};

constexpr int kMaxSlots = 64;

struct SimulatedBoard {
  Config config;
  Counters counters;
  Slot slots[kMaxSlots];
  int log_fd = -1;
  std::uint64_t rng_state = 0;
  std::int64_t clock_ahead_ns = 0;  // what writes have added to CLOCK_MONOTONIC
  PathText stray_path{};            // the stray-writes file of the image
  long long stray_seen = -1;        // its size when last looked at; -1 before the device's open
};

extern SimulatedBoard sim;

// --- settings.cc: the SIMBOARD_* variables -------------------------------------

// Ends the process with status 125 for a malformed SIMBOARD_* setting.
[[noreturn]] void bad_setting(const char* name, const char* value);

// Parses a whole unsigned number in any base that strtoull accepts.
bool parse_number(const char* text, std::uint64_t& out);

// Reads every setting of the board but the time model's.
void load_config(Config& config);


// --- marker.cc: proof that the library is loaded ---------------------------------

// With SIMBOARD_MARKER, appends the path of the running program to that
// file; with SIMBOARD_PREFLIGHT naming this program, then ends the process
// with status 0. Runs before anything else the library does.
void report_loaded();

// --- faults.cc: fault injection and power cuts ----------------------------------

// Counts one operation of `kind` and returns the errno it is to fail with,
// or 0 when it goes ahead.
int count_and_check_fault(OpKind kind);

// The power cut's random choices: splitmix64 seeded with SIMBOARD_SEED.
std::uint64_t next_random();
std::uint64_t random_below(std::uint64_t bound);

// Counts a write or erase that is about to reach the chip; true when the
// power is to fail during it. Before the mutation that SIMBOARD_SIGNAL or
// SIMBOARD_STALL names, it sends the process its signal or waits.
bool next_mutation_is_cut();

// Logs the cut and kills the process.
[[noreturn]] void lose_power(const char* what, std::int64_t offset, std::uint64_t length);

// Flips bit 0 of the bytes read from the SIMBOARD_FLIP offsets.
void apply_flips(std::uint64_t offset, std::uint8_t* bytes, std::size_t length);

// --- cells.cc: the NOR cells -----------------------------------------------------
// Every change of the chip goes through chip_program and chip_erase_block;
// both return 0 or an errno value.

// How much of a program or erase reaches the cells.
enum class Cells {
  All,             // every cell as asked
  Random,          // each bit that would change changes or not, at random
  SpareFirstFour,  // every cell but the first four that would change
};

// Programs `data` at `offset`: each byte becomes old AND new.
int chip_program(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t length,
                 Cells cells_done);

// Erases the block of `erasesize` bytes at `offset` (all bits to 1).
int chip_erase_block(int fd, std::uint64_t offset, std::uint32_t erasesize, Cells cells_done);

// --- mtd.cc: the MTD character device --------------------------------------------
// Each sets errno and returns what the system call returns.

int open_flash(int flags);
ssize_t device_read(Slot& slot, void* buf, std::size_t count);
ssize_t device_write(Slot& slot, const void* buf, std::size_t count);
off_t device_lseek(Slot& slot, off_t offset, int whence);
int device_ioctl(Slot& slot, unsigned long request, void* arg);

// --- sysfs.cc: the served paths, their open files, sysfs and the tree -------------

// The node a path names; Node::Other for every path the board does not serve.
Node node_for(const char* path);

// The slot of a descriptor the board serves, or nullptr; a free slot, or
// nullptr when all are taken.
Slot* find_slot(int fd);
Slot* free_slot();

// Opens a sysfs node (or the tree) read-only from its backing file.
int open_sysfs(Node node, const char* backing, int flags);

// A read of a sysfs node: at most one page, as sysfs hands out.
ssize_t sysfs_read(Slot& slot, void* buf, std::size_t count);

// --- stray.cc: writes to the device that bypass the board ---------------------

// Opens the program's descriptor for the device with the access mode of
// `flags`: the stray-writes file (the image's path with ".stray" added),
// created when missing and never truncated, in append mode, so that every
// stray byte adds to its size. The first open notes its size.
int open_stray(int flags);

// Reports on standard error the bytes the stray-writes file gained since
// the last look (standard error itself may be the device: then the report
// would add to them, and it is left out). Looks through `fd`, one of the
// device's descriptors, or by the file's path when it is -1.
void check_stray_writes(int fd);

// Moves a descriptor of the board's own above those the program's opens
// take, and never onto 0, 1 or 2, where the program's stdio would write into
// it; close-on-exec. Returns the new descriptor, or -1 with errno set
// (closing `fd`).
int keep_private(int fd);

// --- log.cc: the operation log ----------------------------------------------------

// Appends one line to the board's log, when there is one.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The result field of a log line: the count, or "-1 ENAME" on failure.
struct ResultText {
  char text[48];
};

ResultText result_text(long long result, int error);

// --- time_model.cc: what the operations take ---------------------------------------

// A slow chip, by the clock: each write() on the device moves the process's
// monotonic clock on by SIMBOARD_WRITE_TIME_US, and add_write_time adds
// what all writes so far took to a reading of CLOCK_MONOTONIC.
void take_write_time();
void add_write_time(timespec& now);

// Reads the SIMBOARD_MODEL_* variables; the model is on when any is set.
void load_time_model();

// Charges a program of `length` bytes at `offset`, an erase of `blocks`
// blocks of `erasesize` bytes, and `length` bytes read.
void charge_program(std::uint64_t offset, std::uint64_t length);
void charge_erase(std::uint64_t blocks, std::uint32_t erasesize);
void charge_read(std::uint64_t length);

// Logs the totals, at exit, when the model is on.
void report_time_model();

// --- interpose.cc: the C library's own functions ----------------------------------
// What the board itself calls for its backing files, past its own entry
// points.

int real_openat(int dirfd, const char* path, int flags, mode_t mode);
ssize_t real_read(int fd, void* buf, size_t count);
ssize_t real_write(int fd, const void* buf, size_t count);
off_t real_lseek(int fd, off_t offset, int whence);
int real_close(int fd);
int real_flock(int fd, int operation);
int real_ioctl(int fd, unsigned long request, void* arg);
int real_clock_gettime(clockid_t clock, timespec* now);

}  // namespace simboard

#pragma GCC visibility pop
