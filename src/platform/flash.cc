// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/flash.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/fatal.h"
#include "platform/progress.h"

namespace duobl {
namespace {

constexpr std::uint32_t kMinEraseBytes = 32;
constexpr std::uint32_t kMaxEraseBytes = 131072;
constexpr std::uint32_t kMinFlashBytes = 4 * 1024 * 1024;
constexpr std::size_t kSysfsValueBytes = 128;
constexpr const char* kZeroedMagicLabel = "Zeroed magic header";
// The most bytes of an old header that a retirement clears.
constexpr std::size_t kZeroedBytesMax = 32;

std::size_t chunk_bytes(std::size_t remaining) { return std::min(remaining, kFlashChunkBytes); }

// One read of at most 60 bytes. A read that returns nothing before the range
// is complete has met the end of the device: it would never make progress,
// so it ends the run instead of looping.
std::size_t read_chunk(FlashDevice device, std::uint8_t* out, std::size_t length) {
  const ssize_t got = read(device.fd, out, length);
  if (got < 0) fail(1, "ERROR: Read from flash failed (%s)\n", std::strerror(errno));
  if (got == 0) fail(1, "ERROR: Read from flash failed (end of device)\n");
  return static_cast<std::size_t>(got);
}

constexpr bool is_power_of_two(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

bool flash_open_usable(ProbedFlash& out) {
  const int fd = open(kFlashDevicePath, O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) != 0 || info.type != MTD_NORFLASH ||
      (info.flags & MTD_WRITEABLE) == 0) {
    close(fd);
    return false;
  }
  out.device.fd = fd;
  out.info = info;
  return true;
}

void print_sysfs_attr(const char* label, const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::array<char, kSysfsValueBytes + 1> text{};
  std::size_t filled = 0;
  while (filled < kSysfsValueBytes) {
    const ssize_t got = read(fd, text.data() + filled, kSysfsValueBytes - filled);
    if (got < 0) {
      close(fd);
      return;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(fd);
  if (filled == 0 || filled == kSysfsValueBytes) return;  // empty, or too long to trust
  while (filled > 0 && text[filled - 1] == '\n') --filled;
  if (filled == 0) return;
  text[filled] = '\0';
  std::printf("%s: %s\n", label, text.data());
}

void flash_lock(FlashDevice device) {
  if (flock(device.fd, LOCK_EX | LOCK_NB) == 0) return;
  if (errno == EWOULDBLOCK) fail(1, "ERROR: %s is in use by another process\n", kFlashDevicePath);
  fail(1, "ERROR: Failed to lock %s (%s)\n", kFlashDevicePath, std::strerror(errno));
}

ProbedFlash flash_probe(FlashUse use) {
  ProbedFlash flash;
  if (!flash_open_usable(flash)) fail_silently(1);
  if (use == FlashUse::Change) flash_lock(flash.device);
  const mtd_info_user& info = flash.info;

  std::printf("SPI NOR Flash:\n\n- Total size: %u KiB\n- Erase block size: %u KiB\n- Write size: %u\n",
              info.size / 1024, info.erasesize / 1024, info.writesize);
  print_sysfs_attr("- Manufacturer", kSysfsManufacturerPath);
  print_sysfs_attr("- Part name", kSysfsPartNamePath);
  print_sysfs_attr("- JEDEC ID", kSysfsJedecIdPath);

  // The layout rounds areas up to whole erase blocks by masking, which is
  // exact only for powers of two (the only sizes real chips have).
  if (info.erasesize < kMinEraseBytes || info.erasesize > kMaxEraseBytes ||
      !is_power_of_two(info.erasesize))
    fail(1, "ERROR: Unsupported erase block size\n");
  if (info.writesize != 1) fail(1, "ERROR: Unsupported write size\n");
  if (info.size < kMinFlashBytes) fail(1, "ERROR: Unsupported flash size\n");
  return flash;
}

void flash_seek(FlashDevice device, std::uint32_t offset) {
  const off_t position = lseek(device.fd, static_cast<off_t>(offset), SEEK_SET);
  if (position < 0) fail(1, "ERROR: Seek to %u failed (%s)\n", offset, std::strerror(errno));
  if (position != static_cast<off_t>(offset))
    fail(1, "ERROR: Seek to %u failed (different offset returned)\n", offset);
}

void flash_read(FlashDevice device, std::uint32_t offset, std::span<std::uint8_t> out) {
  if (out.empty()) return;
  flash_seek(device, offset);
  std::size_t filled = 0;
  while (filled < out.size())
    filled += read_chunk(device, out.data() + filled, chunk_bytes(out.size() - filled));
}

void flash_write(FlashDevice device, const char* label, std::uint32_t offset,
                 std::span<const std::uint8_t> data) {
  flash_seek(device, offset);
  std::printf("Writing %s at %u (size %u)\n", label, offset, static_cast<std::uint32_t>(data.size()));
  if (data.empty()) {
    // The second seek is kept on purpose: the device sees the same calls
    // for an empty write as it always has, and tests pin them.
    flash_seek(device, offset);
    return;
  }

  progress_begin(ProgressKind::Write, 2 * static_cast<std::uint64_t>(data.size()));
  for (std::size_t written = 0; written < data.size();) {
    const std::size_t chunk = chunk_bytes(data.size() - written);
    const ssize_t put = write(device.fd, data.data() + written, chunk);
    if (put < 0) fail(1, "ERROR: Write to flash failed (%s)\n", std::strerror(errno));
    if (static_cast<std::size_t>(put) != chunk) fail(1, "ERROR: Write to flash failed short\n");
    written += chunk;
    progress_update(written);
  }

  // Read everything back: a NOR write can only clear bits, so anything that
  // was not erased first, or did not take, shows up here.
  flash_seek(device, offset);
  std::array<std::uint8_t, 64> scratch{};
  for (std::size_t verified = 0; verified < data.size();) {
    const std::size_t got = read_chunk(device, scratch.data(), chunk_bytes(data.size() - verified));
    if (std::memcmp(scratch.data(), data.data() + verified, got) != 0)
      fail(1, "ERROR: Read from flash returned different data than what was written\n");
    verified += got;
    progress_update(data.size() + verified);
  }
  progress_end();
}

void flash_erase(FlashDevice device, std::uint32_t offset, std::uint32_t length) {
  if (length == 0) return;
  std::printf("Erasing %u bytes at %u\n", length, offset);
  progress_begin(ProgressKind::Erase, length);
  erase_info_user request{};
  request.start = offset;
  request.length = length;
  // The error text follows the range without parentheses, unlike every
  // other system error the tool prints; kept on purpose, as scripts and
  // users may match this line as it has always read.
  if (ioctl(device.fd, MEMERASE, &request) != 0)
    fail(1, "ERROR: Erase failed at %u (size %u) %s\n", offset, length, std::strerror(errno));
  progress_end();
}

void flash_retire_area(FlashDevice device, std::uint32_t offset, std::uint32_t erase_length,
                       std::size_t zeroed_bytes) {
  static constexpr std::array<std::uint8_t, kZeroedBytesMax> zeros{};
  const std::span<const std::uint8_t> cleared(zeros.data(), std::min(zeroed_bytes, zeros.size()));
  flash_write(device, kZeroedMagicLabel, offset, cleared.first(kMagicBytes));
  if (cleared.size() > kMagicBytes)
    flash_write(device, kZeroedMagicLabel, offset + kMagicBytes, cleared.subspan(kMagicBytes));
  flash_erase(device, offset, erase_length);
}

void flash_fill_area(FlashDevice device, const char* body_label, const char* magic_label,
                     std::uint32_t offset, std::span<const std::uint8_t> data) {
  flash_write(device, body_label, offset + kMagicBytes, data.subspan(kMagicBytes));
  flash_write(device, magic_label, offset, data.first(kMagicBytes));
}

void flash_write_area(FlashDevice device, const char* label, std::uint32_t offset,
                      std::uint32_t erase_length, std::span<const std::uint8_t> data) {
  flash_retire_area(device, offset, erase_length);
  flash_fill_area(device, label, label, offset, data);
}

}  // namespace duobl
