#include "core/machine.h"

#include <gtest/gtest.h>

#include "support/affinity_child.h"

namespace vel {
namespace {

TEST(Machine, ProcessorCountFollowsTheAffinityMask) {
  const size_t allowed = testing::allowed_processors().size();
  ASSERT_GT(allowed, 0u);
  EXPECT_EQ(allowed, usable_cpu_count().value_or(0));
  // Narrowed in a child, as a host started under taskset -c would be: the
  // count follows the mask, not the machine's processors.
  for (size_t want : {size_t{1}, size_t{2}}) {
    if (want > allowed) continue;
    const int rc = testing::run_with_processors(want, [want] {
      if (usable_cpu_count() != want) return 1;
      if (memory_and_cpu_count().cpu_count != want) return 2;
      return 0;
    });
    EXPECT_EQ(0, rc) << want << " processors (1: usable count, 2: machine facts)";
  }
}

}  // namespace
}  // namespace vel
