#include "panel/present/metal/metal_draw.h"

#include <cstring>

#include "panel/present/metal/metal_fit.h"
#include "panel/present/metal/preview_shader.h"
#include "panel/present/present_bytes.h"

namespace vel {

using namespace platform;

namespace {

bool mul_ok(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

// The slot's staging buffer, reused within a factor of two of `n` bytes.
std::shared_ptr<MTLBuffer> staging_buffer(MetalSlot& slot, MTLDevice& device, uint64_t n) {
  if (slot.staging && slot.staging->length() >= n && slot.staging->length() / 2 <= n) return slot.staging;
  slot.staging = device.newBufferWithLength(n, MTLStorageModeShared);
  return slot.staging;
}

void size_drawable(CAMetalLayer& layer, uint64_t w, uint64_t h) {
  const CGSize s = layer.drawableSize();
  if (s.width != static_cast<double>(w) || s.height != static_cast<double>(h)) {
    layer.setDrawableSize({static_cast<double>(w), static_cast<double>(h)});
  }
}

void record_presented(const RgbaFrame& frame, const MetalDrawContext& c, const char* backend, const FitDetail& d) {
  PresentEvent e;
  e.backend = backend;
  e.request = c.request;
  e.kind = kEventPresented;
  e.target_time = c.target_time;
  e.detail = d;
  e.shown_width = d.presented_width;
  record_present_event(frame, e);
}

MetalDrawRecord make_record(std::shared_ptr<MTLCommandBuffer> command, const RgbaFrame& frame,
                            const MetalDrawContext& c, const FitDetail& d, uint64_t upload_bytes) {
  MetalDrawRecord r;
  r.command = std::move(command);
  r.request = c.request;
  r.target_time = c.target_time;
  r.frame = frame;
  r.detail = d;
  r.submitted_ms = c.now_ms;
  r.upload_bytes = upload_bytes;
  r.generation = c.generation;
  return r;
}

// The drawable goes on screen once the command buffer that fills it has
// ended, and only if the draw is still wanted then: a buffer's own present
// could not be taken back once committed, and a stop posted meanwhile would
// see the draws in flight land after it.
void present_when_done(MTLCommandBuffer& command, std::shared_ptr<CAMetalDrawable> drawable,
                       const MetalDrawContext& c) {
  command.addCompletedHandler([drawable = std::move(drawable), present = c.present](MTLCommandBuffer& done) {
    if (done.status() != MTLCommandBufferStatusCompleted) return;  // a failed draw shows nothing
    auto show = [&drawable] { drawable->present(); };
    if (present) {
      (void)present(show);
    } else {
      show();
    }
  });
}

enum class PathOutcome { drawn, refused, dropped };

PathOutcome draw_gpu(CAMetalLayer& layer, const RgbaFrame& frame, uint64_t vw, uint64_t vh, MetalGpuState& g,
                     const MetalDrawContext& c) {
  const uint64_t w = frame.width, h = frame.height, n = w * h * 4;
  const GpuScale scale = gpu_scale(w, h, vw, vh, c.pressure_percent);
  const uint64_t budget = texture_cache_budget(c.pressure_percent, c.physical_memory);
  g.trim_cache(budget, kTextureCacheEntries);

  ++g.stamp;
  std::shared_ptr<MTLTexture> texture;
  for (TextureCacheEntry& e : g.cache) {
    if (e.width == w && e.height == h && e.levels >= scale.levels && same_payload(e.pixels, frame.pixels)) {
      e.stamp = g.stamp;
      texture = e.texture;
      break;
    }
  }
  const bool upload = !texture;
  if (g.next_slot >= kMetalSlots) return PathOutcome::dropped;
  MetalSlot& slot = g.slots[g.next_slot];
  if (slot.record) return PathOutcome::refused;

  std::shared_ptr<MTLBuffer> staging;
  if (upload) {
    staging = staging_buffer(slot, *g.device, n);
    if (!staging) return PathOutcome::dropped;
    std::memcpy(staging->contents(), frame.pixels.data(), n);
    auto desc = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, w, h,
                                                                         scale.mipmapped);
    desc->setMipmapLevelCount(scale.levels);
    desc->setUsage(MTLTextureUsageShaderRead);
    desc->setStorageMode(MTLStorageModePrivate);
    texture = g.device->newTextureWithDescriptor(desc);
    if (!texture) return PathOutcome::dropped;
  }
  if (!c.current()) return PathOutcome::refused;
  size_drawable(layer, vw, vh);
  auto drawable = layer.nextDrawable();
  if (!drawable || !c.current()) return PathOutcome::refused;

  auto command = g.queue->commandBuffer();
  if (!command) return PathOutcome::dropped;
  if (upload) {
    auto blit = command->blitCommandEncoder();
    if (!blit) return PathOutcome::dropped;
    blit->copyFromBuffer(staging, 0, w * 4, 0, {w, h, 1}, texture, 0, 0, {0, 0, 0});
    if (scale.mipmapped) blit->generateMipmapsForTexture(texture);
    blit->endEncoding();
  }
  auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
  pass->colorAttachment(0).setTexture(drawable->texture());
  pass->colorAttachment(0).setLoadAction(MTLLoadActionDontCare);
  pass->colorAttachment(0).setStoreAction(MTLStoreActionStore);
  auto render = command->renderCommandEncoderWithDescriptor(pass);
  if (!render) return PathOutcome::dropped;
  const preview_shader::Uniforms uniforms{scale.lod,
                                          scale.sharpen,
                                          {static_cast<float>(w), static_cast<float>(h)},
                                          {static_cast<float>(vw), static_cast<float>(vh)},
                                          12.0f,
                                          0.0f};
  render->setRenderPipelineState(g.pipeline->state);
  render->setFragmentTexture(texture, 0);
  render->setFragmentBytes(&uniforms, sizeof(uniforms), 0);
  render->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 3);
  render->endEncoding();
  if (!c.current()) return PathOutcome::refused;  // encoded, never committed
  present_when_done(*command, std::move(drawable), c);
  command->commit();

  const FitDetail detail = gpu_fit_detail(w, scale.lod, vw);
  const uint64_t upload_bytes = mip_chain_bytes(w, h, texture->mipmapLevelCount()).value_or(n);
  slot.record = make_record(std::move(command), frame, c, detail, upload_bytes);
  record_presented(frame, c, "metal-gpu", detail);
  g.next_slot = (g.next_slot + 1) % kMetalSlots;

  if (upload) {
    const uint64_t chain = mip_chain_bytes(w, h, scale.levels).value_or(UINT64_MAX);
    const uint64_t cost = saturating_sum(chain, frame.pixels.capacity());
    if (cost <= budget) {
      while (!g.cache.empty() && (g.cache_cost + cost > budget || g.cache.size() >= kTextureCacheEntries)) {
        const size_t i = *least_recent_texture(g.cache);
        g.cache_cost -= g.cache[i].cost;
        g.cache.erase(g.cache.begin() + static_cast<ptrdiff_t>(i));
      }
      g.cache.push_back({frame.pixels, std::move(texture), w, h, scale.levels, cost, g.stamp});
      g.cache_cost += cost;
    }
  }
  return PathOutcome::drawn;
}

PathOutcome draw_blit(CAMetalLayer& layer, const RgbaFrame& frame, uint64_t vw, uint64_t vh,
                      PresentScratch& scratch, MetalBlitState& b, const MetalDrawContext& c) {
  if (b.next_slot < kMetalSlots && b.slots[b.next_slot].record) return PathOutcome::refused;
  const auto prepared = prepare_present_pixels(frame.pixels.data(), frame.pixels.size(), frame.width, frame.height,
                                               static_cast<uint32_t>(vw), static_cast<uint32_t>(vh), scratch,
                                               c.pressure_percent);
  uint64_t area = 0, n = 0;
  if (!prepared || !mul_ok(prepared->width, prepared->height, area) || !mul_ok(area, 4, n) ||
      b.next_slot >= kMetalSlots) {
    return PathOutcome::dropped;
  }
  const uint64_t pw = prepared->width, ph = prepared->height;
  MetalSlot& slot = b.slots[b.next_slot];
  auto staging = staging_buffer(slot, *b.device, n);
  if (!staging) return PathOutcome::dropped;
  // The destination is the prepared image, not the (possibly larger) buffer.
  if (!flatten_on_checkerboard(prepared->pixels, prepared->length, prepared->width, prepared->height,
                               checker_cell(pw, vw), true, static_cast<uint8_t*>(staging->contents()), n)) {
    return PathOutcome::dropped;
  }
  size_drawable(layer, pw, ph);
  if (!c.current()) return PathOutcome::refused;
  auto drawable = layer.nextDrawable();
  if (!drawable || !c.current()) return PathOutcome::refused;
  auto command = b.queue->commandBuffer();
  if (!command) return PathOutcome::dropped;
  auto blit = command->blitCommandEncoder();
  if (!blit) return PathOutcome::dropped;
  blit->copyFromBuffer(staging, 0, pw * 4, 0, {pw, ph, 1}, drawable->texture(), 0, 0, {0, 0, 0});
  blit->endEncoding();
  if (!c.current()) return PathOutcome::refused;
  present_when_done(*command, std::move(drawable), c);
  command->commit();
  const FitDetail detail = view_fit_detail(frame.width, prepared->width, static_cast<uint32_t>(vw));
  slot.record = make_record(std::move(command), frame, c, detail, n);
  b.next_slot = (b.next_slot + 1) % kMetalSlots;
  record_presented(frame, c, "metal-blit", detail);
  return PathOutcome::drawn;
}

bool draw_direct(CAMetalLayer& layer, const RgbaFrame& frame, uint64_t vw, uint64_t vh, PresentScratch& scratch,
                 std::vector<uint8_t>& output, const MetalDrawContext& c) {
  const auto prepared = prepare_present_pixels(frame.pixels.data(), frame.pixels.size(), frame.width, frame.height,
                                               static_cast<uint32_t>(vw), static_cast<uint32_t>(vh), scratch,
                                               c.pressure_percent);
  uint64_t area = 0, n = 0;
  if (!prepared || !mul_ok(prepared->width, prepared->height, area) || !mul_ok(area, 4, n)) return false;
  if (!reserve_present_buffer(output, n)) return false;
  const uint64_t pw = prepared->width, ph = prepared->height;
  if (!flatten_on_checkerboard(prepared->pixels, prepared->length, prepared->width, prepared->height,
                               checker_cell(pw, vw), true, output.data(), n)) {
    return false;
  }
  size_drawable(layer, pw, ph);
  if (!c.current()) return false;
  auto drawable = layer.nextDrawable();
  if (!drawable || !c.current()) return false;
  drawable->texture()->replaceRegion({{0, 0, 0}, {pw, ph, 1}}, 0, output.data(), pw * 4);
  if (!c.current()) return false;
  auto show = [&drawable] { drawable->present(); };
  if (!c.present) {
    show();
  } else if (!c.present(show)) {
    return false;  // a stop came since the draw was made
  }
  record_presented(frame, c, "metal-direct", view_fit_detail(frame.width, prepared->width, static_cast<uint32_t>(vw)));
  return true;
}

}  // namespace

std::optional<size_t> least_recent_texture(const std::vector<TextureCacheEntry>& cache) {
  if (cache.empty()) return std::nullopt;
  size_t best = 0;
  for (size_t i = 1; i < cache.size(); ++i) {
    if (cache[i].stamp < cache[best].stamp) best = i;
  }
  return best;
}

void MetalGpuState::trim_cache(uint64_t budget, size_t max_entries) {
  while (!cache.empty() && (cache_cost > budget || cache.size() > max_entries)) {
    const size_t i = *least_recent_texture(cache);
    cache_cost -= cache[i].cost;
    cache.erase(cache.begin() + static_cast<ptrdiff_t>(i));
  }
}

void MetalGpuState::clear_cache() {
  cache.clear();
  cache_cost = 0;
}

bool MetalDrawContext::current() const {
  if (stop != nullptr && stop->load(std::memory_order_acquire)) return false;
  return job_generation == nullptr || job_generation->load(std::memory_order_acquire) == generation;
}

bool draw_metal_frame(CAMetalLayer& layer, const RgbaFrame& frame, uint64_t vw, uint64_t vh,
                      PresentScratch& scratch, std::vector<uint8_t>& output, std::optional<MetalGpuState>& gpu,
                      std::optional<MetalBlitState>& blit, const MetalDrawContext& context) {
  AutoreleasePool pool;
  uint64_t area = 0, n = 0;
  if (!context.current() || frame.width == 0 || frame.height == 0 || vw == 0 || vh == 0 ||
      !mul_ok(frame.width, frame.height, area) || !mul_ok(area, 4, n) || n != frame.pixels.size()) {
    return false;
  }
  if (gpu) {
    switch (draw_gpu(layer, frame, vw, vh, *gpu, context)) {
      case PathOutcome::drawn:
        return true;
      case PathOutcome::refused:
        return false;
      case PathOutcome::dropped:
        gpu.reset();
        break;
    }
  }
  if (blit) {
    switch (draw_blit(layer, frame, vw, vh, scratch, *blit, context)) {
      case PathOutcome::drawn:
        return true;
      case PathOutcome::refused:
        return false;
      case PathOutcome::dropped:
        blit.reset();
        break;
    }
  }
  return draw_direct(layer, frame, vw, vh, scratch, output, context);
}

}  // namespace vel
