// SPDX-License-Identifier: GPL-2.0-or-later
// The paths the board serves, the table of the descriptors it has handed
// out for them, where its own descriptors go, and the read-only nodes: the
// spi-nor sysfs attributes and the machine device tree, each backed by a
// file named in a SIMBOARD_* variable. A node without a backing file does
// not exist (ENOENT).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "simboard/simboard.h"

namespace simboard {
namespace {

constexpr std::size_t kSysfsReadBytes = 4096;

// Where the board's own descriptors go: far above what a program's opens
// take. Where the limit of open files is lower, just above 2.
constexpr int kPrivateFloor = 512;

}  // namespace

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

int keep_private(int fd) {
  if (fd < 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, kPrivateFloor);
  if (moved < 0) moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  real_close(fd);
  errno = error;
  return moved;
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
  *slot = Slot{fd, -1, node, O_RDONLY, 0, 0};
  return fd;
}

ssize_t sysfs_read(Slot& slot, void* buf, std::size_t count) {
  return real_read(slot.fd, buf, count < kSysfsReadBytes ? count : kSysfsReadBytes);
}

}  // namespace simboard
