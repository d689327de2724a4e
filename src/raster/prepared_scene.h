// A composition prepared once for rendering many frames: the layers that can
// ever show, in drawing order, each a solid paint with five pre-digested
// properties. Immutable and shared by reference count between the raster
// threads; evaluating and rendering allocate only what they return.
#pragma once

#include <memory>
#include <vector>

#include "core/result.h"
#include "raster/blend_table.h"
#include "raster/comp_model.h"
#include "raster/prepared_value.h"
#include "raster/raster_frame.h"
#include "raster/solid_rasterizer.h"

namespace vel {

struct PreparedLayer {
  PreparedVec2 anchor, position, scale;
  PreparedScalar rotation, opacity;
  SolidPaint paint;
  double in_point = 0, out_point = 0;  // visible over [in, out), finite
};

struct PreparedScene {
  std::vector<PreparedLayer> layers;  // bottom of the host's stack first
  uint32_t width = 0, height = 0;
  // The tables of layer stacks its frames have needed, kept for the frames
  // that follow: a memo the raster threads share, not part of what the
  // scene is (held by pointer so that the scene stays movable).
  std::shared_ptr<BlendTableCache> blend_tables = std::make_shared<BlendTableCache>();
};

struct LayerState {
  bool visible = false;
  EvaluatedTransform transform;  // meaningless when not visible
};

// The scene at one time; holds the scene it came from.
struct FrameState {
  std::vector<LayerState> layers;
  std::shared_ptr<const PreparedScene> scene;
};

// The scene of `comp`, or the text of why the raster path refuses it (the
// composition's rejection, or a layer's "non-solid in prepared scene",
// "non-finite solid or visibility", "unsupported blend", "invalid animation
// values or keyframe order"). Nothing is kept of a failed preparation.
Result<PreparedScene> prepare_raster_scene(const CompModel& comp);

FrameState evaluate_prepared_frame(std::shared_ptr<const PreparedScene> scene, double t);

// Whether two states draw the same pixels: the same scene object (not equal
// contents), the same layers visible, and equal transforms (NaN never equal).
bool frame_states_equal(const FrameState& a, const FrameState& b);

// Whether every frame state over [t_min, t_max] is the same: each layer that
// shows in the range shows over all of it with five static properties.
bool scene_is_static_over(const std::vector<PreparedLayer>& layers, double t_min, double t_max);

// Draws a state into a new frame at `downsample` (0 counts as 1). Fails with
// "frame dimensions exceed raster budget", "raster frame allocation failed"
// or "non-finite evaluated transform"; a failed frame is dropped.
Result<RasterFrame> render_prepared_frame(const FrameState& state, uint32_t downsample, bool optimize);

}  // namespace vel
