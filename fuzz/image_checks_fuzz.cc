// SPDX-License-Identifier: GPL-2.0-or-later
// The checks that every input file passes before the flash is changed, over
// arbitrary bytes. The first input byte chooses:
//
//   bit 0      the family (loader and generic SPL checks)
//   bits 1-2   the check: 0 loader, 1 generic SPL, 2 FIT, 3 U-Boot set
//   bits 3-5   the running machine of a U-Boot set: one of kMachines, or 7
//              for a text carried in the input (a length byte, then the text)
//
// A loader, generic SPL or FIT is the rest of the input. For a U-Boot set,
// the rest (behind the machine's text) holds the TPL's and the SPL's length,
// 24 bits each, little-endian, then the TPL, the SPL and, as the ITB,
// whatever is left; a length is cut to what the input holds. The set goes
// through what a run does with it: the SPL's tree found and given the ITB's
// offset, then the set checked.
//
// When a check accepts, what it promises is read back here with plain byte
// reads, libfdt and the tests' own boot ROM model, never with the tool's
// code: a wrong acceptance aborts, as a crash does.
#include <libfdt.h>
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/fit.h"
#include "fuzz_end.h"
#include "install/loader.h"
#include "install/spl_dtb.h"
#include "install/uboot.h"
#include "oracle/boot_rom_model.h"

namespace {

using duobl::testing::Bytes;
using duobl::testing::RomFamily;

// The installer loads a TPL into a buffer of this size and hands all of it
// to the check as the room its tree may claim.
constexpr std::size_t kTplBufferBytes = 0x100000;
// Stored in the SPL's tree; the checks do not depend on it.
constexpr std::uint32_t kItbOffset = 913408;

// Larger than any input (the installer's ITB buffer); a longer input, run
// by hand, is skipped.
constexpr std::size_t kFileBufferBytes = 0x400000;

alignas(8) std::array<std::uint8_t, kTplBufferBytes> tpl_buffer;
alignas(8) std::array<std::uint8_t, duobl::kSplBufferBytes> spl_buffer;
alignas(8) std::array<std::uint8_t, kFileBufferBytes> file_buffer;

const std::string kLongMachine(duobl::kMachineTypeBytes + 8, 'x');
const char* const kMachines[7] = {
    "pine64,pinebook-pro", "radxa,rock-3a", "rockchip,rk3399", "rockchip,rk3568",
    "radxa,rock-5b",       "",              kLongMachine.c_str()};

// The file in `buffer` with the rest of the buffer poisoned: any read past
// its end is caught, as on an exact-size copy, without a fresh allocation
// of up to 1.5 MiB for every input.
std::span<const std::uint8_t> held_alone(std::span<std::uint8_t> buffer, std::span<const std::uint8_t> file) {
  ASAN_UNPOISON_MEMORY_REGION(buffer.data(), buffer.size());
  std::copy(file.begin(), file.end(), buffer.begin());
  ASAN_POISON_MEMORY_REGION(buffer.data() + file.size(), buffer.size() - file.size());
  return buffer.first(file.size());
}

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "accepted, but %s\n", what);
  std::abort();
}

std::uint32_t be32(const void* p) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

bool contains(std::span<const std::uint8_t> bytes, std::string_view text) {
  return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

bool starts_with_any_magic(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 4 && (duobl::testing::rom_magic_at(RomFamily::Rk3399, bytes.data()) ||
                               duobl::testing::rom_magic_at(RomFamily::Rk35xx, bytes.data()));
}

// A header the checks accepted, as the boot ROM model decodes it: it starts
// with the family's magic, is padded exactly when `padded`, and the last
// byte the boot ROM reads of each image lies inside the file. Returns the
// bytes the boot ROM reads of the first image.
Bytes accepted_header(RomFamily family, std::span<const std::uint8_t> file, bool padded) {
  require(file.size() >= 4 && duobl::testing::rom_magic_at(family, file.data()),
          "the file does not start with the family's magic");
  const duobl::testing::RomHeader header =
      duobl::testing::rom_decode(family, Bytes(file.begin(), file.end()), 0);
  require(header.padded == padded, "the header block is not stored as the check says");
  const auto stored = [&](std::uint64_t logical) {
    return padded ? logical / 2048 * 4096 + logical % 2048 : logical;
  };
  const auto check_inside = [&](std::uint64_t offset, std::uint64_t size) {
    if (size == 0) return;
    const std::uint64_t from = offset * duobl::testing::kRomSectorBytes;
    const std::uint64_t last = stored(from + size * duobl::testing::kRomSectorBytes - 1);
    require(last < file.size(), "an image the header names runs past the end of the file");
  };
  check_inside(header.first_offset, header.first_size);
  if (header.has_second) check_inside(header.second_offset, header.second_size);

  Bytes first;
  first.reserve(std::uint64_t{header.first_size} * duobl::testing::kRomSectorBytes);
  const std::uint64_t from = std::uint64_t{header.first_offset} * duobl::testing::kRomSectorBytes;
  for (std::uint64_t k = 0; k < std::uint64_t{header.first_size} * duobl::testing::kRomSectorBytes; ++k)
    first.push_back(file[stored(from + k)]);
  return first;
}

// What U-Boot makes of the FIT's images: every image has data, and the
// external data lies inside the file. An image's data is external when it
// has a `data-position` or a `data-offset` property of any length; U-Boot
// reads four bytes of each such property, and of `data-size`, whatever
// length the property claims.
void accepted_fit(std::span<const std::uint8_t> file) {
  require(file.size() >= sizeof(fdt_header) && fdt_magic(file.data()) == FDT_MAGIC &&
              fdt_totalsize(file.data()) <= file.size(),
          "the FIT's tree does not lie inside the file");
  const void* fit = file.data();
  const int images = fdt_path_offset(fit, "/images");
  require(images >= 0 && fdt_first_subnode(fit, images) >= 0, "the FIT has no image");
  require(fdt_path_offset(fit, "/configurations") >= 0, "the FIT has no configurations");
  const auto* end = file.data() + file.size();
  const auto cell = [&](int node, const char* name, std::uint32_t& value) {
    const void* property = fdt_getprop(fit, node, name, nullptr);
    if (property == nullptr) return false;
    require(static_cast<const std::uint8_t*>(property) + 4 <= end, "a FIT cell runs past the file");
    value = be32(property);
    return true;
  };
  const std::uint64_t external_base = (std::uint64_t{fdt_totalsize(fit)} + 3) / 4 * 4;
  int image = 0;
  fdt_for_each_subnode(image, fit, images) {
    std::uint32_t position = 0;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint64_t start = 0;
    if (cell(image, "data-position", position)) {
      start = position;
    } else if (cell(image, "data-offset", offset)) {
      start = external_base + offset;
    } else {
      require(fdt_getprop(fit, image, "data", nullptr) != nullptr, "a FIT image has no data");
      continue;
    }
    require(cell(image, "data-size", size), "a FIT image with external data has no data-size");
    require(start + size <= file.size(), "a FIT image's external data runs past the end of the file");
  }
}

// The last tree in the TPL (the highest 8-byte aligned offset at least 256
// bytes before its end where libfdt accepts a header whose claimed size
// lies inside the file), where it has one, names the running machine.
void accepted_tpl_tree(std::span<const std::uint8_t> tpl, const duobl::MachineType& machine) {
  if (tpl.size() < 256) return;
  for (std::size_t at = (tpl.size() - 256) / 8 * 8;; at -= 8) {
    const std::uint8_t* tree = tpl.data() + at;
    if (fdt_magic(tree) == FDT_MAGIC && fdt_check_header(tree) == 0 &&
        fdt_totalsize(tree) <= tpl.size() - at) {
      int length = 0;
      const auto* list = static_cast<const char*>(fdt_getprop(tree, 0, "compatible", &length));
      require(list != nullptr && length > 0, "the TPL's tree has no compatible");
      const std::size_t first = strnlen(list, static_cast<std::size_t>(length));
      require(first < static_cast<std::size_t>(length), "the TPL's first compatible is not terminated");
      const std::size_t kept = std::min(first, duobl::kMachineTypeBytes - 1);
      require(std::strlen(machine.data()) == kept && std::memcmp(list, machine.data(), kept) == 0,
              "the TPL's tree names another machine");
      return;
    }
    if (at == 0) return;
  }
}

void check_single(std::uint8_t selector, std::span<const std::uint8_t> rest) {
  const bool rk35xx = (selector & 1) != 0;
  const auto family = rk35xx ? duobl::SocFamily::Rk35xx : duobl::SocFamily::Rk3399;
  const RomFamily rom = rk35xx ? RomFamily::Rk35xx : RomFamily::Rk3399;
  const std::span<const std::uint8_t> file = held_alone(file_buffer, rest);
  switch ((selector >> 1) & 3) {
    case 0:
      duobl::check_loader(family, {"duobl.bin", file});
      require(contains(accepted_header(rom, file, !rk35xx), "duobl"),
              "the loader's first image does not hold its name");
      break;
    case 1:
      duobl::check_generic_spl(family, {"spl.img", file});
      (void)accepted_header(rom, file, false);
      break;
    case 2:
      if (duobl::check_fit(file).problem == duobl::FitProblem::None) accepted_fit(file);
      break;
  }
}

// A set input taken apart: the running machine, then the framing's end (the
// first byte, the machine's text and the two lengths) and the three files.
struct SetInput {
  duobl::MachineType machine{};
  std::size_t framing = 0;  // 0: the input ends inside the framing
  std::span<const std::uint8_t> tpl, spl, itb;
};

SetInput split_set(std::span<const std::uint8_t> input) {
  SetInput set;
  std::span<const std::uint8_t> rest = input.subspan(1);
  const std::size_t choice = (input[0] >> 3) & 7;
  if (choice < 7) {
    std::strncpy(set.machine.data(), kMachines[choice], set.machine.size() - 1);
  } else {
    if (rest.empty()) return set;
    const std::size_t length = std::min<std::size_t>(rest[0], rest.size() - 1);
    std::copy_n(rest.begin() + 1, length, set.machine.begin());
    rest = rest.subspan(1 + length);
  }
  if (rest.size() < 6) return set;
  const std::size_t tpl_length = rest[0] | (rest[1] << 8) | (rest[2] << 16);
  const std::size_t spl_length = rest[3] | (rest[4] << 8) | (rest[5] << 16);
  rest = rest.subspan(6);
  set.framing = input.size() - rest.size();
  set.tpl = rest.first(std::min(tpl_length, rest.size()));
  rest = rest.subspan(set.tpl.size());
  set.spl = rest.first(std::min(spl_length, rest.size()));
  set.itb = rest.subspan(set.spl.size());
  return set;
}

void check_set(std::span<const std::uint8_t> input) {
  const SetInput input_set = split_set(input);
  const duobl::MachineType& machine = input_set.machine;
  const std::size_t tpl_bytes = input_set.tpl.size();
  const std::size_t spl_bytes = input_set.spl.size();
  // The installer refuses a file that fills its buffer.
  if (input_set.framing == 0 || tpl_bytes >= tpl_buffer.size() || spl_bytes >= spl_buffer.size()) return;

  // The TPL's buffer behind the file is room for a tree, never its bytes:
  // reading it is a finding.
  (void)held_alone(tpl_buffer, input_set.tpl);
  // The SPL's tree grows into its buffer; start every input from zeros.
  std::copy(input_set.spl.begin(), input_set.spl.end(), spl_buffer.begin());
  std::memset(spl_buffer.data() + spl_bytes, 0, spl_buffer.size() - spl_bytes);
  const std::span<const std::uint8_t> itb = held_alone(file_buffer, input_set.itb);

  const std::uint32_t tree_at = duobl::find_spl_dtb(spl_buffer, spl_bytes, machine, "spl.bin");
  const duobl::PatchedSpl patched = duobl::set_spl_payload_offset(spl_buffer, tree_at, kItbOffset);
  duobl::UbootSet set;
  set.paths = {"tpl.bin", "spl.bin", "u-boot.itb"};
  set.tpl = std::span(tpl_buffer).first(tpl_bytes);
  set.tpl_room = tpl_buffer;
  set.spl = std::span(spl_buffer).first(patched.spl_bytes);
  set.itb = itb;
  set.spl_tree_offset = patched.tree_offset;
  duobl::check_uboot_set(machine, set);

  require(tpl_bytes > 0 && !starts_with_any_magic(set.tpl), "the TPL is empty or a boot image");
  require(contains(set.tpl, "U-Boot TPL") || contains(set.tpl, "DDR V"),
          "the TPL holds no TPL or DRAM init name");
  accepted_tpl_tree(set.tpl, machine);
  require(!starts_with_any_magic(set.spl) && contains(set.spl, "U-Boot SPL"),
          "the SPL is a boot image or holds no SPL name");
  accepted_fit(itb);
}

}  // namespace

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

// A set's parts are mutated one at a time and framed again, so that a
// change to the TPL or the SPL does not shift the boundaries of the others
// (and the ITB, the largest part by far, does not take most mutations).
// Every other input, and the framing of a set, is mutated as it stands.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                              std::size_t max_size, unsigned int seed) {
  const std::size_t part = seed % 4;
  if (size < 1 || ((data[0] >> 1) & 3) != 3 || part == 3) return LLVMFuzzerMutate(data, size, max_size);
  const SetInput set = split_set({data, size});
  if (set.framing == 0) return LLVMFuzzerMutate(data, size, max_size);
  // Kept from call to call: parts of a megabyte and more are not allocated
  // afresh for every mutation.
  static std::array<Bytes, 3> images;
  static Bytes out;
  images[0].assign(set.tpl.begin(), set.tpl.end());
  images[1].assign(set.spl.begin(), set.spl.end());
  images[2].assign(set.itb.begin(), set.itb.end());
  Bytes& mutated = images[part];
  const std::size_t room = max_size > size ? max_size - size : 0;
  const std::size_t was = mutated.size();
  if (was + room == 0) return LLVMFuzzerMutate(data, size, max_size);
  mutated.resize(was + room + 1);
  mutated.resize(LLVMFuzzerMutate(mutated.data(), was, was + room));
  if (set.framing + images[0].size() + images[1].size() + images[2].size() > max_size)
    return LLVMFuzzerMutate(data, size, max_size);

  // The framing keeps its first byte and machine text; the lengths are
  // the parts' own.
  out.assign(data, data + set.framing - 6);
  for (const std::size_t length : {images[0].size(), images[1].size()})
    for (int i = 0; i < 3; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  for (const Bytes& image : images) out.insert(out.end(), image.begin(), image.end());
  std::copy(out.begin(), out.end(), data);
  return out.size();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > file_buffer.size()) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  try {
    if (((data[0] >> 1) & 3) == 3) {
      check_set({data, size});
    } else {
      check_single(data[0], rest);
    }
  } catch (const duobl::fuzz::RunEnded& ended) {
    // A refused file: the tool's own error path, always status 1.
    if (ended.status != 1) std::abort();
  }
  return 0;
}
