// Draws one solid layer into a premultiplied RGBA8 frame: a straight colour
// rectangle under a 2-D transform, composited source-over with its blend
// kernel. One point sample at each destination pixel's centre, no
// anti-aliasing, arithmetic in double precision. Touches only the buffer it
// is given, so any number of threads may draw into frames of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "raster/blend_kernels.h"

namespace vel {

class BlendTableCache;

// One layer at one time, in full-size composition pixels.
struct EvaluatedTransform {
  double anchor_x = 0, anchor_y = 0;
  double position_x = 0, position_y = 0;
  double scale_x = 100, scale_y = 100;  // percent
  double rotation = 0;                  // degrees, clockwise on screen
  double opacity = 1;                   // 0..1
  friend bool operator==(const EvaluatedTransform&, const EvaluatedTransform&) = default;
};

// What the rasteriser needs of a solid.
struct SolidPaint {
  BlendKernel kernel = nullptr;  // none blends as "normal"
  double width = 0, height = 0;  // composition pixels
  double red = 0, green = 0, blue = 0;  // each 0..1
  bool is_normal = false;  // the blend mode is exactly "normal"
};

// The opaque store: an opaque "normal" layer writes its packed bytes as they
// are instead of blending. 0 means no store.
using StoreWord = uint64_t;
StoreWord opaque_store_word(const SolidPaint& paint);

// A value in 0..1 to 8 bits: nearest, halves away from zero, clamped (NaN 0).
uint8_t unit_to_byte(double v);

// Composites the paint at `opacity` into one premultiplied pixel (R, G, B,
// A), or writes the store word's bytes when it carries one.
void composite_pixel(double opacity, uint8_t* pixel, const SolidPaint& paint, StoreWord store);

// What `composite_pixel` makes of one colour channel (its byte under the
// pixel's alpha byte, `source` the paint's value of that channel) and of the
// alpha byte: each depends on those bytes alone.
uint8_t composite_channel(double opacity, uint8_t backdrop_byte, uint8_t alpha_byte, double source,
                          BlendKernel kernel);
uint8_t composite_alpha(double opacity, uint8_t alpha_byte);

// Draws the layer into `pixels` (width x height x 4 bytes of a frame
// downsampled by `downsample` >= 1). Nothing is drawn at zero opacity or
// (near) zero scale. `optimize` only changes how fast: the set of covered
// pixels is the same either way.
void rasterize_solid_layer(std::span<uint8_t> pixels, uint32_t width, uint32_t height, uint32_t downsample,
                           const SolidPaint& paint, const EvaluatedTransform& transform, bool optimize);

// One layer of a stack to draw: its paint (which must outlive the call) and
// where it is at this time.
struct SolidLayerDraw {
  const SolidPaint* paint = nullptr;
  EvaluatedTransform transform;
};

// Draws the layers in order, to the same bytes as `rasterize_solid_layer`
// for each in turn. With `optimize`, runs of layers that blend (not the
// opaque store) and whose rows can be taken as runs are drawn together: once
// the pixels all of them cover have cost about as much as one table of the
// whole run of layers, those pixels are looked up in such a table instead,
// taken from `tables` when an earlier frame made it (`tables` may be null).
void rasterize_solid_layers(std::span<uint8_t> pixels, uint32_t width, uint32_t height, uint32_t downsample,
                            std::span<const SolidLayerDraw> layers, bool optimize, BlendTableCache* tables);

}  // namespace vel
