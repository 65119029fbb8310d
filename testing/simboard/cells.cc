// SPDX-License-Identifier: GPL-2.0-or-later
// The NOR cells: a program can only clear bits, an erase sets a whole block
// to 0xFF. Every change goes straight to the image file with pwrite(), so a
// process that is killed at any moment leaves the image as a power loss
// would leave the chip. The device time model charges these operations
// where they are called, on success.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simboard/simboard.h"

namespace simboard {
namespace {

constexpr std::size_t kChunkBytes = 4096;

// A worst-case cut leaves this many of the bytes that the cut operation
// would change as they were: a boot header's magic.
constexpr int kSparedBytes = 4;

}  // namespace

// `cells_done` says how much of the program happens.
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

// `cells_done` says how much of the erase happens.
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

}  // namespace simboard
