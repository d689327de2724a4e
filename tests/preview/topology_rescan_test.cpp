// The pinned composition's scan against the stand-in host when its time runs
// out: on a busy machine one preemption of the main thread spends the whole
// budget, and the "3D" of such a scan must not keep a 2-D composition from
// the pool all session.
#include <gtest/gtest.h>

#include "preview/preview_controller.h"
#include "raster/preview_topology.h"
#include "raster/sim_fixture.h"

namespace vel::testing {
namespace {

constexpr const char* kTwoSolids = R"({"active_comp": "A", "compositions": [{"name": "A", "width": 16, "height": 16,
  "frame_duration": [1, 25], "duration": [25, 25], "layers": [
    {"name": "a", "solid": {"name": "a s", "color": [1, 0, 0], "width": 8, "height": 8}},
    {"name": "b", "solid": {"name": "b s", "color": [0, 1, 0], "width": 8, "height": 8}}]}]})";

// A clock whose budget is gone by its second reading, as after a preemption.
std::function<uint64_t()> preempted_clock() {
  return [calls = 0]() mutable -> uint64_t { return calls++ == 0 ? 0 : kTopologyMaxNs; };
}

class TopologyRescan : public SimHostTest {};

TEST_F(TopologyRescan, AScanOutOfTimeIsMadeAgainAFewTimesThenStands) {
  ASSERT_TRUE(open_project(kTwoSolids));
  PreviewController ctl = make_preview_controller(kPlugin, 0);
  for (uint8_t rescan = 1; rescan <= kTopologyRescans; ++rescan) {
    classify_preview_topology(ctl, active(), preempted_clock());
    EXPECT_TRUE(ctl.comp_is_3d);
    EXPECT_TRUE(ctl.raster_reread) << "scan " << int{rescan} << " is to be made again";
    EXPECT_EQ(ctl.topology_rescans, rescan);
    ctl.raster_reread = false;
  }
  classify_preview_topology(ctl, active(), preempted_clock());
  EXPECT_FALSE(ctl.raster_reread) << "a composition too slow to scan every time keeps its answer";

  // A scan with time to finish sees the two solids.
  ctl.topology_rescans = 0;
  classify_preview_topology(ctl, active(), [] { return uint64_t{1000}; });
  EXPECT_FALSE(ctl.comp_is_3d);
  EXPECT_FALSE(ctl.raster_reread);
  EXPECT_EQ(ctl.topology_rescans, 0);
}

}  // namespace
}  // namespace vel::testing
