#include "raster/prepared_scene.h"

#include <algorithm>
#include <cmath>

#include "raster/blend_kernels.h"
#include "raster/raster_eligibility.h"

namespace vel {
namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;

Result<PreparedLayer> prepare_layer(const LayerModel& layer) {
  const auto* solid = layer.source ? std::get_if<SolidSource>(&*layer.source) : nullptr;
  if (!solid) return err("non-solid in prepared scene");
  if (!std::isfinite(layer.in_point) || !std::isfinite(layer.out_point) || !std::isfinite(solid->color[0]) ||
      !std::isfinite(solid->color[1]) || !std::isfinite(solid->color[2])) {
    return err("non-finite solid or visibility");
  }
  PreparedLayer out;
  out.paint.kernel = blend_for_name(layer.blend_mode);
  if (!out.paint.kernel) return err("unsupported blend");
  out.paint.is_normal = layer.blend_mode == "normal";
  const LayerTransform& tr = layer.transform;
  auto anchor = prepare_animated_vec2(tr.anchor);
  if (!anchor) return err(anchor.error());
  auto position = prepare_animated_vec2(tr.position);
  if (!position) return err(position.error());
  auto scale = prepare_animated_vec2(tr.scale);
  if (!scale) return err(scale.error());
  auto rotation = prepare_animated_scalar(tr.rotation);
  if (!rotation) return err(rotation.error());
  auto opacity = prepare_animated_scalar(tr.opacity);
  if (!opacity) return err(opacity.error());
  out.anchor = std::move(anchor).value();
  out.position = std::move(position).value();
  out.scale = std::move(scale).value();
  out.rotation = std::move(rotation).value();
  out.opacity = std::move(opacity).value();
  out.paint.width = solid->width;
  out.paint.height = solid->height;
  out.paint.red = std::clamp<double>(solid->color[0], 0.0, 1.0);
  out.paint.green = std::clamp<double>(solid->color[1], 0.0, 1.0);
  out.paint.blue = std::clamp<double>(solid->color[2], 0.0, 1.0);
  out.in_point = layer.in_point;
  out.out_point = layer.out_point;
  return out;
}

bool same_transform(const EvaluatedTransform& a, const EvaluatedTransform& b) {
  return a.anchor_x == b.anchor_x && a.anchor_y == b.anchor_y && a.position_x == b.position_x &&
         a.position_y == b.position_y && a.scale_x == b.scale_x && a.scale_y == b.scale_y &&
         a.rotation == b.rotation && a.opacity == b.opacity;
}

bool all_static(const PreparedLayer& l) {
  return l.anchor.is_static && l.position.is_static && l.scale.is_static && l.rotation.is_static &&
         l.opacity.is_static;
}

bool transform_finite(const EvaluatedTransform& tr) {
  return std::isfinite(tr.anchor_x) && std::isfinite(tr.anchor_y) && std::isfinite(tr.position_x) &&
         std::isfinite(tr.position_y) && std::isfinite(tr.scale_x) && std::isfinite(tr.scale_y) &&
         std::isfinite(tr.rotation * kRadiansPerDegree) && std::isfinite(tr.opacity);
}

}  // namespace

Result<PreparedScene> prepare_raster_scene(const CompModel& comp) {
  if (auto reason = scene_rejection_reason(comp)) return err(*reason);
  std::vector<const LayerModel*> taken;
  for (const LayerModel& layer : comp.layers) {
    if (layer.enabled && layer.in_point < layer.out_point) taken.push_back(&layer);
  }
  std::stable_sort(taken.begin(), taken.end(),
                   [](const LayerModel* a, const LayerModel* b) { return a->index > b->index; });
  PreparedScene scene;
  scene.width = comp.width;
  scene.height = comp.height;
  scene.layers.reserve(taken.size());
  for (const LayerModel* layer : taken) {
    auto prepared = prepare_layer(*layer);
    if (!prepared) return err(prepared.error());
    scene.layers.push_back(std::move(prepared).value());
  }
  return scene;
}

FrameState evaluate_prepared_frame(std::shared_ptr<const PreparedScene> scene, double t) {
  FrameState state;
  state.layers.reserve(scene->layers.size());
  for (const PreparedLayer& l : scene->layers) {
    LayerState ls;
    ls.visible = l.in_point <= t && t < l.out_point;
    if (ls.visible) {
      const Vec2 anchor = eval_prepared_vec2(l.anchor, t);
      const Vec2 position = eval_prepared_vec2(l.position, t);
      const Vec2 scale = eval_prepared_vec2(l.scale, t);
      ls.transform = {anchor.x,   anchor.y,   position.x, position.y, scale.x, scale.y,
                      eval_prepared_scalar(l.rotation, t),
                      std::clamp(eval_prepared_scalar(l.opacity, t) / 100.0, 0.0, 1.0)};
    }
    state.layers.push_back(ls);
  }
  state.scene = std::move(scene);
  return state;
}

bool frame_states_equal(const FrameState& a, const FrameState& b) {
  if (a.scene != b.scene || a.layers.size() != b.layers.size()) return false;
  for (size_t i = 0; i < a.layers.size(); ++i) {
    const LayerState& x = a.layers[i];
    const LayerState& y = b.layers[i];
    if (x.visible != y.visible) return false;
    if (x.visible && !same_transform(x.transform, y.transform)) return false;
  }
  return true;
}

bool scene_is_static_over(const std::vector<PreparedLayer>& layers, double t_min, double t_max) {
  if (!std::isfinite(t_min) || !std::isfinite(t_max) || t_min > t_max) return false;
  for (const PreparedLayer& l : layers) {
    const bool meets = !(t_max < l.in_point) && !(t_min >= l.out_point);
    if (!meets) continue;
    const bool whole_range = l.in_point <= t_min && t_max < l.out_point;
    if (!whole_range || !all_static(l)) return false;
  }
  return true;
}

Result<RasterFrame> render_prepared_frame(const FrameState& state, uint32_t downsample, bool optimize) {
  const PreparedScene& scene = *state.scene;
  const uint32_t d = std::max<uint32_t>(downsample, 1);
  RasterFrame frame;
  frame.width = raster_side(scene.width, d);
  frame.height = raster_side(scene.height, d);
  if (uint64_t{frame.width} * frame.height > kMaxRasterPixels) return err("frame dimensions exceed raster budget");
  auto pixels = zeroed_frame_pixels(frame.width, frame.height);
  if (!pixels) return err(pixels.error());
  frame.pixels = std::move(pixels).value();
  // A frame with a transform that is not finite is dropped whole, so the
  // transforms are all checked before anything is drawn.
  const size_t n = std::min(state.layers.size(), scene.layers.size());
  std::vector<SolidLayerDraw> draws;
  draws.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const LayerState& ls = state.layers[i];
    if (!ls.visible) continue;
    if (!transform_finite(ls.transform)) return err("non-finite evaluated transform");
    draws.push_back({&scene.layers[i].paint, ls.transform});
  }
  rasterize_solid_layers(frame.pixels, frame.width, frame.height, d, draws, optimize, scene.blend_tables.get());
  return frame;
}

}  // namespace vel
