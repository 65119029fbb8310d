// SPDX-License-Identifier: GPL-2.0-or-later
// Writes the images the benchmark installs, at the sizes it measures:
//
//   loader.bin       a loader the boot ROM finds at offset 0 (24 sectors)
//   generic-spl.img  a generic boot-ROM-loadable image of 192 KiB
//   u-boot-tpl.bin   a U-Boot TPL of 64 KiB
//   u-boot-spl.bin   a U-Boot SPL of 128 KiB less a few bytes, its tree included
//   u-boot.itb       a U-Boot ITB of 1 MiB
//
// None of them is real firmware: each carries the texts the survey names,
// around a pattern without erased bytes. The SPL's tree already holds a
// one-cell payload offset, so setting it changes neither the tree's size nor
// the SPL's: the tool writes the SPL with exactly the file's length, which
// keeps the benchmark's floor computable from the file sizes alone.
//
//   make-bench-images DIR rk3399|rk35xx COMPATIBLE...
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fixture/image_files.h"
#include "fixture/images.h"

namespace {

using duobl::testing::Bytes;

constexpr std::uint16_t kLoaderSectors = 24;
constexpr std::size_t kGenericSplBytes = 192 * 1024;
constexpr std::size_t kTplBytes = 64 * 1024;
constexpr std::size_t kSplBytes = 128 * 1024;
constexpr std::size_t kItbBytes = 1024 * 1024;

// An SPL of exactly kSplBytes: code, then the tree at an 8-byte aligned
// offset, ending at the file's end.
Bytes make_spl(const std::vector<std::string>& compatible) {
  duobl::testing::SplTreeOptions tree;
  tree.compatible = compatible;
  tree.payload_offset_bytes = 4;
  // The tree starts 8-byte aligned and ends the file. Its packed size is not
  // a multiple of 8, so the file comes out a few bytes short of kSplBytes.
  const std::size_t tree_bytes = duobl::testing::make_spl_tree(tree).size();
  const std::size_t code_bytes = kSplBytes - (tree_bytes + 7) / 8 * 8;
  return duobl::testing::make_uboot_spl(tree, code_bytes).bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (std::strcmp(argv[2], "rk3399") != 0 && std::strcmp(argv[2], "rk35xx") != 0)) {
    std::fprintf(stderr, "usage: make-bench-images DIR rk3399|rk35xx COMPATIBLE...\n");
    return 2;
  }
  const std::string dir = argv[1];
  const duobl::testing::RomFamily family = std::strcmp(argv[2], "rk3399") == 0
                                                ? duobl::testing::RomFamily::Rk3399
                                                : duobl::testing::RomFamily::Rk35xx;
  const std::vector<std::string> compatible(argv + 3, argv + argc);

  const struct {
    const char* name;
    Bytes bytes;
    std::size_t expected_bytes;  // 0: any
  } files[] = {
      {"loader.bin", duobl::testing::make_bootable_loader(family, kLoaderSectors), 0},
      {"generic-spl.img", duobl::testing::make_generic_spl(kGenericSplBytes, 5, family),
       kGenericSplBytes},
      {"u-boot-tpl.bin", duobl::testing::make_uboot_tpl(kTplBytes), kTplBytes},
      {"u-boot-spl.bin", make_spl(compatible), 0},
      {"u-boot.itb", duobl::testing::make_itb(kItbBytes), kItbBytes},
  };
  for (const auto& file : files) {
    const std::string path = dir + "/" + file.name;
    if (file.expected_bytes != 0 && file.bytes.size() != file.expected_bytes) {
      std::fprintf(stderr, "%s: %zu bytes instead of %zu\n", path.c_str(), file.bytes.size(),
                   file.expected_bytes);
      return 1;
    }
    if (!duobl::testing::write_image_file(path, file.bytes)) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
