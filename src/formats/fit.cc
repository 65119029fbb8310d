// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/fit.h"

#include <libfdt.h>

#include <optional>

#include "formats/device_tree.h"

namespace duobl {
namespace {

// External data that follows the tree starts at its end, rounded up to 4.
constexpr std::uint64_t kExternalDataAlign = 4;

// A property that should hold one big-endian 32-bit cell.
struct CellProperty {
  bool present = false;
  bool one_cell = false;  // present and exactly 4 bytes long
  std::uint32_t value = 0;
};

CellProperty cell_property(const void* fit, int node, const char* name) {
  int length = 0;
  const void* value = fdt_getprop(fit, node, name, &length);
  if (value == nullptr) return {};
  if (length != sizeof(fdt32_t)) return {true, false, 0};
  return {true, true, fdt32_ld(static_cast<const fdt32_t*>(value))};
}

}  // namespace

FitCheck check_fit(std::span<const std::uint8_t> file) {
  FitCheck check;
  switch (check_tree(file)) {
    case TreeCheck::Sound: break;
    case TreeCheck::NotATree: check.problem = FitProblem::NotATree; return check;
    case TreeCheck::CutShort:
      check.problem = FitProblem::TreeCutShort;
      check.claimed_bytes = fdt_totalsize(file.data());
      return check;
    case TreeCheck::Unwalkable: check.problem = FitProblem::Unreadable; return check;
  }
  const void* fit = file.data();
  const int images = fdt_path_offset(fit, "/images");
  if (images < 0 || fdt_first_subnode(fit, images) < 0) {
    check.problem = FitProblem::NoImages;
    return check;
  }
  if (fdt_path_offset(fit, "/configurations") < 0) {
    check.problem = FitProblem::NoConfigurations;
    return check;
  }

  const std::uint64_t external_base =
      (std::uint64_t{fdt_totalsize(fit)} + kExternalDataAlign - 1) / kExternalDataAlign * kExternalDataAlign;
  int image = 0;
  fdt_for_each_subnode(image, fit, images) {
    int name_length = 0;
    const char* name = fdt_get_name(fit, image, &name_length);
    const std::string_view image_name =
        name != nullptr && name_length > 0 ? std::string_view(name, static_cast<std::size_t>(name_length))
                                           : std::string_view();
    int inline_length = 0;
    const CellProperty position = cell_property(fit, image, "data-position");
    const CellProperty offset = cell_property(fit, image, "data-offset");
    const CellProperty size = cell_property(fit, image, "data-size");
    // U-Boot takes a present property as a cell whatever its length: one of
    // another length is read from bytes that are not its own.
    for (const CellProperty& property : {position, offset, size}) {
      if (property.present && !property.one_cell) {
        check.problem = FitProblem::BadDataCell;
        check.image = image_name;
        return check;
      }
    }
    std::optional<std::uint64_t> start;
    if (position.present) {
      start = position.value;
    } else if (offset.present) {
      start = external_base + offset.value;
    }
    if (start && size.present) {
      const std::uint64_t end = *start + size.value;
      if (end > file.size()) {
        check.problem = FitProblem::DataCutShort;
        check.image = image_name;
        check.data_end = end;
        return check;
      }
    } else if (start || fdt_getprop(fit, image, "data", &inline_length) == nullptr) {
      // Inline data lies inside the tree, and so inside the file.
      check.problem = FitProblem::ImageWithoutData;
      check.image = image_name;
      return check;
    }
  }
  return check;
}

}  // namespace duobl
