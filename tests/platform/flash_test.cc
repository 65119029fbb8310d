// SPDX-License-Identifier: GPL-2.0-or-later
// The read and write loops work on any file descriptor, so an in-memory file
// stands in for the device here; what needs MTD itself (erase, geometry,
// NOR semantics, system-call sizes) is covered by the system tests.
#include "platform/flash.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <numeric>
#include <vector>

#include "fixture/capture.h"

namespace duobl {
namespace {

using duobl::testing::begin_capture;
using duobl::testing::end_capture;
using duobl::testing::stdout_to_stderr;

FlashDevice memory_device(std::size_t size, std::uint8_t fill) {
  const int fd = memfd_create("flash", 0);
  std::vector<std::uint8_t> bytes(size, fill);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(size));
  return FlashDevice{fd};
}

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{7});
  return bytes;
}

TEST(FlashWrite, WritesVerifiesAndPrintsItsLine) {
  const FlashDevice device = memory_device(4096, 0xff);
  const auto data = pattern(1000);
  auto capture = begin_capture();
  flash_write(device, "U-Boot ITB", 100, data);
  EXPECT_EQ(end_capture(capture), "Writing U-Boot ITB at 100 (size 1000)\n");

  std::vector<std::uint8_t> back(1000);
  flash_read(device, 100, back);
  EXPECT_EQ(back, data);
  close(device.fd);
}

TEST(FlashWrite, ZeroLengthPrintsAndWritesNothing) {
  const FlashDevice device = memory_device(256, 0xff);
  auto capture = begin_capture();
  flash_write(device, "U-Boot TPL", 64, {});
  EXPECT_EQ(end_capture(capture), "Writing U-Boot TPL at 64 (size 0)\n");
  EXPECT_EQ(lseek(device.fd, 0, SEEK_CUR), 64);
  std::vector<std::uint8_t> back(256);
  flash_read(device, 0, back);
  EXPECT_EQ(back, std::vector<std::uint8_t>(256, 0xff));
  close(device.fd);
}

TEST(FlashRead, ZeroLengthDoesNotSeek) {
  const FlashDevice device = memory_device(256, 0);
  lseek(device.fd, 17, SEEK_SET);
  flash_read(device, 200, {});
  EXPECT_EQ(lseek(device.fd, 0, SEEK_CUR), 17);
  close(device.fd);
}

TEST(FlashEraseDeathTest, ZeroLengthIssuesNoRequest) {
  // MEMERASE fails on an in-memory file, so a request would end the process
  // (natively with ENOTTY; under user-mode emulation with ENOSYS).
  const FlashDevice device = memory_device(256, 0);
  auto capture = begin_capture();
  flash_erase(device, 0, 0);
  EXPECT_EQ(end_capture(capture), "");
  EXPECT_EXIT({ stdout_to_stderr(); flash_erase(device, 4096, 8192); },
              ::testing::ExitedWithCode(1),
              "^Erasing 8192 bytes at 4096\nERROR: Erase failed at 4096 \\(size 8192\\) "
              "(Inappropriate ioctl for device|Function not implemented)\n$");
  close(device.fd);
}

TEST(FlashDeathTest, ReadsPastTheEndEndTheRunInsteadOfLooping) {
  const FlashDevice device = memory_device(100, 0xff);
  std::vector<std::uint8_t> out(64);
  EXPECT_EXIT({ stdout_to_stderr(); flash_read(device, 80, out); }, ::testing::ExitedWithCode(1),
              "^ERROR: Read from flash failed \\(end of device\\)\n$");
  close(device.fd);
}

TEST(FlashDeathTest, SeekAndDeviceErrorsCarryTheSystemText) {
  const FlashDevice closed{-1};
  std::vector<std::uint8_t> out(4);
  EXPECT_EXIT({ stdout_to_stderr(); flash_read(closed, 12, out); }, ::testing::ExitedWithCode(1),
              "^ERROR: Seek to 12 failed \\(Bad file descriptor\\)\n$");

  // A read-only descriptor: the seek succeeds, the write does not.
  const FlashDevice device = memory_device(256, 0xff);
  const std::string path = "/proc/self/fd/" + std::to_string(device.fd);
  const FlashDevice read_only{open(path.c_str(), O_RDONLY)};
  const auto data = pattern(8);
  EXPECT_EXIT({ stdout_to_stderr(); flash_write(read_only, "x", 0, data); },
              ::testing::ExitedWithCode(1),
              "^Writing x at 0 \\(size 8\\)\nERROR: Write to flash failed \\(Bad file descriptor\\)\n$");
  close(read_only.fd);
  close(device.fd);
}

TEST(FlashWriteArea, ZeroesTheMagicErasesThenWritesTheFirstFourBytesLast) {
  // Erase fails on a memory file, so only check the order of lines through a
  // zero erase length (no request issued).
  const FlashDevice device = memory_device(8192, 0xff);
  const auto data = pattern(6144);
  auto capture = begin_capture();
  flash_write_area(device, "duobl backup area", 1024, 0, data);
  EXPECT_EQ(end_capture(capture),
            "Writing Zeroed magic header at 1024 (size 4)\n"
            "Writing duobl backup area at 1028 (size 6140)\n"
            "Writing duobl backup area at 1024 (size 4)\n");
  std::vector<std::uint8_t> back(6144);
  flash_read(device, 1024, back);
  EXPECT_EQ(back, data);
  close(device.fd);
}

}  // namespace
}  // namespace duobl
