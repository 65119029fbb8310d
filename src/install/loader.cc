// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/loader.h"

#include <array>
#include <cstdint>
#include <span>

#include "formats/boot_header.h"
#include "platform/fatal.h"
#include "platform/file.h"

namespace duobl {
namespace {

constexpr std::size_t kLoaderBufferBytes = 0x10000;  // 64 KiB
constexpr std::size_t kLoaderMinBytes = 6144;
constexpr std::size_t kGenericSplBufferBytes = 0x100000;  // 1 MiB
constexpr std::size_t kGenericSplMinBytes = 4096;

std::array<std::uint8_t, kLoaderBufferBytes> loader_buffer;
std::array<std::uint8_t, kGenericSplBufferBytes> generic_spl_buffer;

// Whether the area at `offset` starts with a header magic of `family`.
bool holds_magic(FlashDevice device, SocFamily family, std::uint32_t offset) {
  std::array<std::uint8_t, kMagicBytes> magic;
  flash_read(device, offset, magic);
  return matches_header_magic(family, magic);
}

}  // namespace

void refuse_loaderless_install(SocFamily family, bool padded_expected, bool erase_all,
                               bool installs_loader, bool installs_spl) {
  if (family != SocFamily::Rk3399 || !installs_spl || installs_loader) return;
  if (padded_expected || erase_all)
    fail(1,
         "ERROR: No duobl loader in flash: the RK3399 boot ROM cannot load this unpadded image "
         "without it (install one with --duobl)\n");
}

LoadedImage load_loader(const char* path) {
  const std::size_t length = load_file(path, loader_buffer);
  // load_file keeps the length below the buffer size, so only the lower
  // bound can fail here; the upper one is kept for a larger buffer.
  if (length < kLoaderMinBytes || length > kLoaderBufferBytes)
    fail(1, "ERROR: duobl size is weird\n");
  return {std::span<const std::uint8_t>(loader_buffer.data(), length)};
}

void install_loader(FlashDevice device, SocFamily family, const LoadedImage& loader) {
  const bool primary_lost = !holds_magic(device, family, kDuoblPrimaryArea.offset) &&
                            holds_magic(device, family, kDuoblBackupArea.offset);
  if (!primary_lost)
    flash_write_area(device, "duobl backup area", kDuoblBackupArea.offset, kDuoblBackupArea.size,
                     loader.bytes);
  flash_write_area(device, "duobl primary area", kDuoblPrimaryArea.offset,
                   kDuoblPrimaryArea.size, loader.bytes);
  flash_zero_magic(device, kDuoblBackupArea.offset);
  flash_erase(device, kDuoblBackupArea.offset, kDuoblBackupArea.size);
}

LoadedImage load_generic_spl(const char* path) {
  const std::size_t length = load_file(path, generic_spl_buffer);
  if (length > kSplAreaMinBytes) fail(1, "ERROR: SPL is too big\n");
  if (length < kGenericSplMinBytes) fail(1, "ERROR: SPL is too small\n");
  return {std::span<const std::uint8_t>(generic_spl_buffer.data(), length)};
}

void install_generic_spl(FlashDevice device, const LoadedImage& spl, const FlashArea& spl_target,
                         bool replace_fallback) {
  const char* label = replace_fallback ? "fallback bootloader" : "primary bootloader";
  flash_write_area(device, label, spl_target.offset, spl_target.size, spl.bytes);
}

}  // namespace duobl
