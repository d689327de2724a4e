// The preview topology scan against the stand-in host, and the raster
// decision drawn from a scan: its PERF lines and when it reads the full model.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "raster/preview_topology.h"
#include "raster_test_support.h"
#include "sim_fixture.h"

namespace vel::testing {
namespace {

using nlohmann::json;

json solid(const std::string& name) {
  return {{"name", name}, {"solid", {{"name", name + " s"}, {"color", {1, 0, 0}}, {"width", 8}, {"height", 8}}}};
}

// A list, not a braced json: one braced element would be copied, not
// wrapped in an array, by some compilers.
json project(const std::vector<json>& list) {
  const json comps(list);
  return {{"active_comp", comps[0]["name"]}, {"compositions", comps}};
}

json comp(const std::string& name, const std::vector<json>& layers) {
  return {{"name", name}, {"width", 16}, {"height", 16}, {"frame_duration", {1, 25}}, {"duration", {25, 25}},
          {"layers", json(layers)}};
}

uint64_t frozen_clock() { return 1000; }

class TopologyScan : public SimHostTest {
 protected:
  Result<PreviewTopology> scan(const json& p) {
    EXPECT_TRUE(open_project(p.dump()));
    return scan_preview_topology(active(), frozen_clock);
  }
};

TEST_F(TopologyScan, Table) {
  json three_d = solid("a");
  three_d["three_d"] = true;
  json camera = {{"name", "cam"}, {"type", "camera"}};
  json text = {{"name", "t"}, {"type", "text"}};
  json footage = {{"name", "f"}, {"footage", {{"name", "clip.mov"}, {"width", 8}, {"height", 8}}}};
  json nested_a = solid("n");
  nested_a["comp"] = "B";
  nested_a.erase("solid");
  json nested_b = solid("m");
  nested_b["comp"] = "A";
  nested_b.erase("solid");
  json no_source = {{"name", "empty"}};
  struct Case {
    const char* what;
    json project;
    uint32_t layers;
    bool complete, gpu, candidate;
  } cases[] = {
      {"two solids", project({comp("A", {solid("a"), solid("b")})}), 2, true, false, true},
      {"a 3D layer stops the scan", project({comp("A", {solid("x"), three_d, solid("b")})}), 2, true, true, true},
      {"a camera among solids", project({comp("A", {solid("a"), camera, solid("b")})}), 2, true, true, true},
      {"text is no candidate", project({comp("A", {text, solid("b")})}), 2, true, false, false},
      {"footage is no candidate", project({comp("A", {solid("a"), footage})}), 2, true, false, false},
      {"a layer without source", project({comp("A", {no_source})}), 1, true, false, false},
      // A nests B, B nests A: each composition is visited once.
      {"self-nesting through two precomps", project({comp("A", {nested_a}), comp("B", {nested_b})}), 2, true, false,
       false},
  };
  for (const Case& c : cases) {
    auto r = scan(c.project);
    ASSERT_TRUE(r.ok()) << c.what << ": " << r.error();
    EXPECT_EQ(r.value().layers, c.layers) << c.what;
    EXPECT_EQ(r.value().complete, c.complete) << c.what;
    EXPECT_EQ(r.value().gpu, c.gpu) << c.what;
    EXPECT_EQ(r.value().candidate, c.candidate) << c.what;
  }
}

TEST_F(TopologyScan, BudgetsCutTheScanShort) {
  json many = json::array();
  for (int i = 0; i < 600; ++i) many.push_back(solid("s" + std::to_string(i)));
  auto r = scan(project({comp("A", many)}));
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().layers, kTopologyMaxLayers);
  EXPECT_FALSE(r.value().complete);
  EXPECT_TRUE(r.value().gpu);
  EXPECT_FALSE(r.value().timed_out) << "the tree's size cut it, which a second scan would meet again";

  // A clock that has run out after the first item.
  ASSERT_TRUE(open_project(project({comp("A", {solid("a")})}).dump()));
  uint64_t calls = 0;
  auto slow = scan_preview_topology(active(), [&] { return calls++ == 0 ? 0 : kTopologyMaxNs; });
  ASSERT_TRUE(slow.ok());
  EXPECT_FALSE(slow.value().complete);
  EXPECT_TRUE(slow.value().gpu);
  EXPECT_EQ(slow.value().layers, 0u);
  EXPECT_TRUE(slow.value().timed_out);
  EXPECT_TRUE(decide_raster_path(slow, 8.07, {true, false}, [] { return Result<CompModel>(err("unused")); })
                  .scan_timed_out);
}

TEST_F(TopologyScan, ErrorTexts) {
  json light = {{"name", "l"}, {"type", 9}};
  auto odd = scan(project({comp("A", {light})}));
  ASSERT_FALSE(odd.ok());
  EXPECT_EQ(odd.error(), "preview topology: unsupported object type 9");

  ASSERT_TRUE(open_project(project({comp("A", {solid("a")})}).dump()));
  sim::host().faults.arm("GetFootageSignature", A_Err_GENERIC);
  auto sig = scan_preview_topology(active(), frozen_clock);
  ASSERT_FALSE(sig.ok());
  EXPECT_EQ(sig.error(), "preview topology: unknown footage signature");
  sim::host().faults.clear();

  sim::host().faults.arm("GetLayerObjectType", A_Err_GENERIC);
  auto kind = scan_preview_topology(active(), frozen_clock);
  ASSERT_FALSE(kind.ok());
  EXPECT_EQ(kind.error(), "preview topology: unknown layer kind");
  sim::host().faults.clear();

  sim::host().faults.arm("GetCompNumLayers", A_Err_PARAMETER);
  auto count = scan_preview_topology(active(), frozen_clock);
  ASSERT_FALSE(count.ok());
  EXPECT_EQ(count.error(), "preview topology: Parameter");
}

// --- the decision -------------------------------------------------------

struct CountedIntrospection {
  int calls = 0;
  CompModel model = comp_model(8, 8, {solid_layer(1, {1, 0, 0}, 8, 8)});
  std::function<Result<CompModel>()> fn() {
    return [this]() -> Result<CompModel> {
      ++calls;
      return model;
    };
  }
};

constexpr const char* kHost = "PREVIEW_PROFILE renderer=host bpc=8 pool_motion_blur=off in_process_motion_blur=current";

TEST(RasterDecision, AcceptsACompleteCandidate) {
  CountedIntrospection in;
  auto d = decide_raster_path(PreviewTopology{1, true, false, true}, 0.5, {true, false}, in.fn());
  EXPECT_EQ(in.calls, 1);
  ASSERT_TRUE(d.raster_comp);
  EXPECT_FALSE(d.comp_is_3d);
  EXPECT_EQ(d.perf_records, (std::vector<std::string>{
                                "PREVIEW_SCAN layers=1 complete=true gpu=false full_introspection=true elapsed_ms=0.50",
                                "PREVIEW_PROFILE renderer=raster bpc=8 motion_blur=off layers=1"}));
}

// The budget stops the scan with the 3D flag up; the layers it did not see
// may be anything, so the composition stays with the host, flagged 3D.
TEST(RasterDecision, AScanCutShortIsNeverACandidate) {
  CountedIntrospection in;
  auto d = decide_raster_path(PreviewTopology{512, false, true, true}, 8.25, {true, false}, in.fn());
  EXPECT_EQ(in.calls, 0);
  EXPECT_FALSE(d.raster_comp);
  EXPECT_TRUE(d.comp_is_3d);
  EXPECT_EQ(d.perf_records, (std::vector<std::string>{
                                "PREVIEW_SCAN layers=512 complete=false gpu=true full_introspection=false elapsed_ms=8.25",
                                kHost}));
}

TEST(RasterDecision, SwitchOffBlockedErrorsAndRejections) {
  CountedIntrospection in;
  EXPECT_FALSE(decide_raster_path(PreviewTopology{1, true, false, true}, 0, {false, false}, in.fn()).raster_comp);
  EXPECT_FALSE(decide_raster_path(PreviewTopology{1, true, false, true}, 0, {true, true}, in.fn()).raster_comp);
  EXPECT_EQ(in.calls, 0);

  auto failed = decide_raster_path(Result<PreviewTopology>(err("preview topology: Generic")), 1.234, {true, false},
                                   in.fn());
  EXPECT_TRUE(failed.comp_is_3d);
  EXPECT_EQ(failed.perf_records,
            (std::vector<std::string>{"PREVIEW_SCAN error=preview topology: Generic elapsed_ms=1.23"}));

  in.model.layers[0].blend_mode = "soft_light";
  in.model.layers[0].name = "Doux";
  auto rejected = decide_raster_path(PreviewTopology{1, true, false, true}, 0, {true, false}, in.fn());
  EXPECT_FALSE(rejected.raster_comp);
  ASSERT_EQ(rejected.perf_records.size(), 2u);
  EXPECT_EQ(rejected.perf_records[1],
            std::string(kHost) + " raster_rejection=hors périmètre raster v0: calque 1 « Doux » : blend « soft_light »");

  auto unreadable = decide_raster_path(PreviewTopology{1, true, false, true}, 0, {true, false},
                                       [] { return Result<CompModel>(err("no")); });
  EXPECT_TRUE(unreadable.comp_is_3d);
  EXPECT_FALSE(unreadable.raster_comp);
}

}  // namespace
}  // namespace vel::testing
