#include "store/cost_profile.h"

#include <gtest/gtest.h>

#include <cmath>

#include "store/store_test_support.h"

namespace vel {
namespace {

using F = CostFigures;
constexpr std::nullopt_t none = std::nullopt;

TEST(CostProfile, WritingKeepsOnlyCountingFigures) {
  EXPECT_EQ(write_cost_profile(F{}), std::nullopt);
  EXPECT_EQ(write_cost_profile(F{30.0, 12.0, -5.0, none, 0.0}), std::nullopt);
  EXPECT_EQ(write_cost_profile(F{30.0, 30.5, 600000.0, 600000.5, std::nan("")}), "[null,30.5,600000.0,null,null]");
  EXPECT_EQ(write_cost_profile(F{none, 125.5, none, 2400.0, none}), "[null,125.5,null,2400.0,null]");
  EXPECT_EQ(write_cost_profile(F{INFINITY, 0.1 + 100.2, none, none, none}), "[null,100.3,null,null,null]");
}

TEST(CostProfile, ReadingTable) {
  struct Row {
    const char* text;
    F figures;
  };
  const Row rows[] = {
      {"[1,2,3]", F{}},
      {"[100]", F{100.0, none, none, none, none}},
      {"{\"a\":1}", F{}},
      {"42", F{}},
      {"[50, \"x\", null, 70, 80, 90]", F{50.0, none, none, 70.0, 80.0}},
      {" \t\n[null,125.5,null,2400.0,null]\r\n", F{none, 125.5, none, 2400.0, none}},
      {"[100],", F{}},
      {"[100] x", F{}},
      {"[1e400, 600000]", F{}},  // a number out of range makes the whole text unreadable
      {"[31, 600001, 600000, 30]", F{31.0, none, 600000.0, none, none}},
      {"", F{}},
      {"[", F{}},
  };
  for (const Row& r : rows) EXPECT_EQ(read_cost_profile(r.text), r.figures) << r.text;
}

TEST(CostProfile, FileRoundTripAndRefusals) {
  testing::ScratchDir scratch;
  const auto path = cost_profile_file(scratch.path(), "Comp 1 / final");
  EXPECT_EQ(path, scratch.path() / "cost-fast-v1" / "Comp_1___final.json");
  const std::string text = *write_cost_profile(F{none, 125.5, none, 2400.0, none});
  test::put_file(path, std::vector<uint8_t>(text.begin(), text.end()));
  EXPECT_EQ(load_cost_profile(path), (F{none, 125.5, none, 2400.0, none}));
  std::string big = "[100" + std::string(5000, ' ') + "]";
  test::put_file(path, std::vector<uint8_t>(big.begin(), big.end()));
  EXPECT_EQ(load_cost_profile(path), F{}) << "over 4096 bytes";
  const std::vector<uint8_t> latin1 = {'[', '1', '0', '0', ']', ' ', 0xE9};
  test::put_file(path, latin1);
  EXPECT_EQ(load_cost_profile(path), F{}) << "not UTF-8";
}

}  // namespace
}  // namespace vel
