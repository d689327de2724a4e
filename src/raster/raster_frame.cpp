#include "raster/raster_frame.h"

#include <algorithm>
#include <new>

#include "raster/keyframe_eval.h"
#include "raster/raster_eligibility.h"
#include "raster/solid_rasterizer.h"

namespace vel {
namespace {

bool visible_at(const LayerModel& layer, double t) { return layer.enabled && t >= layer.in_point && t < layer.out_point; }

EvaluatedTransform evaluate_transform(const LayerTransform& tr, double t) {
  const Vec2 anchor = eval_animated_vec2(tr.anchor, t);
  const Vec2 position = eval_animated_vec2(tr.position, t);
  const Vec2 scale = eval_animated_vec2(tr.scale, t);
  return {anchor.x,
          anchor.y,
          position.x,
          position.y,
          scale.x,
          scale.y,
          eval_animated_scalar(tr.rotation, t),
          std::clamp(eval_animated_scalar(tr.opacity, t) / 100.0, 0.0, 1.0)};
}

SolidPaint paint_of(const LayerModel& layer, const SolidSource& solid, const CompModel& comp) {
  SolidPaint paint;
  paint.kernel = blend_for_name(layer.blend_mode);
  if (!paint.kernel) paint.kernel = blend_for_name("normal");
  paint.is_normal = layer.blend_mode == "normal";
  paint.width = solid.width ? solid.width : comp.width;
  paint.height = solid.height ? solid.height : comp.height;
  paint.red = std::clamp<double>(solid.color[0], 0.0, 1.0);
  paint.green = std::clamp<double>(solid.color[1], 0.0, 1.0);
  paint.blue = std::clamp<double>(solid.color[2], 0.0, 1.0);
  return paint;
}

}  // namespace

uint32_t raster_side(uint32_t side, uint32_t downsample) {
  const uint32_t d = downsample > 1 ? downsample : 1;
  return std::max<uint32_t>(side / d, 1);
}

Result<std::vector<uint8_t>> zeroed_frame_pixels(uint32_t width, uint32_t height) {
  try {
    return std::vector<uint8_t>(static_cast<size_t>(width) * height * 4, 0);
  } catch (const std::bad_alloc&) {
    return err("raster frame allocation failed");
  }
}

Result<RasterFrame> render_raster_frame(const CompModel& comp, uint32_t downsample, bool optimize, double t) {
  std::vector<const LayerModel*> visible;
  for (const LayerModel& layer : comp.layers) {
    if (!visible_at(layer, t)) continue;
    if (auto reason = layer_rejection_reason(layer)) return err(*reason);
    visible.push_back(&layer);
  }
  const uint32_t d = downsample > 1 ? downsample : 1;
  RasterFrame frame;
  frame.width = raster_side(comp.width, d);
  frame.height = raster_side(comp.height, d);
  if (comp.width == 0 || comp.height == 0 || uint64_t{frame.width} * frame.height > kMaxRasterPixels) {
    return err("dimensions " + std::to_string(comp.width) + "x" + std::to_string(comp.height));
  }
  auto pixels = zeroed_frame_pixels(frame.width, frame.height);
  if (!pixels) return err(pixels.error());
  frame.pixels = std::move(pixels).value();

  // Bottom of the host's stack first; equal indexes keep their list order.
  std::stable_sort(visible.begin(), visible.end(),
                   [](const LayerModel* a, const LayerModel* b) { return a->index > b->index; });
  for (const LayerModel* layer : visible) {
    const auto* solid = layer->source ? std::get_if<SolidSource>(&*layer->source) : nullptr;
    if (!solid) continue;
    rasterize_solid_layer(frame.pixels, frame.width, frame.height, d, paint_of(*layer, *solid, comp),
                          evaluate_transform(layer->transform, t), optimize);
  }
  return frame;
}

}  // namespace vel
