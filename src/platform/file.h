// SPDX-License-Identifier: GPL-2.0-or-later
// Loading a whole input file into a fixed buffer that the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace duobl {

// Reads the whole file at `path` into `buffer` and returns its length, which
// is always less than buffer.size(). Ends the process with status 1 and one
// "ERROR: " line when the file cannot be opened or read, or when it fills the
// buffer (a file exactly as large as the buffer is refused too). Bytes of the
// buffer beyond the returned length are left as they were.
std::size_t load_file(const char* path, std::span<std::uint8_t> buffer);

}  // namespace duobl
