// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated board: a library loaded with LD_PRELOAD into an unchanged
// binary, which then finds an SPI NOR chip at /dev/mtd0, its spi-nor sysfs
// attributes and a machine device tree at /sys/firmware/fdt. Everything is
// backed by ordinary files named in SIMBOARD_* variables; testing/README.md
// documents them and the log format.
//
// The chip follows the Linux MTD character device over the spi-nor driver:
// writes can only clear bits, erases work on whole uniform erase blocks, and
// reads and writes stop at the end of the chip. Every change goes to the
// image file with pwrite() as it happens, so a process that is killed leaves
// the image as a power loss would leave the chip.
//
// State is per process and the code is not thread-safe: the binaries it
// serves are single-threaded.

#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "simboard_time_model.h"

extern "C" [[noreturn]] void __chk_fail(void);

namespace {

// --- Configuration ----------------------------------------------------------

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

constexpr CutMode kCutModes[] = {CutMode::Clean, CutMode::Torn, CutMode::Worst, CutMode::After};

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
// the real file offset of the image is never used.
struct Slot {
  int fd = -1;
  Node node = Node::Other;
  int access = O_RDONLY;
  std::int64_t position = 0;
  std::uint32_t size_bytes = 0;  // chip size, for flash slots
};

constexpr int kMaxSlots = 64;
constexpr std::size_t kSysfsReadBytes = 4096;
constexpr std::size_t kChunkBytes = 4096;

struct SimulatedBoard {
  Config config;
  Counters counters;
  Slot slots[kMaxSlots];
  int log_fd = -1;
  std::uint64_t rng_state = 0;
  std::int64_t clock_ahead_ns = 0;  // what writes have added to CLOCK_MONOTONIC
};

SimulatedBoard sim;

// --- The functions being replaced -------------------------------------------

using OpenatFn = int (*)(int, const char*, int, ...);
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using LseekFn = off_t (*)(int, off_t, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using ClockGettimeFn = int (*)(clockid_t, timespec*);

void* next_symbol_(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "simboard: cannot find %s\n", name);
    _exit(125);
  }
  return symbol;
}

int real_openat(int dirfd, const char* path, int flags, mode_t mode) {
  static OpenatFn fn = reinterpret_cast<OpenatFn>(next_symbol_("openat"));
  return fn(dirfd, path, flags, mode);
}

ssize_t real_read(int fd, void* buf, size_t count) {
  static ReadFn fn = reinterpret_cast<ReadFn>(next_symbol_("read"));
  return fn(fd, buf, count);
}

ssize_t real_write(int fd, const void* buf, size_t count) {
  static WriteFn fn = reinterpret_cast<WriteFn>(next_symbol_("write"));
  return fn(fd, buf, count);
}

off_t real_lseek(int fd, off_t offset, int whence) {
  static LseekFn fn = reinterpret_cast<LseekFn>(next_symbol_("lseek"));
  return fn(fd, offset, whence);
}

int real_close(int fd) {
  static CloseFn fn = reinterpret_cast<CloseFn>(next_symbol_("close"));
  return fn(fd);
}

int real_ioctl(int fd, unsigned long request, void* arg) {
  static IoctlFn fn = reinterpret_cast<IoctlFn>(next_symbol_("ioctl"));
  return fn(fd, request, arg);
}

int real_clock_gettime(clockid_t clock, timespec* now) {
  static ClockGettimeFn fn = reinterpret_cast<ClockGettimeFn>(next_symbol_("clock_gettime"));
  return fn(clock, now);
}

// --- Reading the environment ------------------------------------------------

}  // namespace

namespace simboard {

void bad_setting(const char* name, const char* value) {
  std::fprintf(stderr, "simboard: bad value for %s: \"%s\"\n", name, value);
  _exit(125);
}

// Parses a whole unsigned number in any base that strtoull accepts.
bool parse_number(const char* text, std::uint64_t& out) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  out = value;
  return true;
}

}  // namespace simboard

namespace {

using namespace simboard;

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
}

// --- The log ----------------------------------------------------------------

}  // namespace

void simboard::log_line(const char* format, ...) {
  if (sim.config.log[0] == '\0') return;
  const int saved_errno = errno;
  if (sim.log_fd < 0) {
    sim.log_fd = real_openat(AT_FDCWD, sim.config.log,
                               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  if (sim.log_fd >= 0) {
    char line[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length > 0) {
      std::size_t used = static_cast<std::size_t>(length);
      if (used > sizeof line - 2) used = sizeof line - 2;
      line[used++] = '\n';
      (void)real_write(sim.log_fd, line, used);
    }
  }
  errno = saved_errno;
}

namespace {

// The result field of a log line: the count, or "-1 ENAME" on failure.
struct ResultText {
  char text[48];
};

ResultText result_text(long long result, int error) {
  ResultText out{};
  if (result >= 0) {
    std::snprintf(out.text, sizeof out.text, "%lld", result);
  } else {
    const char* name = strerrorname_np(error);
    if (name != nullptr) {
      std::snprintf(out.text, sizeof out.text, "-1 %s", name);
    } else {
      std::snprintf(out.text, sizeof out.text, "-1 %d", error);
    }
  }
  return out;
}

// --- Fault injection and power cuts ------------------------------------------

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

// Counts one operation of `kind` and returns the errno it is to fail with,
// or 0 when it goes ahead.
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

[[noreturn]] void lose_power(const char* what, std::int64_t offset, std::uint64_t length) {
  log_line("cut %lu %s %lld %llu %s", sim.counters.mutations, what,
           static_cast<long long>(offset), static_cast<unsigned long long>(length),
           cut_mode_name(sim.config.cut_mode));
  raise(SIGKILL);
  _exit(137);
}

// Counts a write or erase that is about to reach the chip; true when the
// power is to fail during it.
bool next_mutation_is_cut() {
  ++sim.counters.mutations;
  return sim.config.cut != 0 && sim.counters.mutations == sim.config.cut;
}

// --- The chip ---------------------------------------------------------------
// Every change of the chip goes through chip_program and chip_erase_block;
// the device time model charges them where they are called, on success.

// A worst-case cut leaves this many of the bytes that the cut operation
// would change as they were: a boot header's magic.
constexpr int kSparedBytes = 4;

// How much of a program or erase reaches the cells.
enum class Cells {
  All,             // every cell as asked
  Random,          // each bit that would change changes or not, at random
  SpareFirstFour,  // every cell but the first kSparedBytes that would change
};

// Programs `data` at `offset`: each byte becomes old AND new, as NOR cells
// can only go from 1 to 0; `cells_done` says how much of that happens.
// Returns 0 or an errno value.
int chip_program(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t length,
                 Cells cells_done) {
  std::uint8_t cells[kChunkBytes];
  std::size_t done = 0;
  int spared = 0;
  while (done < length) {
    const std::size_t n = length - done < kChunkBytes ? length - done : kChunkBytes;
    const off_t at = static_cast<off_t>(offset + done);
    if (pread(fd, cells, n, at) != static_cast<ssize_t>(n)) return EIO;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint8_t cleared = static_cast<std::uint8_t>(cells[i] & ~data[done + i]);
      if (cells_done == Cells::Random) cleared &= static_cast<std::uint8_t>(next_random());
      if (cells_done == Cells::SpareFirstFour && cleared != 0 && spared < kSparedBytes) {
        ++spared;
        cleared = 0;
      }
      cells[i] = static_cast<std::uint8_t>(cells[i] & ~cleared);
    }
    if (pwrite(fd, cells, n, at) != static_cast<ssize_t>(n)) return EIO;
    done += n;
  }
  return 0;
}

// Erases the block of `erasesize` bytes at `offset` (all bits to 1);
// `cells_done` says how much of that happens.
int chip_erase_block(int fd, std::uint64_t offset, std::uint32_t erasesize, Cells cells_done) {
  std::uint8_t cells[kChunkBytes];
  std::size_t done = 0;
  int spared = 0;
  while (done < erasesize) {
    const std::size_t n = erasesize - done < kChunkBytes ? erasesize - done : kChunkBytes;
    const off_t at = static_cast<off_t>(offset + done);
    if (cells_done != Cells::All) {
      if (pread(fd, cells, n, at) != static_cast<ssize_t>(n)) return EIO;
      for (std::size_t i = 0; i < n; ++i) {
        if (cells_done == Cells::Random) {
          cells[i] = static_cast<std::uint8_t>(cells[i] | next_random());
        } else if (cells[i] != 0xff && spared < kSparedBytes) {
          ++spared;
        } else {
          cells[i] = 0xff;
        }
      }
    } else {
      std::memset(cells, 0xff, n);
    }
    if (pwrite(fd, cells, n, at) != static_cast<ssize_t>(n)) return EIO;
    done += n;
  }
  return 0;
}

// --- Device operations -------------------------------------------------------

Slot* find_slot(int fd) {
  if (fd < 0) return nullptr;
  for (Slot& slot : sim.slots) {
    if (slot.fd == fd) return &slot;
  }
  return nullptr;
}

Slot* free_slot() {
  for (Slot& slot : sim.slots) {
    if (slot.fd < 0) return &slot;
  }
  return nullptr;
}

const char* access_name(int access) {
  switch (access) {
    case O_RDONLY: return "rdonly";
    case O_WRONLY: return "wronly";
    default: return "rdwr";
  }
}

// Opens the image behind /dev/mtd0. A writable open of a chip without
// MTD_WRITEABLE is refused, as the MTD character device does.
int open_flash(int flags) {
  const int access = flags & O_ACCMODE;
  int error = 0;
  int fd = -1;
  struct stat info{};
  Slot* slot = free_slot();
  if (sim.config.flash[0] == '\0') {
    error = ENOENT;
  } else if (access != O_RDONLY && (sim.config.flags & MTD_WRITEABLE) == 0) {
    error = EACCES;
  } else if (slot == nullptr) {
    error = EMFILE;
  } else {
    // The image is opened read-write whatever the caller asked for: a NOR
    // write reads the old cells back to AND the new data into them, and
    // the kernel programs through a write-only descriptor too. What the
    // caller may do is checked against `access` on every call.
    const int image_access = access == O_RDONLY ? O_RDONLY : O_RDWR;
    fd = real_openat(AT_FDCWD, sim.config.flash, image_access | (flags & O_CLOEXEC), 0);
    if (fd < 0) {
      error = errno;
    } else if (fstat(fd, &info) != 0 || info.st_size < 0 || info.st_size > UINT32_MAX) {
      error = EFBIG;
      real_close(fd);
      fd = -1;
    }
  }
  sim.counters.device_opened = true;
  log_line("open %s %s", access_name(access), result_text(fd < 0 ? -1 : 0, error).text);
  if (fd < 0) {
    errno = error;
    return -1;
  }
  *slot = Slot{fd, Node::Flash, access, 0, static_cast<std::uint32_t>(info.st_size)};
  return fd;
}

int open_sysfs(Node node, const char* backing, int flags) {
  if (backing[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  if ((flags & O_ACCMODE) != O_RDONLY) {
    errno = EACCES;
    return -1;
  }
  Slot* slot = free_slot();
  if (slot == nullptr) {
    errno = EMFILE;
    return -1;
  }
  const int fd = real_openat(AT_FDCWD, backing, O_RDONLY | (flags & O_CLOEXEC), 0);
  if (fd < 0) return -1;
  *slot = Slot{fd, node, O_RDONLY, 0, 0};
  return fd;
}

Node node_for(const char* path) {
  static constexpr struct {
    const char* path;
    Node node;
  } kNodes[] = {
      {"/dev/mtd0", Node::Flash},
      {"/sys/firmware/fdt", Node::Tree},
      {"/sys/class/mtd/mtd0/device/spi-nor/manufacturer", Node::Manufacturer},
      {"/sys/class/mtd/mtd0/device/spi-nor/partname", Node::PartName},
      {"/sys/class/mtd/mtd0/device/spi-nor/jedec_id", Node::JedecId},
  };
  if (path == nullptr) return Node::Other;
  for (const auto& entry : kNodes) {
    if (std::strcmp(entry.path, path) == 0) return entry.node;
  }
  return Node::Other;
}

mode_t mode_argument(int flags, va_list args) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return static_cast<mode_t>(va_arg(args, int));
  }
  return 0;
}

int open_any(int dirfd, const char* path, int flags, mode_t mode) {
  switch (node_for(path)) {
    case Node::Flash: return open_flash(flags);
    case Node::Tree: return open_sysfs(Node::Tree, sim.config.tree, flags);
    case Node::Manufacturer:
      return open_sysfs(Node::Manufacturer, sim.config.manufacturer, flags);
    case Node::PartName: return open_sysfs(Node::PartName, sim.config.partname, flags);
    case Node::JedecId: return open_sysfs(Node::JedecId, sim.config.jedec_id, flags);
    case Node::Other: break;
  }
  return real_openat(dirfd, path, flags, mode);
}

void apply_flips(std::uint64_t offset, std::uint8_t* bytes, std::size_t length) {
  for (int i = 0; i < sim.config.flip_count; ++i) {
    const std::uint64_t at = sim.config.flip_offsets[i];
    if (at >= offset && at - offset < length) bytes[at - offset] ^= 1;
  }
}

ssize_t device_read(Slot& slot, void* buf, std::size_t count) {
  const std::int64_t at = slot.position;
  if (count > sim.counters.max_read_bytes) sim.counters.max_read_bytes = count;
  int error = count_and_check_fault(OpKind::Read);
  ssize_t result = -1;
  if (error == 0 && slot.access == O_WRONLY) error = EBADF;
  if (error == 0) {
    std::size_t n = 0;
    if (at < slot.size_bytes) {
      const std::uint64_t left = slot.size_bytes - static_cast<std::uint64_t>(at);
      n = count < left ? count : static_cast<std::size_t>(left);
    }
    if (n > 0 && pread(slot.fd, buf, n, at) != static_cast<ssize_t>(n)) {
      error = EIO;
    } else {
      apply_flips(static_cast<std::uint64_t>(at), static_cast<std::uint8_t*>(buf), n);
      if (n > 0 && sim.counters.reads == sim.config.corrupt_read) {
        static_cast<std::uint8_t*>(buf)[n - 1] ^= 1;
      }
      slot.position += static_cast<std::int64_t>(n);
      result = static_cast<ssize_t>(n);
      charge_read(n);
    }
  }
  log_line("read %lld %zu %s", static_cast<long long>(at), count, result_text(result, error).text);
  errno = error;
  return result;
}

// A slow chip, by the clock: each write() on the device moves the process's
// monotonic clock on by this long, without waiting.
void take_write_time() {
  sim.clock_ahead_ns += static_cast<std::int64_t>(sim.config.write_time_us) * 1000;
}

ssize_t device_write(Slot& slot, const void* buf, std::size_t count) {
  take_write_time();
  const std::int64_t at = slot.position;
  if (count > sim.counters.max_write_bytes) sim.counters.max_write_bytes = count;
  int error = count_and_check_fault(OpKind::Write);
  const bool short_write = sim.counters.writes == sim.config.short_write;
  ssize_t result = -1;
  if (error == 0 && slot.access == O_RDONLY) error = EBADF;
  if (error == 0 && at >= slot.size_bytes) error = ENOSPC;
  if (error == 0) {
    const std::uint64_t left = slot.size_bytes - static_cast<std::uint64_t>(at);
    std::size_t n = count < left ? count : static_cast<std::size_t>(left);
    if (n > 0) {
      if (short_write) --n;
      const auto* data = static_cast<const std::uint8_t*>(buf);
      if (next_mutation_is_cut()) {
        const auto offset = static_cast<std::uint64_t>(at);
        switch (sim.config.cut_mode) {
          case CutMode::Clean:
            chip_program(slot.fd, offset, data, static_cast<std::size_t>(random_below(n)),
                         Cells::All);
            break;
          case CutMode::Torn: chip_program(slot.fd, offset, data, n, Cells::Random); break;
          case CutMode::Worst: chip_program(slot.fd, offset, data, n, Cells::SpareFirstFour); break;
          case CutMode::After: chip_program(slot.fd, offset, data, n, Cells::All); break;
        }
        lose_power("write", at, n);
      }
      error = chip_program(slot.fd, static_cast<std::uint64_t>(at), data, n, Cells::All);
      if (error == 0) charge_program(static_cast<std::uint64_t>(at), n);
    }
    if (error == 0) {
      slot.position += static_cast<std::int64_t>(n);
      result = static_cast<ssize_t>(n);
    }
  }
  log_line("write %lld %zu %s", static_cast<long long>(at), count, result_text(result, error).text);
  errno = error;
  return result;
}

const char* whence_name(int whence) {
  switch (whence) {
    case SEEK_SET: return "set";
    case SEEK_CUR: return "cur";
    case SEEK_END: return "end";
    default: return "?";
  }
}

off_t device_lseek(Slot& slot, off_t offset, int whence) {
  int error = count_and_check_fault(OpKind::Seek);
  off_t result = -1;
  if (error == 0) {
    // Overflow of the sums below needs offsets near 2^63, which no caller
    // that means a real position passes; clamp instead of wrapping.
    long long target = offset;
    bool valid = true;
    if (whence == SEEK_CUR) {
      valid = !__builtin_add_overflow(target, slot.position, &target);
    } else if (whence == SEEK_END) {
      valid = !__builtin_add_overflow(target, static_cast<long long>(slot.size_bytes), &target);
    } else if (whence != SEEK_SET) {
      valid = false;
    }
    if (!valid || target < 0 || target > static_cast<long long>(slot.size_bytes)) {
      error = EINVAL;
    } else {
      // An astray seek lands one byte off: before the asked position, or
      // after it when that is the start of the chip.
      if (sim.counters.seeks == sim.config.seek_astray) target += target > 0 ? -1 : 1;
      slot.position = target;
      result = static_cast<off_t>(target);
    }
  }
  log_line("seek %lld %s %s", static_cast<long long>(offset), whence_name(whence),
           result_text(result, error).text);
  errno = error;
  return result;
}

// MEMERASE as mtd_erase() and spi_nor_erase() treat it on a chip of uniform
// erase blocks: the range must lie inside the chip, a zero length then does
// nothing, and the length must be a whole number of blocks. The chip is sent
// one sector erase per block, addressed at start, start + erasesize, ...;
// each erases the whole block that contains its address, so an unaligned
// start erases length / erasesize blocks beginning with the block that holds
// `start` (the tail of the range in the following block stays as it was).
int device_erase(Slot& slot, const erase_info_user& request) {
  const std::uint32_t erasesize = sim.config.erasesize_bytes;
  const std::uint64_t start = request.start;
  const std::uint64_t length = request.length;
  if (slot.access == O_RDONLY) return EPERM;
  if (erasesize == 0) return EOPNOTSUPP;
  if (start >= slot.size_bytes || length > slot.size_bytes - start) return EINVAL;
  if ((sim.config.flags & MTD_WRITEABLE) == 0) return EROFS;
  if (length == 0) return 0;
  if (length % erasesize != 0) return EINVAL;
  const std::uint64_t first = start - start % erasesize;
  const std::uint64_t blocks = length / erasesize;
  if (next_mutation_is_cut()) {
    const CutMode mode = sim.config.cut_mode;
    // Clean and torn: the first `whole` blocks are erased, and a torn cut
    // leaves the next one half erased. Worst: every block, the first one
    // but the first four bytes that it would change.
    std::uint64_t whole = blocks;
    if (mode == CutMode::Clean || mode == CutMode::Torn) whole = random_below(blocks);
    for (std::uint64_t b = mode == CutMode::Worst ? 1 : 0; b < whole; ++b) {
      chip_erase_block(slot.fd, first + b * erasesize, erasesize, Cells::All);
    }
    if (mode == CutMode::Worst) chip_erase_block(slot.fd, first, erasesize, Cells::SpareFirstFour);
    if (mode == CutMode::Torn && whole < blocks) {
      chip_erase_block(slot.fd, first + whole * erasesize, erasesize, Cells::Random);
    }
    lose_power("erase", static_cast<std::int64_t>(start), length);
  }
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const int error = chip_erase_block(slot.fd, first + b * erasesize, erasesize, Cells::All);
    if (error != 0) return error;
  }
  charge_erase(blocks, erasesize);
  return 0;
}

int device_ioctl(Slot& slot, unsigned long request, void* arg) {
  int error = count_and_check_fault(OpKind::Ioctl);
  if (request == MEMERASE) {
    const int erase_error = count_and_check_fault(OpKind::Erase);
    if (error == 0) error = erase_error;
    erase_info_user range{};
    if (arg == nullptr) {
      if (error == 0) error = EFAULT;
    } else {
      std::memcpy(&range, arg, sizeof range);
    }
    if (error == 0) error = device_erase(slot, range);
    log_line("erase %u %u %s", range.start, range.length,
             result_text(error == 0 ? 0 : -1, error).text);
  } else if (request == MEMGETINFO) {
    if (error == 0 && arg == nullptr) error = EFAULT;
    if (error == 0) {
      mtd_info_user info{};
      info.type = static_cast<std::uint8_t>(sim.config.type);
      info.flags = sim.config.flags;
      info.size = slot.size_bytes;
      info.erasesize = sim.config.erasesize_bytes;
      info.writesize = sim.config.writesize_bytes;
      std::memcpy(arg, &info, sizeof info);
    }
    log_line("getinfo %s", result_text(error == 0 ? 0 : -1, error).text);
  } else {
    if (error == 0) error = ENOTTY;
    log_line("ioctl %#lx %s", request, result_text(-1, error).text);
  }
  errno = error;
  return error == 0 ? 0 : -1;
}

__attribute__((constructor)) void start_board() {
  load_config(sim.config);
  sim.rng_state = sim.config.seed;
  load_time_model();
}

__attribute__((destructor)) void stop_board() {
  if (!sim.counters.device_opened) return;
  log_line("max read %zu", sim.counters.max_read_bytes);
  log_line("max write %zu", sim.counters.max_write_bytes);
  report_time_model();
}

}  // namespace

// --- The interposed entry points ----------------------------------------------

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_any(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_any(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_any(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_any(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags) { return open_any(AT_FDCWD, path, flags, 0); }

int __open64_2(const char* path, int flags) { return open_any(AT_FDCWD, path, flags, 0); }

// What openat becomes in a program built with _FORTIFY_SOURCE.
int __openat_2(int dirfd, const char* path, int flags) { return open_any(dirfd, path, flags, 0); }

int __openat64_2(int dirfd, const char* path, int flags) { return open_any(dirfd, path, flags, 0); }

ssize_t read(int fd, void* buf, size_t count) {
  Slot* slot = find_slot(fd);
  if (slot == nullptr) return real_read(fd, buf, count);
  if (slot->node == Node::Flash) return device_read(*slot, buf, count);
  // sysfs hands out at most one page per read.
  return real_read(fd, buf, count < kSysfsReadBytes ? count : kSysfsReadBytes);
}

ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  if (count > buflen) __chk_fail();
  return read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
  Slot* slot = find_slot(fd);
  if (slot == nullptr) return real_write(fd, buf, count);
  if (slot->node == Node::Flash) return device_write(*slot, buf, count);
  errno = EBADF;  // sysfs nodes are opened read-only
  return -1;
}

off_t lseek(int fd, off_t offset, int whence) noexcept {
  Slot* slot = find_slot(fd);
  if (slot == nullptr) return real_lseek(fd, offset, whence);
  if (slot->node == Node::Flash) return device_lseek(*slot, offset, whence);
  return real_lseek(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) noexcept {
  return lseek(fd, static_cast<off_t>(offset), whence);
}

int close(int fd) {
  Slot* slot = find_slot(fd);
  if (slot != nullptr) {
    const bool flash = slot->node == Node::Flash;
    *slot = Slot{};
    const int result = real_close(fd);
    if (flash) log_line("close %s", result_text(result, errno).text);
    return result;
  }
  return real_close(fd);
}

// CLOCK_MONOTONIC runs ahead by the time that writes to a slow chip took.
int clock_gettime(clockid_t clock, timespec* now) noexcept {
  const int result = real_clock_gettime(clock, now);
  if (result != 0 || clock != CLOCK_MONOTONIC || sim.clock_ahead_ns == 0) return result;
  const std::int64_t ns = static_cast<std::int64_t>(now->tv_sec) * 1000000000 + now->tv_nsec +
                          sim.clock_ahead_ns;
  now->tv_sec = static_cast<time_t>(ns / 1000000000);
  now->tv_nsec = static_cast<long>(ns % 1000000000);
  return result;
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  Slot* slot = find_slot(fd);
  if (slot != nullptr && slot->node == Node::Flash) return device_ioctl(*slot, request, arg);
  if (slot != nullptr) {
    errno = ENOTTY;
    return -1;
  }
  return real_ioctl(fd, request, arg);
}

}  // extern "C"
