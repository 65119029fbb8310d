// SPDX-License-Identifier: GPL-2.0-or-later
// Machine identification over an arbitrary device-tree blob, served as the
// kernel's tree: the fuzz build links open() through the wrapper below,
// which hands out the input in a memory file for that one path.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_end.h"
#include "platform/machine.h"

namespace {

alignas(8) std::array<std::uint8_t, duobl::kMachineTreeBytes> tree_buffer;
const std::uint8_t* input = nullptr;
std::size_t input_bytes = 0;

}  // namespace

extern "C" int __real_open(const char* path, int flags, ...);

extern "C" int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (std::strcmp(path, duobl::kMachineTreePath) != 0) return __real_open(path, flags, mode);
  const int fd = memfd_create("fdt", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (input_bytes > 0 && write(fd, input, input_bytes) != static_cast<ssize_t>(input_bytes)) std::abort();
  lseek(fd, 0, SEEK_SET);
  return fd;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= tree_buffer.size()) return 0;
  input = data;
  input_bytes = size;
  tree_buffer.fill(0);
  try {
    const duobl::Machine machine = duobl::identify_machine(tree_buffer);
    // An identified machine has a terminated type and the probe table of
    // its family.
    if (std::memchr(machine.type.data(), '\0', machine.type.size()) == nullptr) std::abort();
    if (machine.probe.count != (machine.family == duobl::SocFamily::Rk3399 ? 13u : 16u)) std::abort();
  } catch (const duobl::fuzz::RunEnded& ended) {
    if (ended.status != 1 && ended.status != 2) std::abort();
  }
  return 0;
}
