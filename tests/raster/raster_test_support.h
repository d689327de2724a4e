// Small comp models for the raster tests: solids with static transforms.
#pragma once

#include <string>

#include "raster/comp_model.h"

namespace vel::testing {

inline LayerModel solid_layer(uint32_t index, Rgb color, uint32_t w, uint32_t h, std::string blend = "normal") {
  LayerModel l;
  l.index = index;
  l.name = "solid " + std::to_string(index);
  l.kind = LayerKind::Av;
  l.source = SolidSource{color, w, h};
  l.in_point = 0;
  l.out_point = 10;
  l.enabled = true;
  l.blend_mode = std::move(blend);
  l.transform.anchor = AnimatedVec2::constant({0, 0});
  l.transform.position = AnimatedVec2::constant({0, 0});
  l.transform.scale = AnimatedVec2::constant({100, 100});
  l.transform.rotation = AnimatedScalar::constant(0);
  l.transform.opacity = AnimatedScalar::constant(100);
  return l;
}

inline CompModel comp_model(uint32_t w, uint32_t h, std::vector<LayerModel> layers = {}) {
  CompModel c;
  c.name = "C";
  c.width = w;
  c.height = h;
  c.frame_rate = 25;
  c.duration = 10;
  c.layers = std::move(layers);
  return c;
}

}  // namespace vel::testing
