#include "panel/present/metal/metal_presentation.h"

#include "panel/present/metal/metal_present_worker.h"
#include "panel/present/present_request.h"
#include "panel/present/present_workers.h"

namespace vel {

MetalPresentation::~MetalPresentation() {
  if (job) stop_present_job(*job);
}

std::unique_ptr<MetalPresentation> start_metal_presentation(bool metal_allowed) {
  if (!metal_allowed) return nullptr;
  auto m = std::make_unique<MetalPresentation>();
  m->device = platform::MTLCreateSystemDefaultDevice();
  if (!m->device) return nullptr;
  m->layer = platform::CAMetalLayer::layer();
  m->layer->setDevice(m->device);
  m->layer->setPixelFormat(platform::MTLPixelFormatBGRA8Unorm);
  m->layer->setFramebufferOnly(false);
  m->view = platform::NSView::initWithFrame({});
  m->view->setWantsLayer(true);
  m->view->setLayer(m->layer);
  m->job = std::make_shared<PresentJob>();
  reap_present_workers();
  if (!start_metal_present_worker(m->job, m->layer, metal_presenter_options_from_environment())) {
    m->job.reset();
    return nullptr;  // logged by the registry
  }
  return m;
}

void set_metal_view_size(MetalPresentation& metal, PicturePixels px) {
  PresentJob& job = *metal.job;
  const auto w = static_cast<int64_t>(px.width), h = static_cast<int64_t>(px.height);
  const bool width_changed = job.view_width.exchange(w) != w;
  const bool height_changed = job.view_height.exchange(h) != h;
  if (width_changed || height_changed) job.notify();
}

void show_frame_metal(MetalPresentation& metal, const RgbaFrame& frame) {
  PresentJob& job = *metal.job;
  {
    std::lock_guard lock(job.mutex);
    job.worker_play = false;
    job.request = read_present_request();
    job.explicit_frame = frame;
  }
  job.notify();
}

}  // namespace vel
