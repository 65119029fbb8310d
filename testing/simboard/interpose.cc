// SPDX-License-Identifier: GPL-2.0-or-later
// The library's entry points: the C library functions it replaces, and what
// runs when it is loaded and when the process exits. An entry point routes
// a call on one of the board's paths or descriptors to the device (mtd.cc)
// or a sysfs node (sysfs.cc); every other path and descriptor goes on to
// the C library unchanged, so the program opens its own files as usual.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "simboard/simboard.h"

extern "C" [[noreturn]] void __chk_fail(void);

namespace simboard {

constinit SimulatedBoard sim;

namespace {

using OpenatFn = int (*)(int, const char*, int, ...);
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using LseekFn = off_t (*)(int, off_t, int);
using CloseFn = int (*)(int);
using FlockFn = int (*)(int, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using ClockGettimeFn = int (*)(clockid_t, timespec*);

void* next_symbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "simboard: cannot find %s\n", name);
    _exit(125);
  }
  return symbol;
}

mode_t mode_argument(int flags, va_list args) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return static_cast<mode_t>(va_arg(args, int));
  }
  return 0;
}

// Every open, whatever entry point it came through.
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

__attribute__((constructor)) void start_board() {
  report_loaded();
  load_config(sim.config);
  sim.rng_state = sim.config.seed;
  load_time_model();
}

// The last look for stray writes comes after the stdio buffers are flushed:
// what exit would flush after this hook runs is written now, in the same
// order, so that a stream on the device is seen here too.
__attribute__((destructor)) void stop_board() {
  if (!sim.counters.device_opened) return;
  log_line("max read %zu", sim.counters.max_read_bytes);
  log_line("max write %zu", sim.counters.max_write_bytes);
  report_time_model();
  std::fflush(nullptr);
  check_stray_writes(-1);
}

// The device's slot of a descriptor; nullptr for every other descriptor.
// When the device is a standard descriptor, which stdio writes to on its
// own, each call looks for stray writes first; elsewhere only its close and
// the exit do, since a look costs a system call and a campaign makes
// millions of calls on the device.
Slot* device_slot(Slot* slot) {
  if (slot == nullptr || slot->node != Node::Flash) return nullptr;
  if (slot->fd <= STDERR_FILENO) check_stray_writes(slot->fd);
  return slot;
}

}  // namespace

int real_openat(int dirfd, const char* path, int flags, mode_t mode) {
  static OpenatFn fn = reinterpret_cast<OpenatFn>(next_symbol("openat"));
  return fn(dirfd, path, flags, mode);
}

ssize_t real_read(int fd, void* buf, size_t count) {
  static ReadFn fn = reinterpret_cast<ReadFn>(next_symbol("read"));
  return fn(fd, buf, count);
}

ssize_t real_write(int fd, const void* buf, size_t count) {
  static WriteFn fn = reinterpret_cast<WriteFn>(next_symbol("write"));
  return fn(fd, buf, count);
}

off_t real_lseek(int fd, off_t offset, int whence) {
  static LseekFn fn = reinterpret_cast<LseekFn>(next_symbol("lseek"));
  return fn(fd, offset, whence);
}

int real_close(int fd) {
  static CloseFn fn = reinterpret_cast<CloseFn>(next_symbol("close"));
  return fn(fd);
}

int real_flock(int fd, int operation) {
  static FlockFn fn = reinterpret_cast<FlockFn>(next_symbol("flock"));
  return fn(fd, operation);
}

int real_ioctl(int fd, unsigned long request, void* arg) {
  static IoctlFn fn = reinterpret_cast<IoctlFn>(next_symbol("ioctl"));
  return fn(fd, request, arg);
}

int real_clock_gettime(clockid_t clock, timespec* now) {
  static ClockGettimeFn fn = reinterpret_cast<ClockGettimeFn>(next_symbol("clock_gettime"));
  return fn(clock, now);
}

}  // namespace simboard

using namespace simboard;

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
  if (device_slot(slot) != nullptr) return device_read(*slot, buf, count);
  return sysfs_read(*slot, buf, count);
}

ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  if (count > buflen) __chk_fail();
  return read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
  Slot* slot = find_slot(fd);
  if (slot == nullptr) return real_write(fd, buf, count);
  if (device_slot(slot) != nullptr) return device_write(*slot, buf, count);
  errno = EBADF;  // sysfs nodes are opened read-only
  return -1;
}

off_t lseek(int fd, off_t offset, int whence) noexcept {
  Slot* slot = find_slot(fd);
  if (slot == nullptr) return real_lseek(fd, offset, whence);
  if (device_slot(slot) != nullptr) return device_lseek(*slot, offset, whence);
  return real_lseek(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) noexcept {
  return lseek(fd, static_cast<off_t>(offset), whence);
}

int close(int fd) {
  Slot* slot = find_slot(fd);
  if (slot != nullptr) {
    const bool flash = device_slot(slot) != nullptr;
    if (flash) check_stray_writes(fd);
    const int chip_fd = slot->chip_fd;
    *slot = Slot{};
    const int result = real_close(fd);
    if (flash) {
      const int error = errno;
      real_close(chip_fd);
      log_line("close %s", result_text(result, error).text);
      errno = error;
    }
    return result;
  }
  return real_close(fd);
}

// A lock on the device is a lock on the image, so that runs on one image
// exclude each other as runs on one device do.
int flock(int fd, int operation) noexcept {
  Slot* slot = device_slot(find_slot(fd));
  return real_flock(slot != nullptr ? slot->chip_fd : fd, operation);
}

// CLOCK_MONOTONIC runs ahead by the time that writes to a slow chip took.
int clock_gettime(clockid_t clock, timespec* now) noexcept {
  const int result = real_clock_gettime(clock, now);
  if (result == 0 && clock == CLOCK_MONOTONIC) add_write_time(*now);
  return result;
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  Slot* slot = find_slot(fd);
  if (device_slot(slot) != nullptr) return device_ioctl(*slot, request, arg);
  if (slot != nullptr) {
    errno = ENOTTY;
    return -1;
  }
  return real_ioctl(fd, request, arg);
}

}  // extern "C"
