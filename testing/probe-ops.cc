// SPDX-License-Identifier: GPL-2.0-or-later
// probe-ops: performs a script of operations on /dev/mtd0 given on the
// command line and prints one line per operation, so that tests can drive
// the simulated board through the same system calls the tool makes.
//
//   open [rdonly|wronly|rdwr]   open("/dev/mtd0")          -> "open R"
//   openat [rdonly|wronly|rdwr] openat(AT_FDCWD, ...)      -> "openat R"
//   seek OFFSET [set|cur|end]   lseek                      -> "seek R"
//   read N                      one read() of N bytes      -> "read R HEX"
//   readchk N                   one __read_chk() of N      -> "readchk R HEX"
//   write HEX                   one write() of the bytes   -> "write R"
//   fill N BYTE                 one write() of N x BYTE    -> "fill R"
//   erase START LENGTH          ioctl(MEMERASE)            -> "erase R"
//   info                        ioctl(MEMGETINFO)          -> "info type T flags F size S erasesize E writesize W"
//   ioctl REQUEST               any other ioctl            -> "ioctl R"
//   close                       close()                    -> "close R"
//   cat PATH N                  open PATH, read N at a time until 0 -> "cat R R ... 0"
//   exec PROGRAM [ARGS...]      replaces the process with PROGRAM, the rest of
//                               the script its arguments    -> "exec -1 ENAME" if that fails
//
// R is the call's result, or "-1 ENAME" when it failed. Numbers take any
// base strtoull accepts. Exits 0 after the script, 2 on a malformed script.

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen);

namespace {

constexpr std::size_t kBufferBytes = 1 << 20;
std::uint8_t buffer[kBufferBytes];

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "probe-ops: %s\n", why);
  std::exit(2);
}

unsigned long long number(const char* text) {
  if (text == nullptr) usage("missing number");
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0') usage("bad number");
  return value;
}

long long signed_number(const char* text) {
  if (text == nullptr) usage("missing number");
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 0);
  if (end == text || *end != '\0') usage("bad number");
  return value;
}

void print_result(const char* op, long long result) {
  if (result < 0) {
    const char* name = strerrorname_np(errno);
    std::printf("%s -1 %s", op, name != nullptr ? name : "?");
  } else {
    std::printf("%s %lld", op, result);
  }
}

void print_hex(const std::uint8_t* bytes, long long count) {
  if (count <= 0) return;
  std::printf(" ");
  for (long long i = 0; i < count; ++i) std::printf("%02x", bytes[i]);
}

int access_mode(const char* word) {
  if (word == nullptr || std::strcmp(word, "rdwr") == 0) return O_RDWR;
  if (std::strcmp(word, "rdonly") == 0) return O_RDONLY;
  if (std::strcmp(word, "wronly") == 0) return O_WRONLY;
  return -1;
}

int whence_of(const char* word) {
  if (word == nullptr || std::strcmp(word, "set") == 0) return SEEK_SET;
  if (std::strcmp(word, "cur") == 0) return SEEK_CUR;
  if (std::strcmp(word, "end") == 0) return SEEK_END;
  return -1;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::size_t parse_hex(const char* text) {
  if (text == nullptr) usage("missing hex bytes");
  const std::size_t digits = std::strlen(text);
  if (digits % 2 != 0 || digits / 2 > kBufferBytes) usage("bad hex bytes");
  for (std::size_t i = 0; i < digits / 2; ++i) {
    const int high = hex_digit(text[2 * i]);
    const int low = hex_digit(text[2 * i + 1]);
    if (high < 0 || low < 0) usage("bad hex bytes");
    buffer[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return digits / 2;
}

std::size_t byte_count(const char* text) {
  const unsigned long long n = number(text);
  if (n > kBufferBytes) usage("count too large");
  return static_cast<std::size_t>(n);
}

}  // namespace

int main(int argc, char** argv) {
  int fd = -1;
  int i = 1;
  auto arg = [&](int k) -> const char* { return i + k < argc ? argv[i + k] : nullptr; };
  // The word at `k` after the op, when it is one of `words` (an optional
  // argument); nullptr otherwise.
  auto optional_word = [&](int k, const char* const* words) -> const char* {
    const char* next = arg(k);
    if (next == nullptr) return nullptr;
    for (const char* const* w = words; *w != nullptr; ++w) {
      if (std::strcmp(*w, next) == 0) return next;
    }
    return nullptr;
  };
  static constexpr const char* kModes[] = {"rdonly", "wronly", "rdwr", nullptr};
  static constexpr const char* kWhences[] = {"set", "cur", "end", nullptr};

  while (i < argc) {
    const char* op = argv[i];
    int used = 1;
    if (std::strcmp(op, "open") == 0 || std::strcmp(op, "openat") == 0) {
      const char* mode = optional_word(1, kModes);
      if (mode != nullptr) used = 2;
      const int flags = access_mode(mode);
      fd = op[4] == '\0' ? open("/dev/mtd0", flags) : openat(AT_FDCWD, "/dev/mtd0", flags);
      print_result(op, fd < 0 ? -1 : 0);
    } else if (std::strcmp(op, "seek") == 0) {
      const long long offset = signed_number(arg(1));
      const char* whence = optional_word(2, kWhences);
      used = whence != nullptr ? 3 : 2;
      print_result(op, lseek(fd, static_cast<off_t>(offset), whence_of(whence)));
    } else if (std::strcmp(op, "read") == 0 || std::strcmp(op, "readchk") == 0) {
      const std::size_t n = byte_count(arg(1));
      used = 2;
      const ssize_t got =
          op[4] == '\0' ? read(fd, buffer, n) : __read_chk(fd, buffer, n, sizeof buffer);
      print_result(op, got);
      print_hex(buffer, got);
    } else if (std::strcmp(op, "write") == 0) {
      const std::size_t n = parse_hex(arg(1));
      used = 2;
      print_result(op, write(fd, buffer, n));
    } else if (std::strcmp(op, "fill") == 0) {
      const std::size_t n = byte_count(arg(1));
      const unsigned long long value = number(arg(2));
      used = 3;
      std::memset(buffer, static_cast<int>(value & 0xff), n);
      print_result(op, write(fd, buffer, n));
    } else if (std::strcmp(op, "erase") == 0) {
      erase_info_user range{};
      range.start = static_cast<std::uint32_t>(number(arg(1)));
      range.length = static_cast<std::uint32_t>(number(arg(2)));
      used = 3;
      print_result(op, ioctl(fd, MEMERASE, &range));
    } else if (std::strcmp(op, "info") == 0) {
      mtd_info_user info{};
      const int result = ioctl(fd, MEMGETINFO, &info);
      print_result(op, result);
      if (result == 0) {
        std::printf(" type %u flags %#x size %u erasesize %u writesize %u",
                    static_cast<unsigned>(info.type), info.flags, info.size, info.erasesize,
                    info.writesize);
      }
    } else if (std::strcmp(op, "ioctl") == 0) {
      const unsigned long long request = number(arg(1));
      used = 2;
      print_result(op, ioctl(fd, static_cast<unsigned long>(request), buffer));
    } else if (std::strcmp(op, "close") == 0) {
      print_result(op, close(fd));
      fd = -1;
    } else if (std::strcmp(op, "cat") == 0) {
      const char* path = arg(1);
      if (path == nullptr) usage("missing path");
      const std::size_t n = byte_count(arg(2));
      used = 3;
      const int file = open(path, O_RDONLY);
      if (file < 0) {
        print_result(op, -1);
      } else {
        std::printf("%s", op);
        // A file that never ends would be a fault of the board; stop anyway.
        for (int reads = 0; reads < 100000; ++reads) {
          const ssize_t got = read(file, buffer, n);
          print_result("", got);
          if (got <= 0) break;
        }
        close(file);
      }
    } else if (std::strcmp(op, "exec") == 0) {
      if (arg(1) == nullptr) usage("missing program");
      std::fflush(stdout);
      execv(arg(1), argv + i + 1);
      print_result(op, -1);
      used = argc - i;
    } else {
      usage("unknown operation");
    }
    std::printf("\n");
    std::fflush(stdout);
    i += used;
  }
  return 0;
}
