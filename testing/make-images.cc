// SPDX-License-Identifier: GPL-2.0-or-later
// Writes a set of images for trying the tool on the simulated board: a
// loader that the boot ROM can find, a generic SPL image, and a U-Boot TPL,
// SPL (with its device tree appended) and ITB. None of them is real
// firmware: each carries the texts the survey names, around a pattern.
//
//   make-images DIR [--family rk3399|rk35xx] --compatible ENTRY [--compatible ENTRY...]
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fixture/image_files.h"
#include "fixture/images.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make-images DIR [--family rk3399|rk35xx] --compatible ENTRY...\n");
    return 2;
  }
  const std::string dir = argv[1];
  duobl::testing::RomFamily family = duobl::testing::RomFamily::Rk3399;
  duobl::testing::SplTreeOptions tree;
  tree.compatible.clear();
  tree.payload_offset_bytes = 4;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--family") == 0)
      family = std::strcmp(argv[i + 1], "rk3399") == 0 ? duobl::testing::RomFamily::Rk3399
                                                       : duobl::testing::RomFamily::Rk35xx;
    else if (std::strcmp(argv[i], "--compatible") == 0)
      tree.compatible.emplace_back(argv[i + 1]);
  }

  const struct {
    const char* name;
    duobl::testing::Bytes bytes;
  } files[] = {
      {"duobl.bin", duobl::testing::make_bootable_loader(family, 24)},
      {"generic-spl.img", duobl::testing::make_generic_spl(64 * 1024, 5, family)},
      {"u-boot-tpl.bin", duobl::testing::make_uboot_tpl(60 * 1024)},
      {"u-boot-spl.bin", duobl::testing::make_uboot_spl(tree, 96 * 1024).bytes},
      {"u-boot.itb", duobl::testing::make_itb(900 * 1024)},
  };
  for (const auto& file : files) {
    const std::string path = dir + "/" + file.name;
    if (!duobl::testing::write_image_file(path, file.bytes)) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
