// SPDX-License-Identifier: GPL-2.0-or-later
#include "survey/survey.h"

#include <cstdio>

namespace duobl {
namespace {

void print_name(const char* format, std::string_view name) {
  if (!name.empty()) std::printf(format, static_cast<int>(name.size()), name.data());
}

void print_row(const HeaderRow& row) {
  // The columns give the header's fields as they stand, wrapping at 32 bits,
  // whatever the padding.
  const HeaderImages& images = row.images;
  std::printf("%-3u %-10u %-10u %-10u %-10u %-10u", static_cast<unsigned>(row.index), row.header_at,
              row.header_at + images.first_offset * kSectorBytes, images.first_size * kSectorBytes,
              images.has_second ? row.header_at + images.second_offset * kSectorBytes : 0u,
              images.second_size * kSectorBytes);
  if (row.position != 0) {
    std::printf(" (unaligned by %d)\n", static_cast<int>(row.position));
    return;
  }
  if (row.padded) {
    std::printf(" (padded)");
    if (!row.padded_expected) std::printf(" (!! incorrect use of padded image !!)");
  } else if (row.padded_expected) {
    std::printf(" (!! incorrect use of unpadded image !!)");
  }
  print_name(" 0='%.*s'", row.names[0]);
  print_name(" 1='%.*s'", row.names[1]);
  std::printf("\n");
}

}  // namespace

void print_survey(const SurveyRows& rows) {
  std::printf("\nBootable images currently present in SPI NOR flash:\n\n");
  std::printf("Idx %-10s %-10s %-10s %-10s %-10s Notes/content\n", "Header", "Off 1", "Size 1", "Off 2",
              "Size 2");
  std::printf("-------------------------------------------------------------------------------\n");
  for (std::size_t i = 0; i < rows.count; ++i) print_row(rows.rows[i]);
  std::printf("\n");
}

}  // namespace duobl
