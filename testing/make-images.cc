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

#include "fixture/images.h"
#include "formats/boot_header.h"

namespace {

using duobl::testing::Bytes;

bool write_file(const std::string& path, const Bytes& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && ok;
}

// A loader the boot ROM finds at offset 0: a header naming one image of 24
// sectors. On Rk3399 the header block is stored padded (a zeroed 2 KiB
// after the header), as that boot ROM expects of the first stage.
Bytes make_bootable_loader(duobl::SocFamily family) {
  constexpr std::size_t kImageBytes = 24 * duobl::kSectorBytes;
  Bytes loader(duobl::kHeaderAreaBytes, 0);
  if (family == duobl::SocFamily::Rk3399) {
    duobl::LegacyBootHeader header;
    header.legacy_flags = 1;
    header.first_offset = 4;
    header.first_size = 24;
    header.total_size = 24;
    std::span<std::uint8_t, duobl::kLegacyHeaderBytes> block(loader.data(), duobl::kLegacyHeaderBytes);
    duobl::encode_legacy_header(header, block);
    duobl::scramble_header(block);
    Bytes padding(2048, 0);
    loader.insert(loader.end(), padding.begin(), padding.end());
  } else {
    duobl::RknsBootHeader header;
    header.magic = {'R', 'K', 'N', 'S'};
    header.header_info = 0x0180;
    header.image_count = 1;
    header.boot_flags = 0x4000;
    header.entries[0] = {4, 24, 0xFFFFFFFF, 1};
    duobl::encode_rkns_header(header, std::span<std::uint8_t, duobl::kHeaderAreaBytes>(loader.data(), loader.size()));
  }
  const Bytes image = duobl::testing::make_loader_image(kImageBytes);
  loader.insert(loader.end(), image.begin(), image.end());
  return loader;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make-images DIR [--family rk3399|rk35xx] --compatible ENTRY...\n");
    return 2;
  }
  const std::string dir = argv[1];
  duobl::SocFamily family = duobl::SocFamily::Rk3399;
  duobl::testing::SplTreeOptions tree;
  tree.compatible.clear();
  tree.payload_offset_bytes = 4;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--family") == 0)
      family = std::strcmp(argv[i + 1], "rk3399") == 0 ? duobl::SocFamily::Rk3399 : duobl::SocFamily::Rk35xx;
    else if (std::strcmp(argv[i], "--compatible") == 0)
      tree.compatible.emplace_back(argv[i + 1]);
  }

  const struct {
    const char* name;
    Bytes bytes;
  } files[] = {
      {"duobl.bin", make_bootable_loader(family)},
      {"generic-spl.img", duobl::testing::make_signed_image(64 * 1024, "levinboot/", 5)},
      {"u-boot-tpl.bin", duobl::testing::make_uboot_tpl(60 * 1024)},
      {"u-boot-spl.bin", duobl::testing::make_uboot_spl(tree, 96 * 1024).bytes},
      {"u-boot.itb", duobl::testing::make_itb(900 * 1024)},
  };
  for (const auto& file : files) {
    const std::string path = dir + "/" + file.name;
    if (!write_file(path, file.bytes)) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
