// SPDX-License-Identifier: GPL-2.0-or-later
// Every operation on the SPI NOR flash behind the MTD character device. Each
// operation either completes or prints one "ERROR: " line on standard output
// and ends the process with status 1; callers never see a partial result.
// Transfers move at most 60 bytes per system call and every write is read
// back and compared.
#pragma once

#include <mtd/mtd-user.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace duobl {

inline constexpr const char* kFlashDevicePath = "/dev/mtd0";
inline constexpr const char* kSysfsManufacturerPath = "/sys/class/mtd/mtd0/device/spi-nor/manufacturer";
inline constexpr const char* kSysfsPartNamePath = "/sys/class/mtd/mtd0/device/spi-nor/partname";
inline constexpr const char* kSysfsJedecIdPath = "/sys/class/mtd/mtd0/device/spi-nor/jedec_id";

inline constexpr std::size_t kFlashChunkBytes = 60;

// The open device. Operations keep no other state: every read or write
// sequence starts with an absolute seek.
struct FlashDevice {
  int fd = -1;
};

struct ProbedFlash {
  FlashDevice device;
  mtd_info_user info{};
};

// Opens the device read-write and fetches its geometry. Returns false (with
// nothing printed and nothing left open) when the device cannot be opened,
// MEMGETINFO fails, it is no NOR flash or it is not writeable.
bool flash_open_usable(ProbedFlash& out);

// Takes an exclusive flock on the open device without waiting, so that two
// runs never interleave their changes on one chip. The lock is advisory and
// goes with the process. Ends the process with status 1 and one "ERROR: "
// line when another process holds it or it cannot be taken.
void flash_lock(FlashDevice device);

// What a run will do with the chip.
enum class FlashUse {
  Report,  // read it only
  Change,  // erase or write it: the run holds the lock from the open on
};

// flash_open_usable, the lock when `use` is Change, then the chip report and
// the geometry limits. Ends the process with status 1 and no output when the
// device is unusable, and with status 1 and one "ERROR: " line when the lock
// or a geometry limit fails.
ProbedFlash flash_probe(FlashUse use);

// Prints "label: value" for a sysfs attribute, or nothing when the attribute
// is missing, unreadable, empty after stripping newlines, or 128 bytes or
// longer.
void print_sysfs_attr(const char* label, const char* path);

void flash_seek(FlashDevice device, std::uint32_t offset);

// Fills `out` from the flash at `offset`. A read that ends before the range
// does (the end of the chip) ends the process rather than loop.
void flash_read(FlashDevice device, std::uint32_t offset, std::span<std::uint8_t> out);

// Prints "Writing <label> at <offset> (size <n>)", writes `data` at `offset`
// and verifies it by reading it back. Does not erase.
void flash_write(FlashDevice device, const char* label, std::uint32_t offset,
                 std::span<const std::uint8_t> data);

// Prints "Erasing <n> bytes at <offset>" and issues one MEMERASE request with
// the range unchanged. A zero length prints nothing and issues nothing.
void flash_erase(FlashDevice device, std::uint32_t offset, std::uint32_t length);

// A boot header's magic: the first four bytes of an area that can hold one.
inline constexpr std::size_t kMagicBytes = 4;
inline constexpr const char* kZeroedMagicLabel = "Zeroed magic header";

// Programs the four bytes at `offset` to zero (printed and verified like any
// write), without erasing first: NOR always takes zeros. It comes before
// anything else of an area that may hold a live header is touched. An
// interrupted program or erase leaves its cells indeterminate, not a clean
// prefix; with the magic gone first, an interrupted four-byte program either
// leaves the old header whole or breaks its magic, and a later torn erase or
// write can only bring a magic back by rebuilding it bit by bit from zeros.
void flash_zero_magic(FlashDevice device, std::uint32_t offset);

// Zeroes the magic at `offset`, erases [offset, offset + erase_length),
// writes data from its fifth byte on, then its first four bytes, so that the
// area carries no valid magic from the first write to the very last one.
// `data` holds at least 4 bytes.
void flash_write_area(FlashDevice device, const char* label, std::uint32_t offset,
                      std::uint32_t erase_length, std::span<const std::uint8_t> data);

}  // namespace duobl
