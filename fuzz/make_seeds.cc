// SPDX-License-Identifier: GPL-2.0-or-later
// Writes the seed corpora of the fuzz targets, one folder per target under
// the folder given as the first argument, from the same builders the tests
// use: flash images holding headers as the installer writes them, U-Boot SPL
// files with and without /config, machine trees of each family, header
// blocks, images carrying each content signature, and loaders, boot images,
// ITBs and U-Boot sets for the image checks.
//
//   make-seeds DIR [--uboot-set NAME FOLDER]...
//
// Each --uboot-set adds the set of U-Boot build FOLDER (its u-boot-tpl.bin,
// u-boot-spl.bin and u-boot.itb) as the image checks' seed NAME, checked
// on the machine that its SPL's tree names.
#include <libfdt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/images.h"
#include "formats/boot_header.h"

namespace {

using duobl::testing::Bytes;
std::string root;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::string dir = root + "/" + target;
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "make-seeds: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

Bytes with_selector(std::uint8_t selector, const Bytes& rest) {
  Bytes out{selector};
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// A header area built by the installer's own code, then TPL and SPL.
Bytes installed_set(duobl::SocFamily family, std::size_t tpl_bytes, const Bytes& spl) {
  Bytes tpl = duobl::testing::make_uboot_tpl(tpl_bytes);
  const auto tpl_sectors = static_cast<std::uint16_t>((tpl_bytes + 2047) / 2048 * 4);
  const auto spl_sectors = static_cast<std::uint16_t>((spl.size() + 2047) / 2048 * 4);
  const duobl::BootHeaderArea area = duobl::build_header_area(family, tpl_sectors, spl_sectors, tpl);
  Bytes flash(area.begin(), area.end());
  append(flash, tpl);
  flash.resize(2048 + tpl_sectors * 512u, 0xFF);
  append(flash, spl);
  return flash;
}

// A loader stored padded: header, 2 KiB of 0xFF, then the code.
Bytes padded_loader(duobl::SocFamily family) {
  Bytes code = duobl::testing::make_signed_image(4096, "duobl", 1);
  const duobl::BootHeaderArea area = duobl::build_header_area(family, 8, 4, code);
  Bytes flash(area.begin(), area.end());
  flash.resize(4096, 0xFF);
  append(flash, duobl::testing::make_signed_image(4096, "duobl", 1));
  return flash;
}

void put_be32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// A tree whose root holds `zero_bytes` zeros in a first property, then the
// compatible list and an empty /config. With `circle`, that first property
// claims a length of -12, which points the library's walk back at it; else
// the reservation block's end entry is made non-empty, so that its walk ends
// inside those zeros, past the start of the structure block.
Bytes hostile_tree(const std::vector<std::string>& compatible, bool circle) {
  Bytes tree(4096);
  void* fdt = tree.data();
  fdt_create(fdt, static_cast<int>(tree.size()));
  fdt_finish_reservemap(fdt);
  fdt_begin_node(fdt, "");
  const Bytes zeros(32, 0);
  fdt_property(fdt, "zeros", zeros.data(), static_cast<int>(zeros.size()));
  std::string list;
  for (const std::string& entry : compatible) list.append(entry).push_back('\0');
  fdt_property(fdt, "compatible", list.data(), static_cast<int>(list.size()));
  fdt_begin_node(fdt, "config");
  fdt_end_node(fdt);
  fdt_end_node(fdt);
  fdt_finish(fdt);
  fdt_pack(fdt);
  tree.resize(fdt_totalsize(fdt));
  if (circle) {
    // BEGIN_NODE and the empty name, then the first property's tag and length.
    put_be32(tree, fdt_off_dt_struct(fdt) + 12, 0xFFFFFFF4);
  } else {
    tree[fdt_off_mem_rsvmap(fdt) + 15] = 1;
  }
  return tree;
}

void survey_seeds() {
  const Bytes spl = duobl::testing::make_uboot_spl().bytes;
  for (const auto family : {duobl::SocFamily::Rk3399, duobl::SocFamily::Rk35xx}) {
    const std::uint8_t f = family == duobl::SocFamily::Rk35xx ? 1 : 0;
    const std::string name = f != 0 ? "rk35xx" : "rk3399";
    put("survey", name + "-set", with_selector(f, installed_set(family, 3000, spl)));
    put("survey", name + "-set-at-probe-2", with_selector(static_cast<std::uint8_t>(f | 4), installed_set(family, 6000, spl)));
    put("survey", name + "-padded-loader", with_selector(f, padded_loader(family)));
    Bytes unaligned(3, 0x00);
    append(unaligned, installed_set(family, 2048, spl));
    put("survey", name + "-unaligned", with_selector(f, unaligned));
  }
  put("survey", "erased", with_selector(0, Bytes(4096, 0xFF)));
}

void spl_seeds() {
  using duobl::testing::SplTreeOptions;
  SplTreeOptions rock;
  rock.compatible = {"radxa,rock-3a", "rockchip,rk3568"};
  SplTreeOptions bare;
  bare.has_config = false;
  SplTreeOptions with_offset;
  with_offset.payload_offset_bytes = 8;
  SplTreeOptions roomy;
  roomy.free_bytes = 512;
  roomy.payload_offset_bytes = 4;
  const struct {
    const char* name;
    std::uint8_t selector;  // machine in bits 0-1, ITB offset in bits 2-3
    SplTreeOptions tree;
  } cases[] = {
      {"pinebook", 0, {}}, {"rock-3a", 1 | 4, rock}, {"no-config", 8, bare},
      {"old-offset", 12, with_offset}, {"free-room", 0, roomy},
  };
  for (const auto& c : cases) {
    Bytes spl = duobl::testing::make_signed_image(1024, "U-Boot SPL", 4);
    duobl::testing::append_tree(spl, duobl::testing::make_spl_tree(c.tree));
    put("spl_dtb", c.name, with_selector(c.selector, spl));
  }
  for (bool circle : {true, false}) {
    Bytes spl = duobl::testing::make_signed_image(2048, "U-Boot SPL", 4);
    duobl::testing::append_tree(spl, hostile_tree({"pine64,pinebook-pro", "rockchip,rk3399"}, circle));
    spl.resize(spl.size() + 512, 0);
    put("spl_dtb", circle ? "walks-in-a-circle" : "reservations-overlap", with_selector(0, spl));
  }
  Bytes misaligned = duobl::testing::make_signed_image(1024, "U-Boot SPL", 4);
  duobl::testing::append_tree(misaligned, duobl::testing::make_spl_tree({}), 4);
  put("spl_dtb", "misaligned", with_selector(0, misaligned));
}

void machine_seeds() {
  using duobl::testing::make_machine_tree;
  put("machine", "rk3399", make_machine_tree({"pine64,pinebook-pro", "rockchip,rk3399"}, "Pine64 Pinebook Pro"));
  put("machine", "rk3568", make_machine_tree({"radxa,rock-3a", "rockchip,rk3568"}, "Radxa ROCK3 Model A"));
  put("machine", "rk3566", make_machine_tree({"pine64,quartz64-a", "rockchip,rk3566"}, std::nullopt));
  put("machine", "rk3588", make_machine_tree({"radxa,rock-5b", "rockchip,rk3588"}, "Radxa ROCK 5B"));
  put("machine", "unsupported", make_machine_tree({"raspberrypi,4-model-b", "brcm,bcm2711"}, "Pi"));
  put("machine", "no-compatible", make_machine_tree({}, "Nothing"));
  put("machine", "walks-in-a-circle", hostile_tree({"pine64,pinebook-pro", "rockchip,rk3399"}, true));
}

void header_seeds() {
  for (const auto family : {duobl::SocFamily::Rk3399, duobl::SocFamily::Rk35xx}) {
    const std::uint8_t f = family == duobl::SocFamily::Rk35xx ? 1 : 0;
    const std::string name = f != 0 ? "rk35xx" : "rk3399";
    Bytes tpl = duobl::testing::make_uboot_tpl(64);
    const duobl::BootHeaderArea area = duobl::build_header_area(family, 120, 200, tpl);
    put("boot_header", name + "-block", with_selector(f, Bytes(area.begin(), area.end())));
    put("boot_header", name + "-build", with_selector(static_cast<std::uint8_t>(f | 2), {200, 0, 120, 0, 1, 2, 3, 4, 5}));
  }
}

void content_seeds() {
  for (const char* signature : {"levinboot/", "U-Boot SPL", "U-Boot TPL", "duobl", "DDR Version", "DDR V1.", "DDR V0."}) {
    std::string name = signature;
    for (char& c : name)
      if (c == ' ' || c == '/' || c == '.') c = '-';
    put("content", name, duobl::testing::make_signed_image(512, signature, 7));
  }
  put("content", "zeros", Bytes(512, 0));
}

// The image checks' first byte: family in bit 0, check in bits 1-2, the
// running machine of a set in bits 3-5 (7: a text in the input).
constexpr std::uint8_t kCheckLoader = 0 << 1;
constexpr std::uint8_t kCheckGenericSpl = 1 << 1;
constexpr std::uint8_t kCheckFit = 2 << 1;
constexpr std::uint8_t kCheckSet = 3 << 1;
constexpr std::uint8_t kMachineText = 7 << 3;

void append_le24(Bytes& out, std::size_t value) {
  for (int i = 0; i < 3; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A set for the image checks, on the machine that `machine` (bits 3-5 of
// the first byte) chooses from the target's table, or on `text` when it is
// kMachineText.
Bytes set_input(std::uint8_t machine, const std::string& text, const Bytes& tpl, const Bytes& spl,
                const Bytes& itb) {
  Bytes out{static_cast<std::uint8_t>(kCheckSet | machine)};
  if (machine == kMachineText) {
    out.push_back(static_cast<std::uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
  }
  append_le24(out, tpl.size());
  append_le24(out, spl.size());
  append(out, tpl);
  append(out, spl);
  append(out, itb);
  return out;
}

// A FIT with one image whose data is `data` inline, or `data-size` bytes at
// `data-position` behind the tree, or both (U-Boot takes the latter).
Bytes small_fit(bool inline_data, bool external_data) {
  Bytes tree(4096);
  void* fdt = tree.data();
  fdt_create(fdt, static_cast<int>(tree.size()));
  fdt_finish_reservemap(fdt);
  fdt_begin_node(fdt, "");
  fdt_begin_node(fdt, "images");
  fdt_begin_node(fdt, "atf-1");
  const Bytes data = duobl::testing::make_signed_image(256, "", 5);
  if (inline_data) fdt_property(fdt, "data", data.data(), static_cast<int>(data.size()));
  if (external_data) {
    fdt_property_u32(fdt, "data-position", 0);
    fdt_property_u32(fdt, "data-size", static_cast<std::uint32_t>(data.size()));
  }
  fdt_end_node(fdt);
  fdt_end_node(fdt);
  fdt_begin_node(fdt, "configurations");
  fdt_property_string(fdt, "default", "config-1");
  fdt_begin_node(fdt, "config-1");
  fdt_property_string(fdt, "firmware", "atf-1");
  fdt_end_node(fdt);
  fdt_end_node(fdt);
  fdt_end_node(fdt);
  fdt_finish(fdt);
  fdt_pack(fdt);
  tree.resize(fdt_totalsize(fdt));
  if (external_data) {
    const int image = fdt_path_offset(tree.data(), "/images/atf-1");
    fdt_setprop_inplace_u32(tree.data(), image, "data-position", static_cast<std::uint32_t>(tree.size()));
    append(tree, data);
  }
  return tree;
}

void image_check_seeds() {
  using duobl::testing::RomFamily;
  const Bytes spl = duobl::testing::make_uboot_spl().bytes;
  for (const auto family : {RomFamily::Rk3399, RomFamily::Rk35xx}) {
    const std::uint8_t f = family == RomFamily::Rk35xx ? 1 : 0;
    const std::string name = f != 0 ? "rk35xx" : "rk3399";
    put("image_checks", name + "-loader", with_selector(kCheckLoader | f, duobl::testing::make_loader_image(12288, 1, family)));
    put("image_checks", name + "-generic-spl", with_selector(kCheckGenericSpl | f, duobl::testing::make_generic_spl(8192, 7, family)));
    // Two images, TPL and SPL: refused by both checks, once they are named.
    Bytes set = installed_set(f != 0 ? duobl::SocFamily::Rk35xx : duobl::SocFamily::Rk3399, 3000, spl);
    set.resize((set.size() + 2047) / 2048 * 2048, 0xFF);
    put("image_checks", name + "-set-as-loader", with_selector(kCheckLoader | f, set));
    put("image_checks", name + "-set-as-generic-spl", with_selector(kCheckGenericSpl | f, set));
  }
  put("image_checks", "itb", with_selector(kCheckFit, duobl::testing::make_itb(8192)));
  put("image_checks", "fit-inline", with_selector(kCheckFit, small_fit(true, false)));
  put("image_checks", "fit-position", with_selector(kCheckFit, small_fit(false, true)));
  put("image_checks", "fit-inline-and-position", with_selector(kCheckFit, small_fit(true, true)));

  const Bytes itb = duobl::testing::make_itb(8192);
  put("image_checks", "set", set_input(0 << 3, "", duobl::testing::make_uboot_tpl(3000), spl, itb));
  Bytes tpl_with_tree = duobl::testing::make_uboot_tpl(3000);
  duobl::testing::append_tree(tpl_with_tree, duobl::testing::make_spl_tree({}));
  put("image_checks", "set-tpl-tree", set_input(0 << 3, "", tpl_with_tree, spl, itb));
  duobl::testing::SplTreeOptions rock;
  rock.compatible = {"radxa,rock-3a", "rockchip,rk3568"};
  put("image_checks", "set-ddrbin",
      set_input(1 << 3, "", duobl::testing::make_signed_image(4000, "DDR Version", 9),
                duobl::testing::make_uboot_spl(rock).bytes, itb));
  put("image_checks", "set-machine-text",
      set_input(kMachineText, "pine64,pinebook-pro", tpl_with_tree, spl, itb));

  // Sets that a run refuses, one file at a time.
  const Bytes tree = duobl::testing::make_spl_tree({});
  Bytes spl_image = duobl::testing::make_loader_image(8192);
  duobl::testing::append_tree(spl_image, tree);
  Bytes tpl_named_spl = duobl::testing::make_signed_image(8192, "U-Boot TPL", 4);
  duobl::testing::append_tree(tpl_named_spl, tree);
  const Bytes tpl = duobl::testing::make_uboot_tpl(3000);
  put("image_checks", "set-empty-tpl", set_input(0, "", {}, spl, itb));
  put("image_checks", "set-tpl-is-a-boot-image", set_input(0, "", duobl::testing::make_loader_image(8192), spl, itb));
  put("image_checks", "set-tpl-unnamed", set_input(0, "", duobl::testing::make_signed_image(3000, "", 2), spl, itb));
  put("image_checks", "set-spl-is-a-boot-image", set_input(0, "", tpl, spl_image, itb));
  duobl::testing::SplTreeOptions large;
  large.filler_bytes = 4096;
  put("image_checks", "set-spl-is-a-tree", set_input(0, "", tpl, duobl::testing::make_spl_tree(large), itb));
  put("image_checks", "set-spl-named-tpl", set_input(0, "", tpl, tpl_named_spl, itb));
  put("image_checks", "set-itb-is-a-tree", set_input(0, "", tpl, spl, tree));
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "make-seeds: cannot read %s\n", path.c_str());
    std::exit(1);
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The first `compatible` entry of the last tree in `spl` (the highest
// 8-byte aligned offset where libfdt accepts a tree that ends inside the
// file), as the running machine that the set is for.
std::string spl_machine(const Bytes& spl) {
  if (spl.size() < sizeof(fdt_header)) return {};
  for (std::size_t at = (spl.size() - sizeof(fdt_header)) / 8 * 8;; at -= 8) {
    const void* tree = spl.data() + at;
    if (fdt_check_header(tree) == 0 && fdt_totalsize(tree) <= spl.size() - at) {
      const auto* list = static_cast<const char*>(fdt_getprop(tree, 0, "compatible", nullptr));
      return list != nullptr ? std::string(list) : std::string();
    }
    if (at == 0) return {};
  }
}

void uboot_set_seed(const std::string& name, const std::string& folder) {
  const Bytes spl = read_file(folder + "/u-boot-spl.bin");
  put("image_checks", name,
      set_input(kMachineText, spl_machine(spl), read_file(folder + "/u-boot-tpl.bin"), spl,
                read_file(folder + "/u-boot.itb")));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc % 3 != 2) {
    std::fprintf(stderr, "usage: make-seeds DIR [--uboot-set NAME FOLDER]...\n");
    return 2;
  }
  root = argv[1];
  mkdir(root.c_str(), 0755);
  survey_seeds();
  spl_seeds();
  machine_seeds();
  header_seeds();
  content_seeds();
  image_check_seeds();
  for (int i = 2; i < argc; i += 3) {
    if (std::strcmp(argv[i], "--uboot-set") != 0) {
      std::fprintf(stderr, "make-seeds: unknown argument %s\n", argv[i]);
      return 2;
    }
    uboot_set_seed(argv[i + 1], argv[i + 2]);
  }
  return 0;
}
