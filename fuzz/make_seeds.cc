// SPDX-License-Identifier: GPL-2.0-or-later
// Writes the seed corpora of the fuzz targets, one folder per target under
// the folder given as the argument, from the same builders the tests use:
// flash images holding headers as the installer writes them, U-Boot SPL
// files with and without /config, machine trees of each family, header
// blocks, and images carrying each content signature.
#include <libfdt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-seeds DIR\n");
    return 2;
  }
  root = argv[1];
  mkdir(root.c_str(), 0755);
  survey_seeds();
  spl_seeds();
  machine_seeds();
  header_seeds();
  content_seeds();
  return 0;
}
