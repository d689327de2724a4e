#include "core/switches.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

struct SwitchCase {
  const char* value;
  bool when_one;
  bool unless_zero;
};

TEST(Switches, ParsingRules) {
  const SwitchCase cases[] = {
      {nullptr, false, true}, {"", false, true},    {"1", true, true},   {"0", false, false},
      {"01", false, true},    {"1 ", false, true},  {" 0", false, true}, {"true", false, true},
      {"yes", false, true},   {"00", false, true},  {"2", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    EXPECT_EQ(switch_on_when_one(c.value), c.when_one);
    EXPECT_EQ(switch_on_unless_zero(c.value), c.unless_zero);
  }
}

}  // namespace
}  // namespace vel
