// SPDX-License-Identifier: GPL-2.0-or-later
#include "install/uboot.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "formats/content.h"
#include "formats/fit.h"
#include "install/spl_dtb.h"
#include "platform/fatal.h"
#include "platform/file.h"

namespace duobl {
namespace {

constexpr std::size_t kTplBufferBytes = 0x100000;  // 1 MiB
constexpr std::size_t kItbBufferBytes = 0x400000;  // 4 MiB
// TPL and SPL, each rounded up to kImageAlignBytes, must fit in this. The
// header area goes in front of them and the whole set must fit the smallest
// SPL area; the limit keeps a whole 4 KiB for the 2 KiB header area, so the
// last 2 KiB of the smallest area are never used.
constexpr std::uint32_t kTplSplMaxBytes = kSplAreaMinBytes - 4096;
constexpr std::uint32_t kImageAlignBytes = 2048;
// The U-Boot install clears the first 32 bytes of the old header, not only
// its magic: the fields behind the magic that give the image count, sizes
// and flags go too, so that what is left of a header whose area was not
// erased whole is no longer read as that header. The magic goes first, on
// its own (flash_retire_area).
constexpr std::size_t kZeroedHeaderBytes = 32;

// The SPL's device tree is edited in place, and libfdt wants trees 8-byte
// aligned; the tree scans of the SPL, the TPL and the ITB rely on the
// buffers' alignment.
alignas(8) std::array<std::uint8_t, kSplBufferBytes> spl_buffer;
alignas(8) std::array<std::uint8_t, kTplBufferBytes> tpl_buffer;
alignas(8) std::array<std::uint8_t, kItbBufferBytes> itb_buffer;

constexpr std::uint32_t round_up_to_image_align(std::uint32_t bytes) {
  return (bytes + kImageAlignBytes - 1) & ~(kImageAlignBytes - 1);
}

// Whether the image starts with the boot header magic of either family: an
// image already made for the boot ROM, not a stage for the set.
bool starts_with_any_header(std::span<const std::uint8_t> image) {
  return starts_with_header_magic(SocFamily::Rk3399, image) ||
         starts_with_header_magic(SocFamily::Rk35xx, image);
}

[[noreturn]] void refuse_name(const char* path, const char* kind, std::string_view name,
                              const char* needs) {
  fail(1, "ERROR: %s is not a %s (its content is '%.*s'): %s\n", path, kind,
       static_cast<int>(name.size()), name.data(), needs);
}

// A TPL's own device tree, where it carries one, must be whole and name the
// running machine, as the SPL's must.
void check_tpl_tree(const char* path, std::span<const std::uint8_t> tpl,
                    std::span<const std::uint8_t> room, const MachineType& machine_type) {
  std::uint32_t at = 0;
  if (!find_appended_tree(room, tpl.size(), at)) return;
  const std::span<const std::uint8_t> tree = tpl.subspan(at);
  switch (check_tree(tree)) {
    case TreeCheck::Sound: break;
    case TreeCheck::CutShort:
      fail(1, "ERROR: %s is cut short: its device tree at %u claims %u bytes, the file holds %zu\n",
           path, at, tree_claimed_bytes(tree), tree.size());
    case TreeCheck::NotATree:
    case TreeCheck::Unwalkable:
      fail(1, "ERROR: %s carries a device tree at %u that cannot be read\n", path, at);
  }
  MachineType tpl_machine{};
  if (read_machine_type(tree, tpl_machine) != 0)
    fail(1, "ERROR: %s carries a device tree at %u that names no machine\n", path, at);
  if (std::strncmp(tpl_machine.data(), machine_type.data(), kMachineTypeBytes) != 0)
    fail(1, "ERROR: %s is built for %s, not for this machine (%s)\n", path, tpl_machine.data(),
         machine_type.data());
}

void check_itb(const char* path, std::span<const std::uint8_t> itb) {
  const FitCheck fit = check_fit(itb);
  const auto image = [&] { return static_cast<int>(fit.image.size()); };
  switch (fit.problem) {
    case FitProblem::None: return;
    case FitProblem::NotATree: fail(1, "ERROR: %s is not a U-Boot ITB (no FIT image tree)\n", path);
    case FitProblem::TreeCutShort:
      fail(1, "ERROR: %s is cut short: its FIT image tree claims %u bytes, the file holds %zu\n",
           path, fit.claimed_bytes, itb.size());
    case FitProblem::Unreadable:
      fail(1, "ERROR: %s is not a U-Boot ITB (its image tree cannot be read)\n", path);
    case FitProblem::NoImages:
      fail(1, "ERROR: %s is not a U-Boot ITB (a device tree without FIT images)\n", path);
    case FitProblem::NoConfigurations:
      fail(1, "ERROR: %s is not a U-Boot ITB (a FIT without configurations)\n", path);
    case FitProblem::ImageWithoutData:
      fail(1, "ERROR: %s is not a U-Boot ITB (its FIT image '%.*s' has no data)\n", path, image(),
           fit.image.data());
    case FitProblem::BadDataCell:
      fail(1, "ERROR: %s is not a U-Boot ITB (its FIT image '%.*s' has a data position, offset "
              "or size that is not one 32-bit cell)\n",
           path, image(), fit.image.data());
    case FitProblem::DataCutShort:
      fail(1, "ERROR: %s is cut short: the data of its FIT image '%.*s' ends at %llu, the file "
              "holds %zu\n",
           path, image(), fit.image.data(), static_cast<unsigned long long>(fit.data_end),
           itb.size());
  }
}

}  // namespace

UbootSet prepare_uboot_set(const FlashLayout& layout, const MachineType& machine_type,
                           const UbootPaths& paths) {
  const std::size_t spl_file_bytes = load_file(paths.spl, spl_buffer);
  const auto tpl_bytes = static_cast<std::uint32_t>(load_file(paths.tpl, tpl_buffer));
  const auto itb_bytes = static_cast<std::uint32_t>(load_file(paths.itb, itb_buffer));

  const std::uint32_t tree_offset =
      find_spl_dtb(spl_buffer, spl_file_bytes, machine_type, paths.spl);
  if (layout.itb_target.size < itb_bytes) fail(1, "ERROR: U-Boot is too big\n");
  const PatchedSpl patched =
      set_spl_payload_offset(spl_buffer, tree_offset, layout.itb_target.offset);

  UbootSet set;
  set.paths = paths;
  set.tpl_rounded_bytes = round_up_to_image_align(tpl_bytes);
  set.spl_rounded_bytes = round_up_to_image_align(patched.spl_bytes);
  if (set.tpl_rounded_bytes + set.spl_rounded_bytes > kTplSplMaxBytes)
    fail(1, "ERROR: SPL+DTB is too big\n");
  set.tpl = std::span(tpl_buffer).first(tpl_bytes);
  set.tpl_room = tpl_buffer;
  set.spl = std::span(spl_buffer).first(patched.spl_bytes);
  set.itb = std::span(itb_buffer).first(itb_bytes);
  set.spl_tree_offset = patched.tree_offset;
  return set;
}

void check_uboot_set(const MachineType& machine_type, const UbootSet& set) {
  const UbootPaths& paths = set.paths;
  if (set.tpl.empty())
    fail(1, "ERROR: %s is empty: --uboot-tpl needs U-Boot's TPL (u-boot-tpl.bin)\n", paths.tpl);
  if (starts_with_any_header(set.tpl))
    fail(1, "ERROR: %s starts with a boot header: --uboot-tpl needs the TPL alone (u-boot-tpl.bin)\n",
         paths.tpl);
  const std::string_view tpl_name = identify_content(set.tpl);
  if (tpl_name != kUbootTplName && tpl_name != kDdrbinName)
    refuse_name(paths.tpl, "U-Boot TPL", tpl_name,
                "--uboot-tpl needs u-boot-tpl.bin or a DRAM init blob");
  check_tpl_tree(paths.tpl, set.tpl, set.tpl_room, machine_type);

  if (starts_with_any_header(set.spl))
    fail(1, "ERROR: %s starts with a boot header: --uboot-spl needs the SPL alone (u-boot-spl.bin)\n",
         paths.spl);
  if (set.spl_tree_offset == 0)
    fail(1, "ERROR: %s is a device tree, not a U-Boot SPL (u-boot-spl.bin)\n", paths.spl);
  const std::string_view spl_name = identify_content(set.spl);
  if (spl_name != kUbootSplName)
    refuse_name(paths.spl, "U-Boot SPL", spl_name, "--uboot-spl needs u-boot-spl.bin");

  check_itb(paths.itb, set.itb);
}

void install_uboot_set(FlashDevice device, const FlashLayout& layout, SocFamily family,
                       const UbootSet& set) {
  const FlashArea& spl_area = layout.spl_target;
  const FlashArea& itb_area = layout.itb_target;
  std::printf("TPL size = %u, SPL size = %u\n", set.tpl_rounded_bytes, set.spl_rounded_bytes);
  // On Rk3399 the header marks the TPL by its first four bytes.
  const BootHeaderArea header = build_header_area(
      family, static_cast<std::uint16_t>(set.tpl_rounded_bytes / kSectorBytes),
      static_cast<std::uint16_t>(set.spl_rounded_bytes / kSectorBytes), set.tpl);
  const std::uint32_t tpl_offset = spl_area.offset + static_cast<std::uint32_t>(kHeaderAreaBytes);
  const std::uint32_t spl_offset = tpl_offset + set.tpl_rounded_bytes;

  // Until the very last write the target area carries no valid magic.
  flash_retire_area(device, spl_area.offset, spl_area.size, kZeroedHeaderBytes);
  flash_erase(device, itb_area.offset, itb_area.size);
  flash_write(device, "U-Boot ITB", itb_area.offset, set.itb);
  flash_write(device, "U-Boot SPL", spl_offset, set.spl);
  flash_write(device, "U-Boot TPL", tpl_offset, set.tpl);
  flash_fill_area(device, "Rockchip bootloader header", "Bootloader header magic bytes",
                  spl_area.offset, header);
}

}  // namespace duobl
