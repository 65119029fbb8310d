// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/loader.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "formats/boot_header.h"
#include "formats/content.h"
#include "platform/fatal.h"
#include "platform/file.h"
#include "survey/scan.h"

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

// What the survey would list for the image written where a header is
// looked for; ends the run when it does not start with a header of `family`
// at all, naming `what` the option needs.
HeaderRow inspect_image_header(SocFamily family, const LoadedImage& image, const char* what) {
  if (!starts_with_header_magic(family, image.bytes))
    fail(1, "ERROR: %s is not %s: it does not start with an %s boot header\n", image.path, what,
         family_name(family));
  return inspect_header(file_source(image.bytes), family, 0, 0);
}

std::string_view name_or_unknown(std::string_view name) {
  return name.empty() ? std::string_view("unknown") : name;
}

// What the boot ROM would read of an image must be in the file: behind it
// the flash holds whatever the area held.
void refuse_images_outside(const char* path, const HeaderRow& row) {
  if (!row.images_inside)
    fail(1, "ERROR: %s is cut short: its boot header names images that run past its end\n", path);
}

}  // namespace

void refuse_loaderless_install(SocFamily family, bool loader_in_flash, bool erase_all,
                               bool installs_loader, bool installs_spl) {
  if (family != SocFamily::Rk3399 || !installs_spl || installs_loader) return;
  if (!loader_in_flash || erase_all)
    fail(1,
         "ERROR: No duobl loader in flash: the RK3399 boot ROM cannot load this unpadded image "
         "without it (install one with --duobl)\n");
}

LoadedImage load_loader(const char* path) {
  const std::size_t length = load_file(path, loader_buffer);
  // load_file keeps the length below the buffer size: only the lower bound
  // is left to check.
  if (length < kLoaderMinBytes) fail(1, "ERROR: duobl size is weird\n");
  return {path, std::span<const std::uint8_t>(loader_buffer.data(), length)};
}

void check_loader(SocFamily family, const LoadedImage& loader) {
  const char* path = loader.path;
  const HeaderRow row = inspect_image_header(family, loader, "a duobl loader");
  const bool padded_at_zero = family == SocFamily::Rk3399;
  if (row.padded != padded_at_zero)
    fail(1, "ERROR: %s is stored %s, but the %s boot ROM reads a loader at 0 %s\n", path,
         row.padded ? "padded" : "unpadded", family_name(family),
         padded_at_zero ? "padded" : "unpadded");
  refuse_images_outside(path, row);
  if (row.names[0] != kDuoblName)
    fail(1, "ERROR: %s is not a duobl loader: its first image holds '%.*s'\n", path,
         static_cast<int>(name_or_unknown(row.names[0]).size()), name_or_unknown(row.names[0]).data());
}

void install_loader(FlashDevice device, SocFamily family, const LoadedImage& loader) {
  const bool primary_lost = !holds_magic(device, family, kDuoblPrimaryArea.offset) &&
                            holds_magic(device, family, kDuoblBackupArea.offset);
  if (!primary_lost)
    flash_write_area(device, "duobl backup area", kDuoblBackupArea.offset, kDuoblBackupArea.size,
                     loader.bytes);
  flash_write_area(device, "duobl primary area", kDuoblPrimaryArea.offset,
                   kDuoblPrimaryArea.size, loader.bytes);
  flash_retire_area(device, kDuoblBackupArea.offset, kDuoblBackupArea.size);
}

LoadedImage load_generic_spl(const char* path) {
  const std::size_t length = load_file(path, generic_spl_buffer);
  if (length > kSplAreaMinBytes) fail(1, "ERROR: SPL is too big\n");
  if (length < kGenericSplMinBytes) fail(1, "ERROR: SPL is too small\n");
  return {path, std::span<const std::uint8_t>(generic_spl_buffer.data(), length)};
}

void check_generic_spl(SocFamily family, const LoadedImage& spl) {
  const char* path = spl.path;
  const HeaderRow row = inspect_image_header(family, spl, "a boot image");
  if (row.padded)
    fail(1, "ERROR: %s is stored padded (an SPI flash image): --spl needs an unpadded image, "
            "such as an SD card image\n", path);
  refuse_images_outside(path, row);
  for (const std::string_view name : row.names)
    if (name == kUbootTplName || name == kUbootSplName)
      fail(1, "ERROR: %s holds a '%.*s' image: U-Boot goes in with --uboot-tpl, --uboot-spl and "
              "--uboot-itb, which point its SPL at its ITB\n",
           path, static_cast<int>(name.size()), name.data());
}

void install_generic_spl(FlashDevice device, const LoadedImage& spl, const FlashArea& spl_target,
                         bool replace_fallback) {
  const char* label = replace_fallback ? "fallback bootloader" : "primary bootloader";
  flash_write_area(device, label, spl_target.offset, spl_target.size, spl.bytes);
}

}  // namespace duobl
