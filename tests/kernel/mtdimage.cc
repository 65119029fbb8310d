// SPDX-License-Identifier: GPL-2.0-or-later
// mtdimage: puts a flash image onto an MTD device and describes what a device
// or an image file holds, for the kernel comparison test. It is built twice:
// statically for the guest, where it works on /dev/mtdN, and for the build
// machine, where it describes the simulated board's image files in the same
// words.
//
//   mtdimage load DEVICE IMAGE   erase the whole device, then write IMAGE from
//                                offset 0, skipping erased (all 0xFF) blocks;
//                                an IMAGE shorter than the device leaves the
//                                rest erased
//   mtdimage map PATH            one line "OFFSET DIGEST" (hex) for every 4096
//                                byte block of PATH that is not all 0xFF, then
//                                "size N"
//
// Messages go to standard error; the status is 0 on success, 1 on failure.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

constexpr std::size_t kBlockBytes = 4096;

using Block = std::array<std::uint8_t, kBlockBytes>;

[[noreturn]] void die(const char* what, const char* path) {
  std::fprintf(stderr, "mtdimage: %s %s: %s\n", what, path, std::strerror(errno));
  std::_Exit(1);
}

bool is_erased(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    if (b != 0xFF) return false;
  }
  return true;
}

// Reads until `out` is full or the file ends; returns the count read.
std::size_t read_full(int fd, std::span<std::uint8_t> out, const char* path) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = read(fd, out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("cannot read", path);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void write_full(int fd, std::span<const std::uint8_t> data, const char* path) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("cannot write", path);
    }
    if (n == 0) {
      errno = ENOSPC;
      die("cannot write", path);
    }
    done += static_cast<std::size_t>(n);
  }
}

int load(const char* device_path, const char* image_path) {
  const int dev = open(device_path, O_RDWR);
  if (dev < 0) die("cannot open", device_path);
  mtd_info_user info{};
  if (ioctl(dev, MEMGETINFO, &info) != 0) die("MEMGETINFO failed on", device_path);
  const int image = open(image_path, O_RDONLY);
  if (image < 0) die("cannot open", image_path);
  struct stat st {};
  if (fstat(image, &st) != 0) die("cannot stat", image_path);
  if (static_cast<std::uint64_t>(st.st_size) > info.size) {
    std::fprintf(stderr, "mtdimage: %s (%lld bytes) is larger than %s (%u bytes)\n", image_path,
                 static_cast<long long>(st.st_size), device_path, info.size);
    return 1;
  }
  erase_info_user erase{0, info.size};
  if (ioctl(dev, MEMERASE, &erase) != 0) die("MEMERASE failed on", device_path);

  Block block{};
  std::uint32_t offset = 0;
  for (;;) {
    const std::size_t n = read_full(image, block, image_path);
    if (n == 0) break;
    const std::span<const std::uint8_t> data(block.data(), n);
    if (!is_erased(data)) {
      if (lseek(dev, offset, SEEK_SET) != static_cast<off_t>(offset)) die("cannot seek", device_path);
      write_full(dev, data, device_path);
    }
    offset += static_cast<std::uint32_t>(n);
    if (n < block.size()) break;
  }
  close(image);
  close(dev);
  return 0;
}

// 64-bit FNV-1a: enough to tell blocks apart in a report, cheap under
// emulation.
std::uint64_t digest(std::span<const std::uint8_t> bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  return h;
}

int map(const char* path) {
  const int fd = open(path, O_RDONLY);
  if (fd < 0) die("cannot open", path);
  Block block{};
  std::uint64_t offset = 0;
  for (;;) {
    const std::size_t n = read_full(fd, block, path);
    if (n == 0) break;
    const std::span<const std::uint8_t> data(block.data(), n);
    if (!is_erased(data)) {
      std::printf("%08llx %016llx\n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(digest(data)));
    }
    offset += n;
    if (n < block.size()) break;
  }
  close(fd);
  std::printf("size %llu\n", static_cast<unsigned long long>(offset));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "load") == 0) return load(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "map") == 0) return map(argv[2]);
  std::fprintf(stderr, "usage: mtdimage load DEVICE IMAGE | mtdimage map PATH\n");
  return 2;
}
