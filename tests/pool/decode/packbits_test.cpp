#include "pool/decode/packbits.h"

#include <gtest/gtest.h>

#include <vector>

namespace vel {
namespace {

struct PackBitsCase {
  const char* name;
  std::vector<uint8_t> packed;
  size_t expected;
  bool ok;
  std::vector<uint8_t> out;  // when ok
};

TEST(PackBits, RowsAcceptedAndRefused) {
  const std::vector<PackBitsCase> cases = {
      {"literal", {2, 1, 2, 3}, 3, true, {1, 2, 3}},
      {"repeat", {0xFE, 7}, 3, true, {7, 7, 7}},
      {"literal then repeat", {0, 9, 0xFF, 4}, 3, true, {9, 4, 4}},
      {"run past the row is cut", {0xF9, 5}, 3, true, {5, 5, 5}},
      {"literal past the row is cut", {3, 1, 2, 3, 4}, 2, true, {1, 2}},
      {"padding skipped anywhere", {0x80, 1, 6, 6, 0x80, 0x80}, 2, true, {6, 6}},
      {"further packet after the row fails", {0xFE, 7, 0, 1}, 3, false, {}},
      {"short row fails", {1, 1, 2}, 3, false, {}},
      {"literal missing bytes fails", {2, 1, 2}, 3, false, {}},
      {"repeat missing its byte fails", {0xFE}, 3, false, {}},
      {"empty input fails", {}, 1, false, {}},
  };
  for (const PackBitsCase& c : cases) {
    std::vector<uint8_t> out(c.expected, 0xAA);
    EXPECT_EQ(unpack_bits_row(c.packed, c.expected, out.data()), c.ok) << c.name;
    EXPECT_EQ(check_packbits_row(c.packed, c.expected), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.name;
    }
  }
}

}  // namespace
}  // namespace vel
