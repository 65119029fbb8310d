// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/fit.h"

#include <gtest/gtest.h>
#include <libfdt.h>

#include <cstdint>
#include <string>
#include <vector>

namespace duobl {
namespace {

// How the one image of a FIT built below holds its data.
enum class Data { Inline, Position, SizeOnly, None, ShortPosition };

// A FIT of `file_bytes` whose image "u-boot" holds 64 bytes of data as
// `data` says; `position` is where its external data starts.
std::vector<std::uint8_t> fit(Data data, std::uint32_t position, std::size_t file_bytes,
                              bool with_image = true) {
  alignas(8) static std::uint8_t tree[4096];
  const auto ok = [](int result) { ASSERT_GE(result, 0) << fdt_strerror(result); };
  ok(fdt_create(tree, sizeof tree));
  ok(fdt_finish_reservemap(tree));
  ok(fdt_begin_node(tree, ""));
  ok(fdt_begin_node(tree, "images"));
  if (with_image) {
    ok(fdt_begin_node(tree, "u-boot"));
    if (data == Data::Inline) ok(fdt_property(tree, "data", std::string(64, 'x').data(), 64));
    if (data == Data::Position) ok(fdt_property_u32(tree, "data-position", position));
    if (data == Data::Position || data == Data::SizeOnly) ok(fdt_property_u32(tree, "data-size", 64));
    if (data == Data::ShortPosition) {
      ok(fdt_property(tree, "data", std::string(64, 'x').data(), 64));
      ok(fdt_property(tree, "data-position", "\1", 1));
    }
    ok(fdt_end_node(tree));
  }
  ok(fdt_end_node(tree));
  ok(fdt_begin_node(tree, "configurations"));
  ok(fdt_end_node(tree));
  ok(fdt_end_node(tree));
  ok(fdt_finish(tree));
  std::vector<std::uint8_t> file(tree, tree + fdt_totalsize(tree));
  file.resize(file_bytes, 0x5a);
  return file;
}

TEST(CheckFit, FindsEveryImagesDataOrItsLack) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> file;
    FitProblem problem;
  } cases[] = {
      {"inline data", fit(Data::Inline, 0, 1024), FitProblem::None},
      {"data at a position inside the file", fit(Data::Position, 960, 1024), FitProblem::None},
      {"data at a position past its end", fit(Data::Position, 961, 1024), FitProblem::DataCutShort},
      {"a size without a place", fit(Data::SizeOnly, 0, 1024), FitProblem::ImageWithoutData},
      {"no data at all", fit(Data::None, 0, 1024), FitProblem::ImageWithoutData},
      {"a 1-byte position beside inline data", fit(Data::ShortPosition, 0, 1024),
       FitProblem::BadDataCell},
      {"no image", fit(Data::Inline, 0, 1024, false), FitProblem::NoImages},
      {"too short for a header", fit(Data::Inline, 0, 1024), FitProblem::NotATree},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> file = c.file;
    if (c.problem == FitProblem::NotATree) file.resize(39);
    const FitCheck check = check_fit(file);
    EXPECT_EQ(check.problem, c.problem);
    if (c.problem == FitProblem::DataCutShort) {
      EXPECT_EQ(check.data_end, 1025u);
    }
    if (c.problem == FitProblem::DataCutShort || c.problem == FitProblem::ImageWithoutData ||
        c.problem == FitProblem::BadDataCell) {
      EXPECT_EQ(check.image, "u-boot");
    }
  }
}

}  // namespace
}  // namespace duobl
