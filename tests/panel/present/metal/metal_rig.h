// What the Metal worker suites set up alike: a panel's layer on the stand-in
// device, a present job for a small view, and a machine at full memory
// budget with 16 GiB.
#pragma once

#include <memory>
#include <optional>

#include "panel/present/metal/metal_present_worker.h"
#include "platform/metal.h"

namespace vel::testing {

inline std::shared_ptr<platform::CAMetalLayer> panel_layer() {
  auto layer = platform::CAMetalLayer::layer();
  layer->setDevice(platform::MTLCreateSystemDefaultDevice());
  layer->setFramebufferOnly(false);
  return layer;
}

inline std::shared_ptr<PresentJob> small_view_job() {
  auto job = std::make_shared<PresentJob>();
  job->view_width = 8;
  job->view_height = 8;
  return job;
}

inline MetalPresenterOptions roomy_machine(MetalPresenterOptions o = {}) {
  o.pressure_percent = [] { return uint64_t{100}; };
  o.physical_memory = [] { return std::optional<uint64_t>(uint64_t{16} << 30); };
  return o;
}

}  // namespace vel::testing
