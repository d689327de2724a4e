// A panel's Metal presentation: the device, the CAMetalLayer hosted by
// `metal_view` above the picture, and the PresentJob shared with the panel's
// "velocinta-present" worker. The panel only posts; the worker draws.
#pragma once

#include <memory>

#include "cache/rgba_frame.h"
#include "panel/present/cpu_presentation.h"
#include "panel/present/metal/present_job.h"
#include "platform/appkit_view.h"
#include "platform/metal.h"

namespace vel {

struct MetalPresentation {
  std::shared_ptr<platform::MTLDevice> device;
  std::shared_ptr<platform::CAMetalLayer> layer;
  std::shared_ptr<platform::NSView> view;
  std::shared_ptr<PresentJob> job;

  MetalPresentation() = default;
  MetalPresentation(const MetalPresentation&) = delete;
  MetalPresentation& operator=(const MetalPresentation&) = delete;
  // Tells the worker to end; the registry's reaper joins it.
  ~MetalPresentation();
};

// The Metal state of a new panel with its worker started; none when Metal is
// switched off, there is no device, or no worker could be had (logged): the
// panel then presents on the CPU path.
std::unique_ptr<MetalPresentation> start_metal_presentation(bool metal_allowed);

// The layout's picture size in device pixels becomes the worker's view size;
// the worker is woken when it changed.
void set_metal_view_size(MetalPresentation& metal, PicturePixels px);

// Hands one still frame to the worker (playback off).
void show_frame_metal(MetalPresentation& metal, const RgbaFrame& frame);

}  // namespace vel
