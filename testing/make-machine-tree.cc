// SPDX-License-Identifier: GPL-2.0-or-later
// make-machine-tree: writes a machine device tree (root `compatible` list and
// `model`) to a file, for testing/simboard-run.
//
//   make-machine-tree OUT [--model TEXT] [--compatible ENTRY]...
//
// Entries go into the list in the order given.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fixture/board.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make-machine-tree OUT [--model TEXT] [--compatible ENTRY]...\n");
    return 2;
  }
  std::vector<std::string> compatible;
  std::optional<std::string> model;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "make-machine-tree: %s needs a value\n", argv[i]);
      return 2;
    }
    if (std::strcmp(argv[i], "--model") == 0) {
      model = argv[i + 1];
    } else if (std::strcmp(argv[i], "--compatible") == 0) {
      compatible.push_back(argv[i + 1]);
    } else {
      std::fprintf(stderr, "make-machine-tree: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  const duobl::testing::Bytes tree = duobl::testing::make_machine_tree(compatible, model);
  if (tree.empty()) {
    std::fprintf(stderr, "make-machine-tree: cannot build the tree\n");
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr || std::fwrite(tree.data(), 1, tree.size(), out) != tree.size() ||
      std::fclose(out) != 0) {
    std::fprintf(stderr, "make-machine-tree: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
