// Comp introspection against the stand-in host: the demo projects' dumps,
// every host call made to fail with a chosen code, and the host's ledger
// balanced after each read.
#include <gtest/gtest.h>

#include <algorithm>

#include "raster/comp_dump.h"
#include "sim_fixture.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel::testing {
namespace {

// One solid layer that reaches every call introspection makes: keyframed
// bezier position with eases, one effect, a nested comp below it.
constexpr const char* kProbeProject = R"({"active_comp": "T", "compositions": [
  {"name": "T", "width": 100, "height": 50, "frame_duration": [1, 25], "duration": [50, 25],
   "layers": [
     {"name": "S", "solid": {"name": "Red", "color": [1, 0, 0], "width": 20, "height": 10},
      "effects": [{"match_name": "ADBE Fill", "active": true}],
      "transform": {"position": {"keyframes": [
        {"time": [0, 25], "value": [1, 2], "interp": "bezier",
         "ease_in": {"speed": 0, "influence": 50}, "ease_out": {"speed": 0, "influence": 50}},
        {"time": [25, 25], "value": [3, 4], "interp": "bezier",
         "ease_in": {"speed": 0, "influence": 50}, "ease_out": {"speed": 0, "influence": 50}}]}}}]}]})";

bool has(const std::vector<std::string>& list, const std::string& text) {
  return std::find(list.begin(), list.end(), text) != list.end();
}

std::string joined(const std::vector<std::string>& list) {
  std::string out;
  for (const auto& s : list) out += "\n  " + s;
  return out;
}

class Introspection : public SimHostTest {};

TEST_F(Introspection, DemoProjectsDumpAsExpected) {
  for (const char* name : {"sample", "showcase"}) {
    ASSERT_TRUE(open_project(read_text(std::string(VEL_DEMO_DIR) + "/" + name + ".aep"))) << name;
    const HostLedger before = HostLedger::now();
    auto model = introspect_comp(kPlugin, active());
    ASSERT_TRUE(model.ok()) << model.error();
    auto text = comp_dump_text(model.value());
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(), read_text(std::string(VEL_RASTER_EXPECTED_DIR) + "/" + name + "_comp_dump.json")) << name;
    EXPECT_EQ(HostLedger::now().imbalance_since(before), "") << name;
  }
}

struct FaultCase {
  const char* call;
  // Where the text must appear: "error" (the whole read fails), "comp", or
  // "layer" (the first layer's list); "name", "match" for those fields.
  const char* where;
  const char* text;
  bool leaks = false;  // the failing call is itself a release: the host keeps what it refused
};

// Every call failing every time with a code the host documents, or one it
// does not (an internal error naming the code).
const FaultCase kFaults[] = {
    {"AcquireSuite AEGP Item Suite", "error", "suite Item: MissingSuite"},
    {"AcquireSuite AEGP Comp Suite", "error", "suite Comp: MissingSuite"},
    {"AcquireSuite AEGP Layer Suite", "error", "suite Layer: MissingSuite"},
    {"GetItemType", "error", "l'item n'est pas une comp (ou type inconnu)"},
    {"GetCompFromItem", "error", "comp_from_item: Generic"},
    {"GetItemDimensions", "error", "item_dimensions: Generic"},
    {"GetItemDuration", "error", "item_duration: Generic"},
    {"GetCompFramerate", "error", "comp_framerate: Generic"},
    {"GetCompNumLayers", "error", "comp_num_layers: Generic"},
    {"GetItemName", "name", "<item_name: Generic>"},
    {"AcquireSuite AEGP Memory Suite", "name", "<item_name: MissingSuite>"},
    {"LockMemHandle", "name", "<item_name: Generic>"},
    {"GetMemHandleSize", "layer", "field_error(name: Generic)"},
    {"GetCompBGColor", "comp", "field_error(bg_color: Generic)"},
    {"GetCompLayerByIndex", "comp", "field_error(layer[0]: Generic)"},
    {"GetLayerFlags", "comp", "unknown_layer_visibility"},
    {"GetLayerName", "layer", "field_error(name: Generic)"},
    {"GetLayerFlags", "layer", "field_error(flags: Generic)"},
    {"GetLayerParent", "layer", "field_error(parent: Generic)"},
    {"GetLayerObjectType", "layer", "field_error(object_type)"},
    {"GetMainFootageFromItem", "layer", "footage_path"},
    {"GetFootageSignature", "layer", "footage_path"},
    {"GetSolidFootageColor", "layer", "footage_path"},
    {"GetLayerInPoint", "layer", "field_error(in_point: Generic)"},
    {"GetLayerDuration", "layer", "field_error(duration: Generic)"},
    {"GetLayerOffset", "layer", "field_error(start_time: Generic)"},
    {"GetLayerTransferMode", "layer", "field_error(transfer_mode: Generic)"},
    {"AcquireSuite AEGP Stream Suite", "layer", "field_error(anchor: suite Stream MissingSuite)"},
    {"AcquireSuite AEGP Keyframe Suite", "layer", "field_error(opacity: suite Keyframe MissingSuite)"},
    {"GetNewLayerStream", "layer", "field_error(scale: new_layer_stream Generic)"},
    {"GetExpressionState", "layer", "field_error(rotation: expression_state: Generic)"},
    {"AcquireSuite AEGP Dynamic Stream Suite", "layer", "field_error(anchor: separated_dimensions: MissingSuite)"},
    {"IsSeparationLeader", "layer", "field_error(opacity: separated_dimensions: Generic)"},
    {"AreDimensionsSeparated", "layer", "field_error(position: separated_dimensions: Generic)"},
    {"GetStreamNumKFs", "layer", "field_error(anchor: keyframe_count: Generic)"},
    {"GetStreamType", "layer", "field_error(anchor: stream_value Generic)"},
    {"GetStreamType", "layer", "field_error(position: kf_value[1] Generic)"},
    {"GetNewStreamValue", "layer", "field_error(scale: stream_value Generic)"},
    {"DisposeStreamValue", "layer", "field_error(rotation: stream_value Generic)", true},
    {"DisposeStreamValue", "layer", "field_error(position: kf_value[0] Generic)", true},
    {"GetKeyframeTime", "layer", "field_error(position: kf_time[1] Generic)"},
    {"GetNewKeyframeValue", "layer", "field_error(position: kf_value[0] Generic)"},
    {"GetKeyframeInterpolation", "layer", "field_error(position: kf_interp[0])"},
    {"GetKeyframeInterpolation", "layer", "field_error(position: kf_interp[1] inconnu)"},
    {"AcquireSuite AEGP Effect Suite", "layer", "field_error(effects: suite MissingSuite)"},
    {"GetLayerNumEffects", "layer", "field_error(effects: num Generic)"},
    {"GetLayerEffectByIndex", "layer", "field_error(effects[0]: Generic)"},
    {"GetInstalledKeyFromLayerEffect", "match", "<match_name: Generic>"},
    {"GetEffectMatchName", "match", "<match_name: Generic>"},
    {"DisposeEffect", "layer", "field_error(effects: dispose[0] Generic)", true},
    {"GetNewStreamRefForLayer", "layer", "field_error(layer_groups: Generic)"},
    {"GetNumStreamsInGroup", "layer", "field_error(layer_groups: Generic)"},
    {"GetNewStreamRefByIndex", "layer", "field_error(layer_groups: Generic)"},
    {"GetMatchName", "layer", "field_error(layer_groups: Generic)"},
    {"GetStreamIsModified", "layer", "field_error(layer_groups: Generic)"},
    {"AcquireSuite AEGP Layer Mask Suite", "layer", "field_error(masks: MissingSuite)"},
    {"GetLayerNumMasks", "layer", "field_error(masks: Generic)"},
};

TEST_F(Introspection, EachFailingCallBecomesItsTextAndNothingLeaks) {
  ASSERT_TRUE(open_project(kProbeProject));
  for (const FaultCase& c : kFaults) {
    SCOPED_TRACE(std::string(c.call) + " -> " + c.text);
    sim::host().faults.arm(c.call, A_Err_GENERIC);
    const HostLedger before = HostLedger::now();
    auto model = introspect_comp(kPlugin, active());
    sim::host().faults.clear();
    const std::string where = c.where;
    if (where == "error") {
      ASSERT_FALSE(model.ok());
      EXPECT_EQ(model.error(), c.text);
    } else {
      ASSERT_TRUE(model.ok()) << model.error();
      const CompModel& m = model.value();
      if (where == "name") {
        EXPECT_EQ(m.name, c.text);
      }
      if (where == "comp") {
        EXPECT_TRUE(has(m.unsupported, c.text)) << joined(m.unsupported);
      }
      if (where == "layer" || where == "match") {
        ASSERT_EQ(m.layers.size(), 1u);
        const LayerModel& l = m.layers[0];
        if (where == "layer") {
          EXPECT_TRUE(has(l.unsupported, c.text)) << joined(l.unsupported);
        }
        if (where == "match") {
          ASSERT_EQ(l.effects.size(), 1u);
          EXPECT_EQ(l.effects[0].match_name, c.text);
        }
      }
    }
    const std::string imbalance = HostLedger::now().imbalance_since(before);
    if (c.leaks) {
      EXPECT_NE(imbalance, "") << "a refused release leaves its reference with the host";
    } else {
      EXPECT_EQ(imbalance, "");
    }
  }
}

TEST_F(Introspection, FieldDefaultsAfterFailures) {
  ASSERT_TRUE(open_project(kProbeProject));
  struct Case {
    const char* call;
    void (*check)(const LayerModel&);
  };
  const Case cases[] = {
      {"GetLayerName", [](const LayerModel& l) { EXPECT_EQ(l.name, "<layer 0>"); EXPECT_EQ(l.index, 1u); }},
      {"GetLayerFlags", [](const LayerModel& l) { EXPECT_FALSE(l.enabled); EXPECT_EQ(l.kind, LayerKind::Av); }},
      {"GetLayerObjectType", [](const LayerModel& l) { EXPECT_EQ(l.kind, LayerKind::Unknown); }},
      {"GetLayerSourceItem", [](const LayerModel& l) { EXPECT_FALSE(l.source.has_value()); }},
      {"GetSolidFootageColor",
       [](const LayerModel& l) { EXPECT_EQ(l.source, LayerSource(FootageSource{"Red"})); }},
      {"GetLayerTransferMode", [](const LayerModel& l) { EXPECT_EQ(l.blend_mode, "unknown"); }},
      {"GetEffectFlags", [](const LayerModel& l) { ASSERT_EQ(l.effects.size(), 1u); EXPECT_FALSE(l.effects[0].enabled); }},
      {"GetLayerEffectByIndex", [](const LayerModel& l) { EXPECT_TRUE(l.effects.empty()); }},
      {"GetKeyframeTime",
       [](const LayerModel& l) {
         const auto* keys = l.transform.position.as_keys();
         ASSERT_NE(keys, nullptr) << "keys that all failed stay keyframes";
         EXPECT_TRUE(keys->empty());
       }},
      {"GetKeyframeTemporalEase",
       [](const LayerModel& l) {
         const auto* keys = l.transform.position.as_keys();
         ASSERT_NE(keys, nullptr);
         ASSERT_EQ(keys->size(), 2u);
         EXPECT_EQ((*keys)[0].interp, Interpolation::Bezier);
         EXPECT_FALSE((*keys)[0].ease_in || (*keys)[0].ease_out);
       }},
      {"GetNewStreamValue", [](const LayerModel& l) { EXPECT_EQ(l.transform.scale, AnimatedVec2::constant({0, 0})); }},
      {"GetLayerInPoint", [](const LayerModel& l) { EXPECT_EQ(l.in_point, 0.0); EXPECT_EQ(l.out_point, 2.0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    sim::host().faults.arm(c.call, A_Err_PARAMETER);
    auto model = introspect_comp(kPlugin, active());
    sim::host().faults.clear();
    ASSERT_TRUE(model.ok()) << model.error();
    ASSERT_EQ(model->layers.size(), 1u);
    c.check(model->layers[0]);
  }
}

TEST_F(Introspection, CodesOutsideTheKnownSetAreNamedByTheirNumber) {
  ASSERT_TRUE(open_project(kProbeProject));
  sim::host().faults.arm("GetLayerFlags", 12345);
  auto model = introspect_comp(kPlugin, active());
  ASSERT_TRUE(model.ok());
  EXPECT_TRUE(has(model->layers[0].unsupported, "field_error(flags: Unknown enum value Error: 12345)"))
      << joined(model->layers[0].unsupported);
  sim::host().faults.arm("GetItemDuration", -7);
  model = introspect_comp(kPlugin, active());
  ASSERT_FALSE(model.ok());
  EXPECT_EQ(model.error(), "item_duration: Unknown enum value Error: -7");
}

// A failure on one key only, in the middle of a read: the other key is kept
// and everything handed out for the failed one is given back.
TEST_F(Introspection, OneKeyFailingMidwayKeepsTheOthers) {
  ASSERT_TRUE(open_project(kProbeProject));
  // The second key's call of each kind (the anchor's static value is the
  // first value given back).
  const std::pair<const char*, uint32_t> calls[] = {
      {"GetKeyframeTime", 1}, {"GetNewKeyframeValue", 1}, {"DisposeStreamValue", 2}};
  for (const auto& [call, skip] : calls) {
    SCOPED_TRACE(call);
    sim::host().faults.arm(call, A_Err_ALLOC, skip, /*times=*/1);
    const HostLedger before = HostLedger::now();
    auto model = introspect_comp(kPlugin, active());
    sim::host().faults.clear();
    ASSERT_TRUE(model.ok());
    const auto* keys = model->layers[0].transform.position.as_keys();
    ASSERT_NE(keys, nullptr);
    ASSERT_EQ(keys->size(), 1u);
    EXPECT_EQ((*keys)[0].v, (Vec2{1, 2}));
    const std::string bad = std::string(call) == "GetKeyframeTime" ? "kf_time[1]" : "kf_value[1]";
    EXPECT_TRUE(has(model->layers[0].unsupported, "field_error(position: " + bad + " OutOfMemory)"))
        << joined(model->layers[0].unsupported);
    HostLedger after = HostLedger::now();
    if (std::string(call) == "DisposeStreamValue") {
      EXPECT_EQ(after.values.live, before.values.live + 1) << "only the value the host refused to take back";
      after.values = before.values;
    }
    EXPECT_EQ(after.imbalance_since(before), "");
  }
}

TEST_F(Introspection, NullOrNonCompositionItemIsRefused) {
  ASSERT_TRUE(open_project(kProbeProject));
  auto none = introspect_comp(kPlugin, nullptr);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(), "l'item n'est pas une comp (ou type inconnu)");
  auto solid = introspect_comp(kPlugin, sim::solid_item_handle({sim::host().project.snapshot()->comps[0].id, 0}));
  ASSERT_FALSE(solid.ok());
  EXPECT_EQ(solid.error(), "l'item n'est pas une comp (ou type inconnu)");
}

TEST_F(Introspection, EmptyCompositionStillCarriesItsFixedTexts) {
  ASSERT_TRUE(open_project(R"({"active_comp": "E", "compositions": [{"name": "E", "width": 4, "height": 4,
      "frame_duration": [1, 30], "duration": [30, 30], "bg_color": [0.5, 0.25, 1]}]})"));
  auto model = introspect_comp(kPlugin, active());
  ASSERT_TRUE(model.ok());
  EXPECT_TRUE(model->layers.empty());
  EXPECT_EQ(model->unsupported, (std::vector<std::string>{"markers", "motion_blur_settings"}));
  EXPECT_EQ(model->bg_color, (Rgb{0.5f, 0.25f, 1.0f}));
  EXPECT_EQ(model->frame_rate, 30.0);
  EXPECT_EQ(model->duration, 1.0);
}

TEST_F(Introspection, LayerGroupsBeyondTheKnownOnes) {
  struct Case {
    const char* groups;
    const char* expect;  // the last text of the layer, or "" for none of these
  };
  const Case cases[] = {
      {R"([])", ""},
      {R"(["ADBE Layer Styles"])", "additional_layer_properties"},
      {R"(["ADBE Marker", "ADBE Effect Parade"])", ""},  // known groups are never asked about
      {R"(["0123456789012345678901234567890123456789"])", "field_error(layer_groups: InvalidParms)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.groups);
    ASSERT_TRUE(open_project(std::string(R"({"active_comp": "G", "compositions": [{"name": "G", "width": 4,
        "height": 4, "frame_duration": [1, 30], "duration": [30, 30], "layers": [{"name": "s",
        "solid": {"color": [1, 1, 1]}, "modified_groups": )") + c.groups + "}]}]}"));
    const HostLedger before = HostLedger::now();
    auto model = introspect_comp(kPlugin, active());
    ASSERT_TRUE(model.ok());
    const auto& u = model->layers[0].unsupported;
    if (*c.expect) {
      ASSERT_FALSE(u.empty());
      EXPECT_EQ(u.back(), c.expect);
    } else {
      EXPECT_TRUE(u.empty()) << joined(u);
    }
    EXPECT_EQ(HostLedger::now().imbalance_since(before), "");
  }
  // More than 64 children are not scanned one by one.
  std::string many = "[";
  for (int i = 0; i < 60; ++i) many += std::string(i ? "," : "") + "\"G" + std::to_string(i) + "\"";
  many += "]";
  ASSERT_TRUE(open_project(std::string(R"({"active_comp": "G", "compositions": [{"name": "G", "width": 4,
      "height": 4, "frame_duration": [1, 30], "duration": [30, 30], "layers": [{"name": "s",
      "solid": {"color": [1, 1, 1]}, "modified_groups": )") + many + "}]}]}"));
  sim::host().faults.arm("GetMatchName", A_Err_GENERIC);
  auto model = introspect_comp(kPlugin, active());
  ASSERT_TRUE(model.ok());
  EXPECT_EQ(model->layers[0].unsupported, (std::vector<std::string>{"additional_layer_properties"}));
}

TEST_F(Introspection, DumpCommandWritesOnlyOnSuccess) {
  ScratchDir dir("vel-dump");
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(open_project(R"({"active_comp": null, "compositions": [{"name": "N", "width": 4, "height": 4,
      "frame_duration": [1, 30], "duration": [30, 30]}]})"));
  auto none = dump_comp_into(kPlugin, dir.path());
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(), "dump comp: pas d'item actif (sélectionner une comp)");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "velocinta_comp_dump.json"));

  ASSERT_TRUE(open_project(kProbeProject));
  auto no_dir = dump_comp_into(kPlugin, std::nullopt);
  ASSERT_FALSE(no_dir.ok());
  EXPECT_EQ(no_dir.error(), "dump comp: répertoire de logs introuvable");

  sim::host().faults.arm("GetActiveItem", A_Err_STRUCT);
  auto failed = dump_comp_into(kPlugin, dir.path());
  sim::host().faults.clear();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "dump comp: active_item: Struct");

  auto missing_dir = dump_comp_into(kPlugin, dir.path() / "absent");
  ASSERT_FALSE(missing_dir.ok());
  EXPECT_EQ(missing_dir.error().rfind("dump comp: écriture échouée: ", 0), 0u) << missing_dir.error();

  // A second run replaces the first file.
  std::ofstream(dir.path() / "velocinta_comp_dump.json") << std::string(100000, 'x');
  auto written = dump_comp_into(kPlugin, dir.path());
  ASSERT_TRUE(written.ok()) << written.error();
  const std::string text = read_text(written.value());
  EXPECT_EQ(text.rfind("{\n  \"schema_version\": 0,\n  \"comp\": {\n    \"name\": \"T\",", 0), 0u);
  EXPECT_EQ(text.back(), '}');
}

}  // namespace
}  // namespace vel::testing
