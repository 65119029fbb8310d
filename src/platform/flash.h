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

// The order of writes that keeps a board bootable through a cut: an area
// that may hold a live header is retired before anything of it changes,
// and filled with its magic last, so that it carries no valid magic from
// the first change to the very last write. An interrupted program or erase
// leaves its cells indeterminate, not a clean prefix; with the magic gone
// first, an interrupted program of it either leaves the old header whole or
// breaks its magic, and a later torn erase or write can only bring a magic
// back by rebuilding it bit by bit from zeros.

// Retires the area at `offset`: programs its four magic bytes to zero on
// their own (printed and verified like any write; NOR always takes zeros),
// then zeros over the rest of its first `zeroed_bytes` (at least 4) in one
// more write, then erases [offset, offset + erase_length).
void flash_retire_area(FlashDevice device, std::uint32_t offset, std::uint32_t erase_length,
                       std::size_t zeroed_bytes = kMagicBytes);

// Fills the retired area at `offset` with `data` (at least 4 bytes): from
// its fifth byte on under `body_label`, then its first four bytes under
// `magic_label`, the very last write of the area.
void flash_fill_area(FlashDevice device, const char* body_label, const char* magic_label,
                     std::uint32_t offset, std::span<const std::uint8_t> data);

// Retires the area at `offset` (its magic and an erase of `erase_length`)
// and fills it with `data`, both writes under `label`.
void flash_write_area(FlashDevice device, const char* label, std::uint32_t offset,
                      std::uint32_t erase_length, std::span<const std::uint8_t> data);

}  // namespace duobl
