// The stand-in host's side of comp introspection: the project file's extra
// layer parts, the ledger of references the host hands out, chosen call
// failures, and a renderer that still draws only solids.
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "hostsdk/effect_suite.h"
#include "hostsdk/keyframe_suite.h"
#include "hostsdk/layer_suite.h"
#include "hostsdk/mask_suite.h"
#include "hostsdk/memory_suite.h"
#include "hostsdk/stream_suite.h"
#include "project/project_json.h"
#include "render/renderer.h"
#include "simhost/cli.h"
#include "simhost/host.h"
#include "suite_table.h"
#include "vel_build_paths.h"

namespace sim {
namespace {

using nlohmann::json;

std::string repo_path(const char* rel) {
  return std::string(VEL_SOURCE_DIR) + "/" + rel;
}

TEST(ProjectExtras, ShowcaseReadsWritesAndReadsBackTheSame) {
  Result<Project> p = load_project_file(repo_path("demo/showcase.aep"));
  ASSERT_TRUE(p.ok()) << p.error();
  const json once = project_to_json(p.value());
  Result<Project> back = project_from_json(once);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(project_to_json(back.value()), once);
  const auto& layers = back.value().comps[0].layers;
  EXPECT_EQ(layers[2].parent, 4u);
  EXPECT_EQ(layers[2].transform.opacity.expression, "wiggle(2, 20)");
  EXPECT_FALSE(layers[2].transform.rotation.expression_enabled);
  EXPECT_TRUE(layers[4].transform.position.separated);
  EXPECT_EQ(layers[3].effects.size(), 2u);
  EXPECT_EQ(layers[9].source_comp, "Showcase");
  EXPECT_EQ(layers[12].transfer_mode, 39);
  EXPECT_EQ(layers[12].track_matte, 7);
}

TEST(ProjectExtras, BadLayerPartsAreRefusedNamingTheField) {
  const std::string head = R"({"compositions": [{"name": "A", "width": 8, "height": 8, "frame_duration": [1, 24],
      "duration": [24, 24], "layers": [{"name": "x"}, )";
  const struct {
    const char* layer;
    const char* want;
  } cases[] = {
      {R"({"name": "L", "solid": {"color": [1, 1, 1]}, "comp": "A"})", "compositions[0].layers[1]: at most one of"},
      {R"({"name": "L", "type": "text", "footage": {"name": "f"}})", "compositions[0].layers[1].type: only an audio/video"},
      {R"({"name": "L", "type": "sprite"})", "compositions[0].layers[1].type: expected a layer type"},
      {R"({"name": "L", "switches": ["solo", "loud"]})", "compositions[0].layers[1].switches[1]: unknown switch"},
      {R"({"name": "L", "parent": 1})", "compositions[0].layers[1].parent: expected the position of another layer"},
      {R"({"name": "L", "parent": 5})", "compositions[0].layers[1].parent: expected the position of another layer"},
      {R"({"name": "L", "comp": "Nowhere"})", "compositions[0].layers[1].comp: no composition named \"Nowhere\""},
      {R"({"name": "L", "effects": [{"active": true}]})", "compositions[0].layers[1].effects[0].match_name: expected a string"},
      {R"({"name": "L", "footage": {"name": "f", "width": 0}})", "compositions[0].layers[1].footage.width: out of range"},
      {R"({"name": "L", "masks": -1})", "compositions[0].layers[1].masks: expected a mask count"},
      {R"({"name": "L", "transform": {"opacity": {"expression": "x"}}})",
       "compositions[0].layers[1].transform.opacity: missing \"value\""},
  };
  for (const auto& c : cases) {
    Result<Project> p = parse_project_text(head + c.layer + "]}]}");
    ASSERT_FALSE(p.ok()) << c.layer;
    EXPECT_EQ(p.error().rfind(c.want, 0), 0u) << p.error();
  }
}

TEST(ProjectExtras, RendererDrawsOnlySolidsAsBefore) {
  Result<Project> p = parse_project_text(R"({"compositions": [{"name": "A", "width": 4, "height": 4,
      "frame_duration": [1, 24], "duration": [24, 24], "layers": [
        {"name": "nest", "comp": "A"}, {"name": "clip", "footage": {"name": "c.mov"}},
        {"name": "t", "type": "text"}, {"name": "cam", "type": "camera", "three_d": true}]}]})");
  ASSERT_TRUE(p.ok()) << p.error();
  Result<RenderedFrame> f = render_composition(p.value().comps[0], RenderRequest{{0, 24}});
  ASSERT_TRUE(f.ok());
  for (float v : f.value().rgba) ASSERT_EQ(v, 0.0f);
}

TEST(CommandLine, FailedCallsTakeAnyNonZeroCode) {
  Result<Options> o = parse_command_line({"--plugin", "p.so", "--project", "x", "--fail-call", "GetLayerFlags=12345",
                                          "--fail-call", "AcquireSuite AEGP Stream Suite=-7"});
  ASSERT_TRUE(o.ok()) << o.error();
  ASSERT_EQ(o.value().failed_calls.size(), 2u);
  EXPECT_EQ(o.value().failed_calls[0].call, "GetLayerFlags");
  EXPECT_EQ(o.value().failed_calls[0].code, 12345);
  EXPECT_EQ(o.value().failed_calls[1].call, "AcquireSuite AEGP Stream Suite");
  EXPECT_EQ(o.value().failed_calls[1].code, -7);
  for (const char* bad : {"GetLayerFlags", "GetLayerFlags=", "=3", "GetLayerFlags=0", "GetLayerFlags=3x",
                          "GetLayerFlags=4294967296"}) {
    EXPECT_FALSE(parse_command_line({"--plugin", "p", "--project", "x", "--fail-call", bad}).ok()) << bad;
  }
}

class Ledger : public ::testing::Test {
 protected:
  void SetUp() override {
    Host& h = host();
    h.main_thread = std::this_thread::get_id();
    static bool installed = false;
    if (!installed) install_suites(h);
    installed = true;
    Result<Project> p = parse_project_text(R"({"active_comp": "C", "compositions": [{"name": "C", "width": 8,
        "height": 8, "frame_duration": [1, 25], "duration": [50, 25], "layers": [{"name": "s",
        "solid": {"color": [1, 1, 1]}, "effects": [{"match_name": "ADBE Fill"}],
        "transform": {"rotation": {"keyframes": [{"time": [0, 25], "value": 0}, {"time": [10, 25], "value": 90}]}}}]}]})");
    ASSERT_TRUE(p.ok()) << p.error();
    h.project.open(std::move(p).value(), "");
    layer = layer_handle(LayerAddress{h.project.snapshot()->comps[0].id, 0});
    streams = suite<AEGP_StreamSuite11>(kAEGPStreamSuite, kAEGPStreamSuiteVersion11);
    keys = suite<AEGP_KeyframeSuite5>(kAEGPKeyframeSuite, kAEGPKeyframeSuiteVersion5);
    effects = suite<AEGP_EffectSuite4>(kAEGPEffectSuite, kAEGPEffectSuiteVersion4);
    memory = suite<AEGP_MemorySuite1>(kAEGPMemorySuite, kAEGPMemorySuiteVersion1);
    layers = suite<AEGP_LayerSuite13>(kAEGPLayerSuite, kAEGPLayerSuiteVersion13);
  }
  void TearDown() override {
    host().faults.clear();
    host().basic.ReleaseSuite(kAEGPStreamSuite, kAEGPStreamSuiteVersion11);
    host().basic.ReleaseSuite(kAEGPKeyframeSuite, kAEGPKeyframeSuiteVersion5);
    host().basic.ReleaseSuite(kAEGPEffectSuite, kAEGPEffectSuiteVersion4);
    host().basic.ReleaseSuite(kAEGPMemorySuite, kAEGPMemorySuiteVersion1);
    host().basic.ReleaseSuite(kAEGPLayerSuite, kAEGPLayerSuiteVersion13);
  }

  AEGP_LayerH layer = nullptr;
  const AEGP_StreamSuite11* streams = nullptr;
  const AEGP_KeyframeSuite5* keys = nullptr;
  const AEGP_EffectSuite4* effects = nullptr;
  const AEGP_MemorySuite1* memory = nullptr;
  const AEGP_LayerSuite13* layers = nullptr;
};

TEST_F(Ledger, DoubleReleasesAreRefusedAndCounted) {
  const LedgerCounts s0 = host().streams.counts(), v0 = host().stream_values.counts(), e0 = host().effects.counts();
  const uint64_t m0 = host().bad_mem_frees.load();

  AEGP_StreamRefH rot = nullptr;
  ASSERT_EQ(streams->GetNewLayerStream(1, layer, AEGP_LayerStream_ROTATION, &rot), 0);
  AEGP_StreamValue2 a{}, b{};
  ASSERT_EQ(keys->GetNewKeyframeValue(1, rot, 1, &a), 0);
  EXPECT_EQ(a.val.one_d, 90);
  const A_Time zero{0, 1};
  ASSERT_EQ(streams->GetNewStreamValue(1, rot, AEGP_LTimeMode_CompTime, &zero, 1, &b), 0);
  EXPECT_EQ(host().stream_values.counts().live, v0.live + 2);
  AEGP_StreamValue2 copy = a;
  EXPECT_EQ(streams->DisposeStreamValue(&a), 0);
  EXPECT_EQ(streams->DisposeStreamValue(&b), 0);
  EXPECT_NE(streams->DisposeStreamValue(&copy), 0) << "a value given back twice";
  EXPECT_EQ(streams->DisposeStream(rot), 0);
  EXPECT_NE(streams->DisposeStream(rot), 0) << "a reference given back twice";
  A_long n = 0;
  EXPECT_NE(keys->GetStreamNumKFs(rot, &n), 0) << "a released reference is stale";

  AEGP_EffectRefH fx = nullptr;
  ASSERT_EQ(effects->GetLayerEffectByIndex(1, layer, 0, &fx), 0);
  EXPECT_EQ(effects->DisposeEffect(fx), 0);
  EXPECT_NE(effects->DisposeEffect(fx), 0);

  AEGP_MemHandle own = nullptr, source = nullptr;
  ASSERT_EQ(layers->GetLayerName(1, layer, &own, &source), 0);
  EXPECT_EQ(memory->FreeMemHandle(own), 0);
  EXPECT_EQ(memory->FreeMemHandle(source), 0);
  EXPECT_NE(memory->FreeMemHandle(source), 0);

  const LedgerCounts s1 = host().streams.counts(), v1 = host().stream_values.counts(), e1 = host().effects.counts();
  EXPECT_EQ(s1.live, s0.live);
  EXPECT_EQ(s1.bad_releases, s0.bad_releases + 1);
  EXPECT_EQ(v1.live, v0.live);
  EXPECT_EQ(v1.bad_releases, v0.bad_releases + 1);
  EXPECT_EQ(e1.live, e0.live);
  EXPECT_EQ(e1.bad_releases, e0.bad_releases + 1);
  EXPECT_EQ(host().bad_mem_frees.load(), m0 + 1);
}

TEST_F(Ledger, ChosenFailuresComeWhenAskedAndOnlyThen) {
  A_long n = 0;
  // The second and third calls fail, with a code outside the documented set.
  host().faults.arm("GetLayerNumEffects", 4242, /*skip=*/1, /*times=*/2);
  const A_Err expect[] = {0, 4242, 4242, 0, 0};
  for (A_Err e : expect) EXPECT_EQ(effects->GetLayerNumEffects(layer, &n), e);
  EXPECT_EQ(n, 1);

  host().faults.arm("AcquireSuite AEGP Layer Mask Suite", A_Err_GENERIC);
  const void* table = reinterpret_cast<const void*>(1);
  EXPECT_EQ(host().basic.AcquireSuite(kAEGPLayerMaskSuite, kAEGPLayerMaskSuiteVersion7, &table), A_Err_GENERIC);
  EXPECT_EQ(table, nullptr);
  host().faults.clear();
  EXPECT_EQ(host().basic.AcquireSuite(kAEGPLayerMaskSuite, kAEGPLayerMaskSuiteVersion7, &table), 0);
  EXPECT_EQ(host().basic.ReleaseSuite(kAEGPLayerMaskSuite, kAEGPLayerMaskSuiteVersion7), 0);
  EXPECT_GE(host().faults.calls("GetLayerNumEffects"), 5u);
}

TEST_F(Ledger, LayerTimesInBothModes) {
  Result<Project> p = parse_project_text(R"({"active_comp": "C", "compositions": [{"name": "C", "width": 8,
      "height": 8, "frame_duration": [1, 25], "duration": [50, 25], "layers": [{"name": "s",
      "in_point": [10, 25], "duration": [20, 25], "offset": [1, 5],
      "transform": {"opacity": {"keyframes": [{"time": [15, 25], "value": 0}, {"time": [20, 25], "value": 50}]}}}]}]})");
  ASSERT_TRUE(p.ok()) << p.error();
  host().project.open(std::move(p).value(), "");
  layer = layer_handle(LayerAddress{host().project.snapshot()->comps[0].id, 0});
  A_Time t{};
  ASSERT_EQ(layers->GetLayerInPoint(layer, AEGP_LTimeMode_CompTime, &t), 0);
  EXPECT_EQ(t.value * 1000 + static_cast<A_long>(t.scale), 10025);
  ASSERT_EQ(layers->GetLayerInPoint(layer, AEGP_LTimeMode_LayerTime, &t), 0);
  EXPECT_EQ(static_cast<double>(t.value) / t.scale, 0.2);  // 0.4 s less the 0.2 s offset
  EXPECT_NE(layers->GetLayerInPoint(layer, 7, &t), 0);

  AEGP_StreamRefH op = nullptr;
  ASSERT_EQ(streams->GetNewLayerStream(1, layer, AEGP_LayerStream_OPACITY, &op), 0);
  ASSERT_EQ(keys->GetKeyframeTime(op, 1, AEGP_LTimeMode_CompTime, &t), 0);
  EXPECT_EQ(static_cast<double>(t.value) / t.scale, 0.8);
  // Layer time 0.5 s is composition time 0.7 s: between the two keys.
  AEGP_StreamValue2 v{};
  const A_Time half{1, 2};
  ASSERT_EQ(streams->GetNewStreamValue(1, op, AEGP_LTimeMode_LayerTime, &half, 1, &v), 0);
  EXPECT_DOUBLE_EQ(v.val.one_d, 25);
  EXPECT_EQ(streams->DisposeStreamValue(&v), 0);
  EXPECT_EQ(streams->DisposeStream(op), 0);
}

}  // namespace
}  // namespace sim
