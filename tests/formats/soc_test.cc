// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/soc.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace duobl {
namespace {

TEST(ProbeOffsets, FollowTheBootRomOfEachFamily) {
  const ProbeOffsets rk3399 = probe_offsets_for(SocFamily::Rk3399);
  ASSERT_EQ(rk3399.count, 13u);
  const std::uint32_t expected[] = {0, 8192, 16384, 32768, 65536, 131072, 262144,
                                    524288, 1048576, 2097152, 4194304, 8388608, 16777216};
  for (std::size_t j = 0; j < 13; ++j) EXPECT_EQ(rk3399.offsets_bytes[j], expected[j]) << j;

  const ProbeOffsets rk35xx = probe_offsets_for(SocFamily::Rk35xx);
  ASSERT_EQ(rk35xx.count, 16u);
  for (std::size_t j = 0; j < 16; ++j) EXPECT_EQ(rk35xx.offsets_bytes[j], j * 65536u) << j;
}

}  // namespace
}  // namespace duobl
