// The process-wide list of compiled preview pipelines: weak references, so a
// pipeline ends with the last worker that holds it and its entry is swept at
// the next lookup.
#include <mutex>

#include "core/log.h"
#include "panel/present/metal/metal_draw.h"
#include "panel/present/metal/preview_shader_source.h"

namespace vel {
namespace {

std::mutex g_pipelines_mutex;
std::vector<std::weak_ptr<MetalPipeline>>& pipelines() {
  static auto* list = new std::vector<std::weak_ptr<MetalPipeline>>;
  return *list;
}

}  // namespace

std::shared_ptr<MetalPipeline> obtain_metal_pipeline(const std::shared_ptr<platform::MTLDevice>& device) {
  if (!device) return nullptr;
  register_preview_shader();
  std::lock_guard lock(g_pipelines_mutex);
  auto& list = pipelines();
  std::erase_if(list, [](const std::weak_ptr<MetalPipeline>& w) { return w.expired(); });
  for (const auto& weak : list) {
    if (auto p = weak.lock(); p && p->device == device) return p;
  }
  std::shared_ptr<platform::NSError> error;
  auto library = device->newLibraryWithSource(preview_shader_source(), nullptr, &error);
  if (!library) {
    log_line("ERROR", "metal: shader compilation failed: " + (error ? error->debugDescription() : std::string("nil")));
    return nullptr;
  }
  auto vertex = library->newFunctionWithName("vn_vertex");
  auto fragment = library->newFunctionWithName("vn_fragment");
  if (!vertex || !fragment) return nullptr;
  auto descriptor = platform::MTLRenderPipelineDescriptor::new_();
  descriptor->setVertexFunction(vertex);
  descriptor->setFragmentFunction(fragment);
  descriptor->colorAttachment(0).setPixelFormat(platform::MTLPixelFormatBGRA8Unorm);
  error.reset();
  auto state = device->newRenderPipelineStateWithDescriptor(descriptor, &error);
  if (!state) {
    log_line("ERROR", "metal: pipeline creation failed: " + (error ? error->debugDescription() : std::string("nil")));
    return nullptr;
  }
  auto pipeline = std::make_shared<MetalPipeline>(MetalPipeline{device, std::move(state)});
  list.push_back(pipeline);
  return pipeline;
}

size_t metal_pipeline_list_size() {
  std::lock_guard lock(g_pipelines_mutex);
  return pipelines().size();
}

}  // namespace vel
