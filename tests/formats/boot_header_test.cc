// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/boot_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "oracle/boot_header_bytes.h"

namespace duobl {
namespace {

namespace oracle = ::duobl::testing;

using Block = std::array<std::uint8_t, kLegacyHeaderBytes>;
using Bytes = std::vector<std::uint8_t>;

// The RK3399 magic, and the bytes every RK3399 in the field expects it
// stored as: a change of key or cipher must break the build.
constexpr std::array<std::uint8_t, 4> kPlainMagic = {0x55, 0xAA, 0xF0, 0x0F};
constexpr std::array<std::uint8_t, 4> kStoredMagic = {0x3B, 0x8C, 0xDC, 0xFC};
static_assert(kScrambledLegacyMagic == kStoredMagic);

Block pseudo_random_block(std::uint32_t seed) {
  Block block{};
  for (std::uint8_t& byte : block) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(seed >> 16);
  }
  return block;
}

TEST(ScrambleHeader, IsTheBootRomsCipherAndItsOwnInverse) {
  for (std::uint32_t seed : {1u, 2u, 0xdeadbeefu}) {
    const Block original = pseudo_random_block(seed);
    Block block = original;
    scramble_header(block);
    Block expected = original;
    oracle::rom_rc4_512(expected.data());
    EXPECT_EQ(block, expected);
    scramble_header(block);
    EXPECT_EQ(block, original);
  }
}

TEST(ScrambleHeader, MagicScramblesToTheSameBytesWhateverFollows) {
  Block zeros{};
  Block ones{};
  ones.fill(0xFF);
  for (Block block : {zeros, ones, pseudo_random_block(7), pseudo_random_block(8)}) {
    std::copy(kPlainMagic.begin(), kPlainMagic.end(), block.begin());
    scramble_header(block);
    EXPECT_TRUE(std::equal(kStoredMagic.begin(), kStoredMagic.end(), block.begin()));
    EXPECT_TRUE(matches_header_magic(SocFamily::Rk3399, std::span<const std::uint8_t, 4>(block.data(), 4)));
  }
}

TEST(MatchesHeaderMagic, RecognisesEachFamilysMagicOnly) {
  const auto& m = kStoredMagic;
  struct Case {
    std::array<std::uint8_t, 4> bytes;
    bool rk3399;
    bool rk35xx;
  };
  const Case cases[] = {
      {{m[0], m[1], m[2], m[3]}, true, false},
      {{m[0], m[1], m[2], static_cast<std::uint8_t>(m[3] ^ 1)}, false, false},
      {{0x55, 0xAA, 0xF0, 0x0F}, false, false},  // the magic as plain bytes
      {{'R', 'K', 'N', 'S'}, false, true},
      {{'R', 'K', 0x00, 'S'}, false, true},
      {{'R', 'K', 0xFF, 'S'}, false, true},
      {{'R', 'K', 'N', 'T'}, false, false},
      {{'R', 'K', 'N', 's'}, false, false},
      {{'r', 'K', 'N', 'S'}, false, false},
      {{'R', 'k', 'N', 'S'}, false, false},
      {{0xFF, 0xFF, 0xFF, 0xFF}, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matches_header_magic(SocFamily::Rk3399, c.bytes), c.rk3399)
        << int(c.bytes[0]) << " " << int(c.bytes[2]) << " " << int(c.bytes[3]);
    EXPECT_EQ(matches_header_magic(SocFamily::Rk35xx, c.bytes), c.rk35xx)
        << int(c.bytes[0]) << " " << int(c.bytes[2]) << " " << int(c.bytes[3]);
  }
}

TEST(BuildHeaderArea, Rk3399GoldenBytesFor120And200Sectors) {
  std::vector<std::uint8_t> tpl(61440, 0xAB);
  const BootHeaderArea area = build_header_area(SocFamily::Rk3399, 120, 200, tpl);

  EXPECT_EQ(Bytes(area.begin(), area.end()),
            oracle::header_area(oracle::RomFamily::Rk3399, 4, 120, 200));
  EXPECT_TRUE(std::equal(kStoredMagic.begin(), kStoredMagic.end(), area.begin()));
  EXPECT_TRUE(std::all_of(area.begin() + 512, area.end(), [](std::uint8_t b) { return b == 0; }))
      << "bytes 512..2047 are stored as zeros, not scrambled";

  Block plain{};
  std::copy_n(area.begin(), plain.size(), plain.begin());
  oracle::rom_rc4_512(plain.data());
  Block expected{};
  expected[0] = 0x55, expected[1] = 0xAA, expected[2] = 0xF0, expected[3] = 0x0F;
  expected[8] = 1;
  expected[12] = 4;
  expected[506] = 120;
  expected[508] = 320 & 0xFF, expected[509] = 320 >> 8;
  EXPECT_EQ(plain, expected);

  EXPECT_EQ(std::vector<std::uint8_t>(tpl.begin(), tpl.begin() + 5),
            (std::vector<std::uint8_t>{'R', 'K', '3', '3', 0xAB}));
  EXPECT_TRUE(std::all_of(tpl.begin() + 4, tpl.end(), [](std::uint8_t b) { return b == 0xAB; }));

  const LegacyBootHeader header = decode_legacy_header(plain);
  EXPECT_EQ(header.magic, 0x0FF0AA55u);
  EXPECT_EQ(header.legacy_flags, 1u);
  EXPECT_EQ(header.first_offset, 4);
  EXPECT_EQ(header.first_size, 120);
  EXPECT_EQ(header.total_size, 320);
}

TEST(BuildHeaderArea, Rk35xxGoldenBytesFor120And200Sectors) {
  std::vector<std::uint8_t> tpl(61440, 0xAB);
  const BootHeaderArea area = build_header_area(SocFamily::Rk35xx, 120, 200, tpl);

  BootHeaderArea expected{};
  const std::uint8_t head[] = {'R', 'K', 'N', 'S', 0, 0, 0, 0, 0x80, 0x01, 2, 0, 0x00, 0x40, 0, 0};
  std::copy(std::begin(head), std::end(head), expected.begin());
  const std::uint8_t entry0[] = {4, 0, 120, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0};
  std::copy(std::begin(entry0), std::end(entry0), expected.begin() + 120);
  const std::uint8_t entry1[] = {124, 0, 200, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 2, 0, 0, 0};
  std::copy(std::begin(entry1), std::end(entry1), expected.begin() + 208);
  EXPECT_EQ(area, expected);

  EXPECT_TRUE(std::all_of(tpl.begin(), tpl.end(), [](std::uint8_t b) { return b == 0xAB; }))
      << "the TPL is left alone on Rk35xx";

  const RknsBootHeader header = decode_rkns_header(area);
  EXPECT_EQ(header.magic, (std::array<std::uint8_t, 4>{'R', 'K', 'N', 'S'}));
  EXPECT_EQ(header.header_info, 0x0180);
  EXPECT_EQ(header.image_count, 2);
  EXPECT_EQ(header.boot_flags, 0x4000u);
  EXPECT_EQ(header.entries[0].image_offset, 4);
  EXPECT_EQ(header.entries[0].image_size, 120);
  EXPECT_EQ(header.entries[0].address, 0xFFFFFFFFu);
  EXPECT_EQ(header.entries[0].sequence, 1u);
  EXPECT_EQ(header.entries[1].image_offset, 124);
  EXPECT_EQ(header.entries[1].image_size, 200);
  EXPECT_EQ(header.entries[1].sequence, 2u);
}

TEST(BuildHeaderArea, ShortTplIsLeftAlone) {
  std::vector<std::uint8_t> tpl = {1, 2, 3};
  build_header_area(SocFamily::Rk3399, 4, 4, tpl);
  EXPECT_EQ(tpl, (std::vector<std::uint8_t>{1, 2, 3}));
  build_header_area(SocFamily::Rk3399, 4, 4, {});
}

// Field values that differ in every byte, so that a field written at the
// wrong place or width shows.
TEST(EncodeHeaders, LayTheFieldsWhereTheBootRomReadsThem) {
  const LegacyBootHeader legacy{0x0FF0AA55, 0x04030201, 0x0605, 0x0807, 0x0A09};
  Block plain{};
  encode_legacy_header(legacy, plain);
  const Bytes expected_plain = oracle::legacy_header_plain(
      {.magic = 0x0FF0AA55, .flags = 0x04030201, .first_offset = 0x0605, .first_size = 0x0807,
       .total_size = 0x0A09});
  EXPECT_EQ(Bytes(plain.begin(), plain.end()), expected_plain);
  const LegacyBootHeader legacy_back = decode_legacy_header(plain);
  EXPECT_EQ(legacy_back.magic, legacy.magic);
  EXPECT_EQ(legacy_back.legacy_flags, legacy.legacy_flags);
  EXPECT_EQ(legacy_back.first_offset, legacy.first_offset);
  EXPECT_EQ(legacy_back.first_size, legacy.first_size);
  EXPECT_EQ(legacy_back.total_size, legacy.total_size);

  RknsBootHeader rkns;
  rkns.magic = {'R', 'K', 'N', 'S'};
  rkns.header_info = 0x0201;
  rkns.image_count = 0x0403;
  rkns.boot_flags = 0x08070605;
  rkns.entries[0] = {0x0A09, 0x0C0B, 0x100F0E0D, 0x14131211};
  rkns.entries[1] = {0x1615, 0x1817, 0x1C1B1A19, 0x201F1E1D};
  BootHeaderArea area{};
  encode_rkns_header(rkns, area);
  const Bytes expected_area = oracle::rkns_header_area(
      {.header_info = 0x0201, .image_count = 0x0403, .boot_flags = 0x08070605,
       .first = {0x0A09, 0x0C0B, 0x100F0E0D, 0x14131211},
       .second = {0x1615, 0x1817, 0x1C1B1A19, 0x201F1E1D}});
  EXPECT_EQ(Bytes(area.begin(), area.end()), expected_area);
  const RknsBootHeader rkns_back = decode_rkns_header(area);
  EXPECT_EQ(rkns_back.magic, rkns.magic);
  EXPECT_EQ(rkns_back.header_info, rkns.header_info);
  EXPECT_EQ(rkns_back.image_count, rkns.image_count);
  EXPECT_EQ(rkns_back.boot_flags, rkns.boot_flags);
  for (std::size_t n = 0; n < 2; ++n) {
    EXPECT_EQ(rkns_back.entries[n].image_offset, rkns.entries[n].image_offset) << n;
    EXPECT_EQ(rkns_back.entries[n].image_size, rkns.entries[n].image_size) << n;
    EXPECT_EQ(rkns_back.entries[n].address, rkns.entries[n].address) << n;
    EXPECT_EQ(rkns_back.entries[n].sequence, rkns.entries[n].sequence) << n;
  }
}

TEST(BuildHeaderArea, ReadsBackThroughRecognitionAndDecoding) {
  struct Sizes {
    std::uint16_t tpl;
    std::uint16_t spl;
  };
  for (SocFamily family : {SocFamily::Rk3399, SocFamily::Rk35xx}) {
    for (Sizes s : {Sizes{120, 200}, Sizes{4, 4}, Sizes{0, 4}, Sizes{372, 380}}) {
      std::vector<std::uint8_t> tpl(std::size_t{s.tpl} * 512 + 4, 0);
      BootHeaderArea area = build_header_area(family, s.tpl, s.spl, tpl);
      EXPECT_TRUE(matches_header_magic(family, std::span<const std::uint8_t, 4>(area.data(), 4)));
      const HeaderImages images = decode_header_images(family, area);
      EXPECT_EQ(images.first_offset, 4u);
      EXPECT_EQ(images.first_size, s.tpl);
      EXPECT_EQ(images.second_offset, 4u + s.tpl);
      EXPECT_EQ(images.second_size, s.spl);
      EXPECT_TRUE(images.has_second);
    }
  }
}

TEST(DecodeHeaderImages, Rk3399UnscramblesInPlaceAndDerivesImageTwo) {
  struct Case {
    std::uint16_t first_offset, first_size, total_size;
    std::uint32_t second_size;
    bool has_second;
  };
  const Case cases[] = {
      {4, 24, 24, 0, false},                      // equal sizes: no second image
      {4, 120, 320, 200, true},
      {4, 40, 32, 0xFFFFFFF8u, true},             // total below first wraps
      {0xFFFF, 0xFFFF, 0, 0xFFFF0001u, true},
  };
  for (const Case& c : cases) {
    const oracle::LegacyFields fields{.first_offset = c.first_offset,
                                      .first_size = c.first_size,
                                      .total_size = c.total_size};
    const Bytes plain = oracle::legacy_header_plain(fields);
    const Bytes area = oracle::legacy_header_area(fields);
    std::array<std::uint8_t, 4096> block{};
    std::copy(area.begin(), area.end(), block.begin());

    const HeaderImages images = decode_header_images(SocFamily::Rk3399, block);
    EXPECT_EQ(images.first_offset, c.first_offset);
    EXPECT_EQ(images.first_size, c.first_size);
    EXPECT_EQ(images.second_size, c.second_size);
    EXPECT_EQ(images.has_second, c.has_second);
    EXPECT_EQ(images.second_offset, c.has_second ? std::uint32_t{c.first_offset} + c.first_size : 0u);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), block.begin())) << "the caller keeps the plain header";
  }
}

TEST(DecodeHeaderImages, Rk35xxUsesEntryOneOnlyWhenCountedAndNonEmpty) {
  struct Case {
    std::uint16_t image_count;
    std::uint16_t second_size;
    bool has_second;
  };
  const Case cases[] = {{0, 200, false}, {1, 200, false}, {2, 200, true}, {2, 0, false}, {7, 9, true}};
  for (const Case& c : cases) {
    Bytes area = oracle::rkns_header_area(
        {.image_count = c.image_count, .first = {8, 16}, .second = {300, c.second_size}});
    const HeaderImages images = decode_header_images(SocFamily::Rk35xx, area);
    EXPECT_EQ(images.first_offset, 8u);
    EXPECT_EQ(images.first_size, 16u);
    EXPECT_EQ(images.has_second, c.has_second) << c.image_count;
    EXPECT_EQ(images.second_offset, c.has_second ? 300u : 0u);
    EXPECT_EQ(images.second_size, c.has_second ? c.second_size : 0u);
  }
}

TEST(DecodeHeaderImages, TooShortBlockYieldsNothingAndStaysUntouched) {
  std::array<std::uint8_t, 511> legacy{};
  legacy.fill(0x5A);
  const HeaderImages a = decode_header_images(SocFamily::Rk3399, legacy);
  EXPECT_EQ(a.first_size, 0u);
  EXPECT_FALSE(a.has_second);
  EXPECT_TRUE(std::all_of(legacy.begin(), legacy.end(), [](std::uint8_t b) { return b == 0x5A; }));

  std::array<std::uint8_t, 295> rkns{};
  rkns.fill(0x5A);
  const HeaderImages b = decode_header_images(SocFamily::Rk35xx, rkns);
  EXPECT_EQ(b.first_size, 0u);
  EXPECT_FALSE(b.has_second);
}

}  // namespace
}  // namespace duobl
