// SPDX-License-Identifier: GPL-2.0-or-later
// The MTD character device /dev/mtd0 over the spi-nor driver, as Linux 6.1
// has it for a chip of uniform erase blocks: the access mode of the open,
// reads and writes that stop at the end of the chip, lseek within it,
// MEMGETINFO and MEMERASE. Each operation is counted and may be failed by
// fault injection first; what passes reaches the cells, and every operation
// is logged with its result.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "simboard/simboard.h"

namespace simboard {
namespace {

const char* access_name(int access) {
  switch (access) {
    case O_RDONLY: return "rdonly";
    case O_WRONLY: return "wronly";
    default: return "rdwr";
  }
}

const char* whence_name(int whence) {
  switch (whence) {
    case SEEK_SET: return "set";
    case SEEK_CUR: return "cur";
    case SEEK_END: return "end";
    default: return "?";
  }
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
      chip_erase_block(slot.chip_fd, first + b * erasesize, erasesize, Cells::All);
    }
    if (mode == CutMode::Worst) {
      chip_erase_block(slot.chip_fd, first, erasesize, Cells::SpareFirstFour);
    }
    if (mode == CutMode::Torn && whole < blocks) {
      chip_erase_block(slot.chip_fd, first + whole * erasesize, erasesize, Cells::Random);
    }
    lose_power("erase", static_cast<std::int64_t>(start), length);
  }
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const int error = chip_erase_block(slot.chip_fd, first + b * erasesize, erasesize, Cells::All);
    if (error != 0) return error;
  }
  charge_erase(blocks, erasesize);
  return 0;
}

}  // namespace

// Opens /dev/mtd0: the board's own descriptor on the image, then the
// program's on the stray-writes file, which takes the number the device
// would (the lowest free one). A writable open of a chip without
// MTD_WRITEABLE is refused, as the MTD character device does.
int open_flash(int flags) {
  const int access = flags & O_ACCMODE;
  int error = 0;
  int fd = -1;
  int chip_fd = -1;
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
    chip_fd = keep_private(real_openat(AT_FDCWD, sim.config.flash, image_access | O_CLOEXEC, 0));
    if (chip_fd < 0) {
      error = errno;
    } else if (fstat(chip_fd, &info) != 0 || info.st_size < 0 || info.st_size > UINT32_MAX) {
      error = EFBIG;
    } else if ((fd = open_stray(flags)) < 0) {
      error = errno;
    }
    if (error != 0 && chip_fd >= 0) real_close(chip_fd);
  }
  sim.counters.device_opened = true;
  log_line("open %s %s", access_name(access), result_text(fd < 0 ? -1 : 0, error).text);
  if (fd < 0) {
    errno = error;
    return -1;
  }
  *slot = Slot{fd, chip_fd, Node::Flash, access, 0, static_cast<std::uint32_t>(info.st_size)};
  return fd;
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
    if (n > 0 && pread(slot.chip_fd, buf, n, at) != static_cast<ssize_t>(n)) {
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
            chip_program(slot.chip_fd, offset, data, static_cast<std::size_t>(random_below(n)),
                         Cells::All);
            break;
          case CutMode::Torn: chip_program(slot.chip_fd, offset, data, n, Cells::Random); break;
          case CutMode::Worst:
            chip_program(slot.chip_fd, offset, data, n, Cells::SpareFirstFour);
            break;
          case CutMode::After: chip_program(slot.chip_fd, offset, data, n, Cells::All); break;
        }
        lose_power("write", at, n);
      }
      error = chip_program(slot.chip_fd, static_cast<std::uint64_t>(at), data, n, Cells::All);
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

}  // namespace simboard
