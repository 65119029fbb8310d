// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/content.h"

#include <array>
#include <cstddef>

namespace duobl {

namespace {

struct Signature {
  std::string_view text;  // compared byte for byte, no terminating zero
  std::string_view name;  // a NUL-terminated literal
};

// Tested in this order at each position; the first match wins.
constexpr std::array<Signature, 7> kSignatures = {{
    {"levinboot/", "levinboot"},
    {"U-Boot SPL", kUbootSplName},
    {"U-Boot TPL", kUbootTplName},
    {"duobl", kDuoblName},
    {"DDR Version", kDdrbinName},
    {"DDR V1.", kDdrbinName},
    {"DDR V0.", kDdrbinName},
}};

// Signatures never begin in the last this many bytes of a range, so no
// comparison can run off its end.
constexpr std::size_t kTailBytes = 64;

constexpr bool signatures_fit_tail() {
  for (const Signature& signature : kSignatures)
    if (signature.text.size() > kTailBytes)
      return false;
  return true;
}
static_assert(signatures_fit_tail());

constexpr std::string_view kUnknown = "unknown";

// Whether some signature begins with the byte: most positions of an image
// are ruled out by one table look-up instead of seven comparisons.
constexpr std::array<bool, 256> kStartsASignature = [] {
  std::array<bool, 256> starts{};
  for (const Signature& signature : kSignatures)
    starts[static_cast<std::uint8_t>(signature.text.front())] = true;
  return starts;
}();

// The caller guarantees pos + text.size() <= data.size().
bool matches_at(std::span<const std::uint8_t> data, std::size_t pos, std::string_view text) {
  for (std::size_t k = 0; k < text.size(); ++k)
    if (data[pos + k] != static_cast<std::uint8_t>(text[k]))
      return false;
  return true;
}

}  // namespace

std::string_view identify_content(std::span<const std::uint8_t> data) {
  if (data.size() <= kTailBytes)
    return kUnknown;
  std::size_t positions = data.size() - kTailBytes;
  for (std::size_t pos = 0; pos < positions; ++pos) {
    if (!kStartsASignature[data[pos]])
      continue;
    for (const Signature& signature : kSignatures)
      if (matches_at(data, pos, signature.text))
        return signature.name;
  }
  return kUnknown;
}

}  // namespace duobl
