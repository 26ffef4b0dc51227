#include "devlib/bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace lumavix {
namespace {

TEST(Bytes, StoredNumbersReadBackLowByteFirst) {
  std::uint8_t b[4] = {};
  store_le32(b, 0x11223344u);
  EXPECT_EQ(b[0], 0x44) << "the low byte comes first";
  EXPECT_EQ(b[3], 0x11);
  EXPECT_EQ(load_le32(b), 0x11223344u);
  store_le24(b, 0xFFAABBCCu);
  EXPECT_EQ(load_le24(b), 0xAABBCCu) << "a 24-bit field keeps the low 24 bits";
  EXPECT_EQ(b[3], 0x11) << "and leaves the next byte alone";
  store_le16(b, 0xBEEF);
  EXPECT_EQ(load_le16(b), 0xBEEF);

  std::vector<std::uint8_t> out;
  append_le32(out, 0x01020304u);
  append_le16(out, 0x0506);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{4, 3, 2, 1, 6, 5}));
}

TEST(Bytes, CheckedReadsOfNumbersNotWhollyInsideAreZero) {
  const std::vector<std::uint8_t> b = {1, 2, 3, 4, 5};
  struct Case {
    std::size_t at;
    std::uint32_t le16, le24, le32;
  };
  const Case cases[] = {
      {0, 0x0201, 0x030201, 0x04030201},
      {1, 0x0302, 0x040302, 0x05040302},
      {2, 0x0403, 0x050403, 0},
      {3, 0x0504, 0, 0},
      {4, 0, 0, 0},
      {5, 0, 0, 0},
      {std::numeric_limits<std::size_t>::max() - 1, 0, 0, 0},  // no wrap-around
  };
  for (const Case& c : cases) {
    EXPECT_EQ(le16_at(b, c.at), c.le16) << "le16 at " << c.at;
    EXPECT_EQ(le24_at(b, c.at), c.le24) << "le24 at " << c.at;
    EXPECT_EQ(le32_at(b, c.at), c.le32) << "le32 at " << c.at;
  }
}

}  // namespace
}  // namespace lumavix
