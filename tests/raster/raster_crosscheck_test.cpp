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
// The stand-in host's renderer and keyframe evaluation.
#include "keyframe_eval.h"
#include "renderer.h"

namespace vel::testing {
namespace {

using nlohmann::json;

constexpr int kFps = 25;
// Sides divisible by 4: the host rounds a downsampled side up, the raster
// path down, and only whole pixels are compared.
constexpr int kWidth = 160, kHeight = 120;

json solid_layer(const std::string& name, json color, int w, int h) {
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
  json low = solid_layer("low", {0.1, 0.6, 0.9}, 100, 120);
  low["transform"] = {{"anchor", {0, 0}}, {"position", {0, 0}}, {"opacity", 80}};
  json mid = solid_layer("mid", {0.95, 0.4, 0.05}, 160, 50);
  mid["transform"] = {{"anchor", {0, 0}}, {"position", {0, 70}}, {"opacity", 100}};
  return {mid, low};
}

json blend_project(const json& mode) {
  json top = solid_layer("top", {0.7, 0.25, 0.55}, 90, 70);
  top["blend_mode"] = mode;
  top["transform"] = {{"position", {75, 62}}, {"rotation", 30}, {"opacity", 70}, {"scale", {110, 90}}};
  json layers = {top};
  for (const json& l : backdrop_layers()) layers.push_back(l);
  return comp_of(layers);
}

json animated_project() {
  json spin = solid_layer("spin", {0.9, 0.1, 0.2}, 60, 40);
  spin["transform"] = {
      {"anchor", {{"keyframes", {key(0, {30, 20}), key(40, {10, 5})}}}},
      {"position", {{"keyframes", {eased_key(0, {40, 40}, 0, 33.33, 0, 33.33),
                                   eased_key(20, {120, 80}, 30, 50, -20, 75),
                                   eased_key(45, {60, 100}, 0, 10, 0, 10)}}}},
      {"scale", {{"keyframes", {key(0, {100, 100}, "hold"), key(15, {150, 60}, "hold"), key(30, {-80, 120})}}}},
      {"rotation", {{"keyframes", {eased_key(0, 0, 0, 33.33, 0, 33.33), eased_key(35, 270, 0, 33.33, 0, 33.33)}}}},
      {"opacity", {{"keyframes", {key(0, 100), key(25, 35), key(49, 90)}}}}};
  json late = solid_layer("late", {0.2, 0.9, 0.3}, 80, 80);
  late["in_point"] = {10, kFps};
  late["duration"] = {20, kFps};
  late["blend_mode"] = "screen";
  late["transform"] = {{"position", {{"keyframes", {key(10, {20, 20}), key(30, {140, 100})}}}}, {"rotation", -12.5}};
  json off = solid_layer("off", {1, 1, 1}, 160, 120);
  off["enabled"] = false;
  json layers = {spin, late, off};
  for (const json& l : backdrop_layers()) layers.push_back(l);
  return comp_of(layers);
}

// The stand-in host's frame as 8-bit premultiplied RGBA.
std::vector<uint8_t> host_frame(int frame, int ds, int& width, int& height) {
  auto snap = sim::host().project.snapshot();
  sim::RenderRequest req;
  req.time = sim::HostTime{frame, kFps};
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
  CompModel read_candidate() {
    auto model = introspect_comp(kPlugin, active());
    EXPECT_TRUE(model.ok()) << model.error();
    if (!model) return {};
    for (LayerModel& layer : model.value().layers) {
      std::erase_if(layer.unsupported, [](const std::string& s) { return s.ends_with("_spatial_tangents"); });
    }
    auto candidate = raster_candidate(std::move(model).value());
    EXPECT_TRUE(candidate.ok()) << candidate.error();
    return candidate ? candidate.value() : CompModel{};
  }

  // Every frame of `frames` at every downsample: against the host, then
  // prepared against direct, then optimize on against off.
  void check_all(const std::string& label, const std::vector<int>& frames) {
    const CompModel model = read_candidate();
    auto prepared = prepare_raster_scene(model);
    ASSERT_TRUE(prepared.ok()) << prepared.error();
    auto scene = std::make_shared<const PreparedScene>(std::move(prepared).value());
    for (int ds : {1, 2, 4}) {
      for (int f : frames) {
        const double t = double(f) / kFps;
        const std::string at = label + " frame " + std::to_string(f) + " ds " + std::to_string(ds);
        auto direct = render_raster_frame(model, ds, true, t);
        ASSERT_TRUE(direct.ok()) << at << ": " << direct.error();
        int hw = 0, hh = 0;
        const auto host = host_frame(f, ds, hw, hh);
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

// The host interpolates each side of a key on its own: a segment that leaves
// a linear key and arrives at an eased one is eased at its end. The raster
// path follows the leaving key alone and draws that segment straight; the
// cross-checks above keep both sides of every key alike for that reason.
TEST(RasterKeyRule, LinearKeyIntoEasedKeyIsStraightHereButEasedByTheHost) {
  sim::Property prop;
  prop.dims = 1;
  sim::Keyframe a{{0, 1}, {0, 0, 0}, sim::Interp::linear, sim::Interp::linear, {}, {}};
  sim::Keyframe b{{1, 1}, {100, 0, 0}, sim::Interp::bezier, sim::Interp::bezier, sim::Ease{0, 50}, sim::Ease{0, 50}};
  prop.keys = {a, b};
  AnimatedScalar ours = AnimatedScalar::keyed(
      {{0, 0, Interpolation::Linear, std::nullopt, std::nullopt},
       {1, 100, Interpolation::Bezier, TemporalEase{0, 50}, TemporalEase{0, 50}}});
  EXPECT_DOUBLE_EQ(eval_animated_scalar(ours, 0.5), 50.0);
  EXPECT_GT(sim::property_value_at(prop, 0.5)[0], 50.5);
}

}  // namespace
}  // namespace vel::testing
