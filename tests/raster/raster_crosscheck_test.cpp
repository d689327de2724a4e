// The raster renderer against the stand-in host's own renderer, which shares
// no code with it: the same compositions read through the host's suites and
// drawn both ways must cover the same pixels with every channel within one
// step, at downsample 1, 2 and 4. The prepared scene must then give the
// direct render's bytes exactly, and the fast paths the same coverage.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "raster/keyframe_eval.h"
#include "raster/prepared_scene.h"
#include "raster/raster_eligibility.h"
#include "raster/raster_frame.h"
#include "sim_fixture.h"
#include "support/scratch_dir.h"
// The stand-in host's renderer and keyframe evaluation.
#include "project/keyframe_eval.h"
#include "render/renderer.h"
#include "vel_build_paths.h"

namespace vel::testing {
namespace {

using nlohmann::json;

constexpr int kFps = 25;
// Sides divisible by 4: the host rounds a downsampled side up, the raster
// path down, and only whole pixels are compared.
constexpr int kWidth = 160, kHeight = 120;

json solid_layer_json(const std::string& name, json color, int w, int h) {
  return {{"name", name}, {"solid", {{"name", name + " solid"}, {"color", color}, {"width", w}, {"height", h}}}};
}

json key(int frame, json value, const char* interp = "linear") {
  return {{"time", {frame, kFps}}, {"value", value}, {"interp", interp}};
}

json eased_key(int frame, json value, double speed_in, double infl_in, double speed_out, double infl_out) {
  json k = key(frame, value, "bezier");
  k["ease_in"] = {{"speed", speed_in}, {"influence", infl_in}};
  k["ease_out"] = {{"speed", speed_out}, {"influence", infl_out}};
  return k;
}

json comp_of(json layers) {
  return {{"active_comp", "X"},
          {"compositions",
           {{{"name", "X"},
             {"width", kWidth},
             {"height", kHeight},
             {"frame_duration", {1, kFps}},
             {"duration", {50, kFps}},
             {"bg_color", {0.2, 0.3, 0.4}},
             {"layers", layers}}}}};
}

// A half-covering, half-transparent backdrop with its own colour, so that
// every kernel sees backdrops with and without coverage.
json backdrop_layers() {
  json low = solid_layer_json("low", {0.1, 0.6, 0.9}, 100, 120);
  low["transform"] = {{"anchor", {0, 0}}, {"position", {0, 0}}, {"opacity", 80}};
  json mid = solid_layer_json("mid", {0.95, 0.4, 0.05}, 160, 50);
  mid["transform"] = {{"anchor", {0, 0}}, {"position", {0, 70}}, {"opacity", 100}};
  return {mid, low};
}

json blend_project(const json& mode) {
  json top = solid_layer_json("top", {0.7, 0.25, 0.55}, 90, 70);
  top["blend_mode"] = mode;
  top["transform"] = {{"position", {75, 62}}, {"rotation", 30}, {"opacity", 70}, {"scale", {110, 90}}};
  json layers = json::array({top});
  for (const json& l : backdrop_layers()) layers.push_back(l);
  return comp_of(layers);
}

json animated_project() {
  json spin = solid_layer_json("spin", {0.9, 0.1, 0.2}, 60, 40);
  spin["transform"] = {
      {"anchor", {{"keyframes", {key(0, {30, 20}), key(40, {10, 5})}}}},
      {"position", {{"keyframes", {eased_key(0, {40, 40}, 0, 33.33, 0, 33.33),
                                   eased_key(20, {120, 80}, 30, 50, -20, 75),
                                   eased_key(45, {60, 100}, 0, 10, 0, 10)}}}},
      {"scale", {{"keyframes", {key(0, {100, 100}, "hold"), key(15, {150, 60}, "hold"), key(30, {-80, 120})}}}},
      {"rotation", {{"keyframes", {eased_key(0, 0, 0, 33.33, 0, 33.33), eased_key(35, 270, 0, 33.33, 0, 33.33)}}}},
      {"opacity", {{"keyframes", {key(0, 100), key(25, 35), key(49, 90)}}}}};
  json late = solid_layer_json("late", {0.2, 0.9, 0.3}, 80, 80);
  late["in_point"] = {10, kFps};
  late["duration"] = {20, kFps};
  late["blend_mode"] = "screen";
  late["transform"] = {{"position", {{"keyframes", {key(10, {20, 20}), key(30, {140, 100})}}}}, {"rotation", -12.5}};
  json off = solid_layer_json("off", {1, 1, 1}, 160, 120);
  off["enabled"] = false;
  json layers = json::array({spin, late, off});
  for (const json& l : backdrop_layers()) layers.push_back(l);
  return comp_of(layers);
}

// The stand-in host's frame as 8-bit premultiplied RGBA.
std::vector<uint8_t> host_frame(int frame, int fps, int ds, int& width, int& height) {
  auto snap = sim::host().project.snapshot();
  sim::RenderRequest req;
  req.time = sim::HostTime{frame, uint32_t(fps)};
  req.downsample_x = req.downsample_y = ds;
  auto rendered = sim::render_composition(snap->comps[*snap->active_comp], req);
  EXPECT_TRUE(rendered.ok());
  if (!rendered) return {};
  width = rendered.value().width;
  height = rendered.value().height;
  std::vector<uint8_t> out(rendered.value().rgba.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = sim::to_8bit(rendered.value().rgba[i]);
  return out;
}

// "" when both frames cover the same pixels and agree within one step.
std::string compare(const std::vector<uint8_t>& ours, const std::vector<uint8_t>& host) {
  if (ours.size() != host.size()) return "sizes differ";
  size_t coverage = 0, off_by_more = 0;
  std::string first;
  for (size_t p = 0; p < ours.size(); p += 4) {
    if ((ours[p + 3] == 0) != (host[p + 3] == 0)) ++coverage;
    for (size_t ch = 0; ch < 4; ++ch) {
      if (std::abs(int(ours[p + ch]) - int(host[p + ch])) > 1) {
        if (first.empty()) {
          first = " first at pixel " + std::to_string(p / 4) + " channel " + std::to_string(ch) + ": " +
                  std::to_string(ours[p + ch]) + " vs " + std::to_string(host[p + ch]);
        }
        ++off_by_more;
      }
    }
  }
  if (coverage == 0 && off_by_more == 0) return "";
  return std::to_string(coverage) + " pixels covered differently, " + std::to_string(off_by_more) +
         " channels off by more than 1;" + first;
}

class RasterCrossCheck : public SimHostTest {
 protected:
  // The host's renderer moves anchor and position on straight lines, so the
  // spatial tangents the model refuses are all of zero length here: those
  // texts are dropped to compare the motion itself.
  // The scale's ease is read from its first dimension, and the host's
  // renderer eases every dimension alike: that text goes too.
  CompModel read_model() {
    auto model = introspect_comp(kPlugin, active());
    EXPECT_TRUE(model.ok()) << model.error();
    if (!model) return {};
    for (LayerModel& layer : model.value().layers) {
      std::erase_if(layer.unsupported, [](const std::string& s) {
        return s.ends_with("_spatial_tangents") || s == "scale_per_dimension_ease";
      });
    }
    return std::move(model).value();
  }

  CompModel read_candidate() {
    auto candidate = raster_candidate(read_model());
    EXPECT_TRUE(candidate.ok()) << candidate.error();
    return candidate ? candidate.value() : CompModel{};
  }

  // Every frame of `frames` at every downsample: against the host, then
  // prepared against direct, then optimize on against off.
  void check_all(const std::string& label, const std::vector<int>& frames, int fps = kFps) {
    const CompModel model = read_candidate();
    auto prepared = prepare_raster_scene(model);
    ASSERT_TRUE(prepared.ok()) << prepared.error();
    auto scene = std::make_shared<const PreparedScene>(std::move(prepared).value());
    for (int ds : {1, 2, 4}) {
      for (int f : frames) {
        const double t = double(f) / fps;
        const std::string at = label + " frame " + std::to_string(f) + " ds " + std::to_string(ds);
        auto direct = render_raster_frame(model, ds, true, t);
        ASSERT_TRUE(direct.ok()) << at << ": " << direct.error();
        int hw = 0, hh = 0;
        const auto host = host_frame(f, fps, ds, hw, hh);
        ASSERT_EQ(direct.value().width, uint32_t(hw)) << at;
        ASSERT_EQ(direct.value().height, uint32_t(hh)) << at;
        EXPECT_EQ(compare(direct.value().pixels, host), "") << at;

        auto from_scene = render_prepared_frame(evaluate_prepared_frame(scene, t), ds, true);
        ASSERT_TRUE(from_scene.ok()) << at;
        EXPECT_TRUE(from_scene.value().pixels == direct.value().pixels) << at << ": prepared differs from direct";

        auto exact = render_raster_frame(model, ds, false, t);
        ASSERT_TRUE(exact.ok()) << at;
        EXPECT_EQ(compare(exact.value().pixels, direct.value().pixels), "") << at << ": optimize on vs off";
      }
    }
  }
};

TEST_F(RasterCrossCheck, EveryBlendModeMatchesTheHost) {
  // 26 is the host's second "difference"; project files give it by number.
  const json modes[] = {"normal", "multiply", "screen", "overlay", "darken", "lighten",
                        "difference", 26, "add", "linear_dodge"};
  for (const json& mode : modes) {
    ASSERT_TRUE(open_project(blend_project(mode).dump()));
    check_all("mode " + mode.dump(), {0});
  }
}

TEST_F(RasterCrossCheck, KeyframedTransformsMatchTheHostOverTime) {
  ASSERT_TRUE(open_project(animated_project().dump()));
  check_all("animated", {0, 3, 7, 10, 12, 15, 19, 20, 22, 29, 30, 33, 41, 45, 49});
}

// One key of a mixed-kind property: its two sides and which eases the host
// holds for it.
struct SideKey {
  int frame;
  const char* in;
  const char* out;
  bool ease_in = false, ease_out = false;
};

json sided_key(const SideKey& k, json value, double speed) {
  json j = {{"time", {k.frame, kFps}}, {"value", value}, {"in_interp", k.in}, {"out_interp", k.out}};
  if (k.ease_in) j["ease_in"] = {{"speed", 0.5 * speed}, {"influence", 40}};
  if (k.ease_out) j["ease_out"] = {{"speed", speed}, {"influence", 65}};
  return j;
}

// The same key kinds drive position, rotation and opacity of one layer.
json mixed_keys_project(const std::vector<SideKey>& keys) {
  const json positions[] = {{30, 30}, {120, 50}, {60, 100}, {140, 90}};
  const double rotations[] = {0, 90, -30, 45};
  const double opacities[] = {100, 40, 90, 20};
  json position = json::array(), rotation = json::array(), opacity = json::array();
  for (size_t i = 0; i < keys.size(); ++i) {
    position.push_back(sided_key(keys[i], positions[i], 150));
    rotation.push_back(sided_key(keys[i], rotations[i], 200));
    opacity.push_back(sided_key(keys[i], opacities[i], -120));
  }
  json mover = solid_layer_json("mover", {0.85, 0.3, 0.15}, 50, 30);
  mover["blend_mode"] = "overlay";
  mover["transform"] = {{"position", {{"keyframes", position}}},
                        {"rotation", {{"keyframes", rotation}}},
                        {"opacity", {{"keyframes", opacity}}}};
  json layers = json::array({mover});
  for (const json& l : backdrop_layers()) layers.push_back(l);
  return comp_of(layers);
}

// Keys that mix hold, linear and bezier on either side, with and without
// eases: where the raster path draws, it draws the host's motion; where the
// model does not say how the host shapes a side, the composition is refused.
TEST_F(RasterCrossCheck, MixedKeyKindsMatchTheHostOrAreRefused) {
  struct Case {
    const char* what;
    std::vector<SideKey> keys;
    bool drawn;
  } cases[] = {
      {"held in, linear out", {{0, "linear", "linear"}, {12, "hold", "linear"}, {24, "linear", "linear"}}, true},
      {"linear in, held out", {{0, "linear", "linear"}, {12, "linear", "hold"}, {24, "linear", "linear"}}, true},
      {"eased key into a linear key",
       {{0, "bezier", "bezier", true, true}, {12, "linear", "linear"}, {24, "linear", "linear"}}, true},
      {"eased key into a held key", {{0, "bezier", "bezier", true, true}, {12, "hold", "hold"}, {24, "linear", "linear"}},
       true},
      {"linear key into an eased key",
       {{0, "linear", "linear"}, {12, "bezier", "bezier", true, true}, {24, "linear", "linear"}}, true},
      {"eased in, linear out",
       {{0, "linear", "linear"}, {12, "bezier", "linear", true, true}, {24, "bezier", "bezier", true, true}}, true},
      {"linear in, eased out", {{0, "linear", "linear"}, {12, "linear", "bezier", true, true}, {24, "hold", "linear"}},
       true},
      {"held in, eased out", {{0, "hold", "hold"}, {12, "hold", "bezier", true, true}, {24, "linear", "linear"}}, true},
      {"eased in, held out",
       {{0, "bezier", "bezier", true, true}, {12, "bezier", "hold", true, true}, {24, "linear", "linear"}}, true},
      {"ease held only on the eased side",
       {{0, "linear", "linear"}, {12, "linear", "bezier", false, true}, {24, "bezier", "linear", true, false},
        {36, "linear", "linear"}},
       true},
      {"every kind in a row",
       {{0, "bezier", "bezier", true, true}, {10, "bezier", "hold", true, true}, {20, "hold", "linear"},
        {32, "linear", "bezier", true, true}},
       true},
      {"bezier side without eases", {{0, "linear", "linear"}, {12, "bezier", "bezier"}, {24, "linear", "linear"}},
       false},
      {"bezier side whose own ease is missing",
       {{0, "linear", "linear"}, {12, "bezier", "linear", false, true}, {24, "linear", "linear"}}, false},
  };
  std::vector<int> frames;
  for (int f = 0; f <= 40; f += 2) frames.push_back(f);
  for (const Case& c : cases) {
    ASSERT_TRUE(open_project(mixed_keys_project(c.keys).dump())) << c.what;
    if (c.drawn) {
      check_all(c.what, frames);
      continue;
    }
    auto candidate = raster_candidate(read_model());
    ASSERT_FALSE(candidate.ok()) << c.what;
    EXPECT_EQ(candidate.error(), "layer 1: unresolved Bezier interpolation") << c.what;
  }
}

// The keyed solid of the showcase demo and its backdrop, made 2-D (no z, no
// further property groups): its rotation reaches a key whose bezier side
// has no ease, so it is refused; given that ease, it is drawn as the host
// draws it, frames 60 and 75 included.
TEST_F(RasterCrossCheck, TwoDimensionalShowcaseMatchesTheHostOrIsRefused) {
  json project = json::parse(read_text(std::string(VEL_DEMO_DIR) + "/showcase.aep"));
  json& comp = project["compositions"][0];
  json kept = json::array();
  for (json& layer : comp["layers"]) {
    if (layer["name"] != "Keys" && layer["name"] != "Backdrop") continue;
    layer.erase("modified_groups");
    if (layer.contains("transform")) {
      json& tr = layer["transform"];
      tr["position"] = {640, 360};
      for (json& k : tr["scale"]["keyframes"]) k["value"][2] = 100;
    }
    kept.push_back(layer);
  }
  comp["layers"] = kept;
  ASSERT_TRUE(open_project(project.dump()));
  auto refused = raster_candidate(read_model());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "layer 1: unresolved Bezier interpolation");

  comp["layers"][0]["transform"]["rotation"]["keyframes"][1]["ease_in"] = {{"speed", 20}, {"influence", 45}};
  comp["layers"][0]["transform"]["rotation"]["keyframes"][1]["ease_out"] = {{"speed", 20}, {"influence", 45}};
  ASSERT_TRUE(open_project(project.dump()));
  check_all("showcase 2-D", {0, 10, 20, 30, 45, 50, 60, 65, 75, 89, 90, 100, 120}, 30);
}

}  // namespace
}  // namespace vel::testing
