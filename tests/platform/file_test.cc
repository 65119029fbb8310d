// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "fixture/board.h"
#include "fixture/capture.h"

namespace duobl {
namespace {

using duobl::testing::stdout_to_stderr;
using duobl::testing::write_temp_file;

TEST(LoadFile, AcceptsFilesSmallerThanTheBuffer) {
  std::array<std::uint8_t, 16> buffer{};
  buffer.fill(0xee);
  const std::string path = write_temp_file("fifteen", testing::Bytes(15, 0x5a));
  EXPECT_EQ(load_file(path.c_str(), buffer), 15u);
  EXPECT_EQ(buffer[14], 0x5a);
  EXPECT_EQ(buffer[15], 0xee) << "bytes beyond the file stay as they were";

  const std::string empty = write_temp_file("empty", {});
  EXPECT_EQ(load_file(empty.c_str(), buffer), 0u);
}

TEST(LoadFileDeathTest, RefusesAFileThatFillsTheBuffer) {
  std::array<std::uint8_t, 16> buffer{};
  const std::string path = write_temp_file("sixteen", testing::Bytes(16, 1));
  EXPECT_EXIT({ stdout_to_stderr(); load_file(path.c_str(), buffer); },
              ::testing::ExitedWithCode(1),
              "^ERROR: File .*/sixteen is too big for the buffer size 16\n$");
}

TEST(LoadFileDeathTest, ReportsOpenAndReadErrors) {
  std::array<std::uint8_t, 16> buffer{};
  EXPECT_EXIT({ stdout_to_stderr(); load_file("/nonexistent/image.bin", buffer); },
              ::testing::ExitedWithCode(1),
              "^ERROR: Failed to open /nonexistent/image.bin \\(No such file or directory\\)\n$");
  EXPECT_EXIT({ stdout_to_stderr(); load_file("/", buffer); }, ::testing::ExitedWithCode(1),
              "^ERROR: Failed to read / \\(Is a directory\\)\n$");
}

TEST(LoadFile, AssemblesShortReadsFromAPipe) {
  const std::string dir = write_temp_file("unused", {});
  const std::string fifo = dir + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    FILE* out = std::fopen(fifo.c_str(), "w");
    for (int i = 0; i < 100; ++i) {
      std::fputc('a' + i % 26, out);
      std::fflush(out);
    }
    std::fclose(out);
  });
  std::array<std::uint8_t, 4096> buffer{};
  const std::size_t got = load_file(fifo.c_str(), buffer);
  writer.join();
  ASSERT_EQ(got, 100u);
  for (std::size_t i = 0; i < got; ++i) EXPECT_EQ(buffer[i], 'a' + i % 26);
}

}  // namespace
}  // namespace duobl
