// Command buffers and their encoders: commands are recorded as closures that
// hold every object they use, and run on the CPU when the buffer ends.
#include <algorithm>
#include <cstring>

#include "platform/gpu_accesses.h"
#include "metal_state.h"
#include "platform/metal_mipmaps.h"
#include "platform/metal_rows.h"

namespace platform {

using namespace metal_state;

MTLCommandBuffer::~MTLCommandBuffer() { count_live(kCommandBuffer, -1); }

std::shared_ptr<MTLCommandBuffer> MTLCommandQueue::commandBuffer() {
  if (take_creation_failure(MetalCreation::command_buffer)) return nullptr;
  count_live(kCommandBuffer, 1);
  auto b = std::shared_ptr<MTLCommandBuffer>(new MTLCommandBuffer());
  autorelease(b);
  return b;
}

std::shared_ptr<MTLBlitCommandEncoder> MTLCommandBuffer::blitCommandEncoder() {
  if (committed_ || open_blit_ || open_render_) record_misuse("blitCommandEncoder: buffer committed or encoder open");
  if (take_creation_failure(MetalCreation::blit_encoder)) return nullptr;
  open_blit_ = std::shared_ptr<MTLBlitCommandEncoder>(new MTLBlitCommandEncoder(this));
  autorelease(open_blit_);
  return open_blit_;
}

std::shared_ptr<MTLRenderCommandEncoder> MTLCommandBuffer::renderCommandEncoderWithDescriptor(
    const std::shared_ptr<MTLRenderPassDescriptor>& descriptor) {
  if (committed_ || open_blit_ || open_render_) {
    record_misuse("renderCommandEncoderWithDescriptor: buffer committed or encoder open");
  }
  if (take_creation_failure(MetalCreation::render_encoder) || !descriptor || !descriptor->attachment0.texture) {
    return nullptr;
  }
  open_render_ = std::shared_ptr<MTLRenderCommandEncoder>(new MTLRenderCommandEncoder(this, descriptor->attachment0));
  autorelease(open_render_);
  return open_render_;
}

void MTLCommandBuffer::presentDrawable(std::shared_ptr<CAMetalDrawable> drawable) {
  if (!drawable || !drawable->claim_present()) return;
  presents_.push_back(std::move(drawable));
}

void MTLCommandBuffer::addCompletedHandler(std::function<void(MTLCommandBuffer&)> handler) {
  if (committed_) {
    record_misuse("addCompletedHandler: command buffer already committed");
    return;
  }
  if (handler) completed_handlers_.push_back(std::move(handler));
}

void MTLCommandBuffer::commit() {
  if (committed_) {
    record_misuse("commit: command buffer committed twice");
    return;
  }
  if (open_blit_ || open_render_) record_misuse("commit: an encoder is still open");
  committed_ = true;
  status_.store(MTLCommandBufferStatusCommitted, std::memory_order_release);
  // The framework retains a committed buffer until it completes.
  dispatch_committed(shared_from_this());
}

void MTLCommandBuffer::finish(bool execute, bool fail) {
  if (!fail && execute) {
    for (auto& command : commands_) command();
  }
  if (!fail) {
    for (auto& [texture, how] : fills_) texture->noteFill(how, execute);
    for (auto& d : presents_) {
      d->show(execute);
      count_present(draws_ ? kPresentDrawn : (copies_ ? kPresentBlitted : kPresentCleared));
    }
  }
  commands_.clear();
  presents_.clear();
  fills_.clear();
  status_.store(fail ? MTLCommandBufferStatusError : MTLCommandBufferStatusCompleted, std::memory_order_release);
  // Handlers may release what they hold (drawables back to their pool).
  std::vector<std::function<void(MTLCommandBuffer&)>> handlers = std::move(completed_handlers_);
  completed_handlers_.clear();
  for (auto& handler : handlers) handler(*this);
}

bool MTLBlitCommandEncoder::usable(const char* call) {
  if (ended_) {
    record_misuse(std::string(call) + ": encoding after endEncoding");
    return false;
  }
  return true;
}

void MTLBlitCommandEncoder::copyFromBuffer(std::shared_ptr<MTLBuffer> buffer, uint64_t sourceOffset,
                                           uint64_t sourceBytesPerRow, uint64_t, MTLSize size,
                                           std::shared_ptr<MTLTexture> texture, uint64_t, uint64_t level,
                                           MTLOrigin origin) {
  if (!usable("copyFromBuffer") || !buffer || !texture) return;
  if (level >= texture->mipmapLevelCount()) {
    record_misuse("copyFromBuffer: level beyond the texture's levels");
    return;
  }
  const uint64_t lw = std::max<uint64_t>(texture->width() >> level, 1);
  const uint64_t lh = std::max<uint64_t>(texture->height() >> level, 1);
  if (origin.x + size.width > lw || origin.y + size.height > lh || sourceBytesPerRow < size.width * 4 ||
      (size.height > 0 && sourceOffset + (size.height - 1) * sourceBytesPerRow + size.width * 4 > buffer->length())) {
    record_misuse("copyFromBuffer: region outside the buffer or the texture");
    return;
  }
  owner_->copies_ = true;
  owner_->fills_.emplace_back(texture, MTLTexture::Fill::blitted);
  owner_->record([buffer, texture, sourceOffset, sourceBytesPerRow, size, level, origin, lw] {
    const auto* src = static_cast<const uint8_t*>(buffer->contents()) + sourceOffset;
    TextureLevel& dst = texture->levelBytes(level);
    for (uint64_t y = 0; y < size.height; ++y) {
      gpu_reads(src + y * sourceBytesPerRow, size.width * 4);
      gpu_writes(dst.data() + ((origin.y + y) * lw + origin.x) * 4, size.width * 4);
    }
    for_row_bands(static_cast<int64_t>(size.height), static_cast<int64_t>(size.width), [&](int64_t b, int64_t e) {
      for (auto y = static_cast<uint64_t>(b); y < static_cast<uint64_t>(e); ++y) {
        std::memcpy(dst.data() + ((origin.y + y) * lw + origin.x) * 4, src + y * sourceBytesPerRow, size.width * 4);
      }
    });
    count_copy();
  });
}

void MTLBlitCommandEncoder::generateMipmapsForTexture(std::shared_ptr<MTLTexture> texture) {
  if (!usable("generateMipmapsForTexture") || !texture) return;
  owner_->record([texture] {
    for (uint64_t l = 1; l < texture->mipmapLevelCount(); ++l) {
      const metal::TextureLevelView up = texture->levelView(l - 1);
      const metal::TextureLevelView down = texture->levelView(l);
      uint8_t* out = texture->levelBytes(l).data();
      gpu_reads(texture->levelBytes(l - 1).data(), texture->levelBytes(l - 1).size());
      gpu_writes(out, texture->levelBytes(l).size());
      for_row_bands(down.height, down.width, [&](int64_t b, int64_t e) {
        downsample_rows(up, out, down.width, static_cast<uint32_t>(b), static_cast<uint32_t>(e));
      });
    }
  });
}

void MTLBlitCommandEncoder::endEncoding() {
  if (!usable("endEncoding")) return;
  ended_ = true;
  owner_->open_blit_.reset();
}

MTLRenderCommandEncoder::MTLRenderCommandEncoder(MTLCommandBuffer* owner,
                                                 MTLRenderPassColorAttachmentDescriptor attachment)
    : owner_(owner), attachment_(std::move(attachment)) {
  if (attachment_.loadAction == MTLLoadActionLoad) return;
  if (attachment_.loadAction == MTLLoadActionClear) owner_->fills_.emplace_back(attachment_.texture, MTLTexture::Fill::cleared);
  // A clear writes the clear colour; don't-care leaves a marker colour so a
  // pixel that no draw covers shows in tests.
  owner_->record([target = attachment_.texture, load = attachment_.loadAction, colour = attachment_.clearColor] {
    auto unorm = [](double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 1.0) * 255.0 + 0.5); };
    uint8_t px[4];
    if (load == MTLLoadActionClear) {
      const uint8_t r = unorm(colour.red), g = unorm(colour.green), b = unorm(colour.blue), a = unorm(colour.alpha);
      const bool bgra = target->pixelFormat() == MTLPixelFormatBGRA8Unorm;
      px[0] = bgra ? b : r, px[1] = g, px[2] = bgra ? r : b, px[3] = a;
    } else {
      px[0] = 255, px[1] = 0, px[2] = 255, px[3] = 255;
    }
    uint8_t* bytes = target->levelBytes(0).data();
    gpu_writes(bytes, target->levelBytes(0).size());
    const auto width = static_cast<int64_t>(target->width());
    for_row_bands(static_cast<int64_t>(target->height()), width, [&](int64_t b, int64_t e) {
      // One pixel, then the filled part copied onto what follows, doubling:
      // block copies rather than a store per pixel.
      uint8_t* band = bytes + b * width * 4;
      const auto n = static_cast<size_t>((e - b) * width) * 4;
      std::memcpy(band, px, 4);
      for (size_t done = 4; done < n;) {
        const size_t k = std::min(done, n - done);
        std::memcpy(band + done, band, k);
        done += k;
      }
    });
  });
}

bool MTLRenderCommandEncoder::usable(const char* call) {
  if (ended_) {
    record_misuse(std::string(call) + ": encoding after endEncoding");
    return false;
  }
  return true;
}

void MTLRenderCommandEncoder::setFragmentTexture(std::shared_ptr<MTLTexture> texture, uint64_t index) {
  if (usable("setFragmentTexture") && index == 0) texture0_ = std::move(texture);
}

void MTLRenderCommandEncoder::setFragmentBytes(const void* bytes, uint64_t length, uint64_t index) {
  if (!usable("setFragmentBytes") || index != 0 || length > 4096) return;
  bytes0_.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + length);
}

void MTLRenderCommandEncoder::drawPrimitives(MTLPrimitiveType, uint64_t vertexStart, uint64_t vertexCount) {
  if (!usable("drawPrimitives")) return;
  if (!pipeline_) {
    record_misuse("drawPrimitives: no render pipeline state set");
    return;
  }
  const RegisteredProgram& program = *pipeline_->program_;
  if (bytes0_.size() != program.fragment_bytes_length) {
    record_misuse("setFragmentBytes: length differs from the shader's record");
    return;
  }
  if (texture0_ && (texture0_->usage() & MTLTextureUsageShaderRead) == 0) {
    record_misuse("drawPrimitives: sampling a texture without shader-read usage");
    return;
  }
  if (pipeline_->format_ != attachment_.texture->pixelFormat()) {
    record_misuse("drawPrimitives: attachment format differs from the pipeline's");
    return;
  }
  owner_->draws_ = true;
  owner_->fills_.emplace_back(attachment_.texture, MTLTexture::Fill::drawn);
  owner_->record([pipeline = pipeline_, target = attachment_.texture, texture = texture0_, bytes = bytes0_,
                  vertexStart, vertexCount] {
    DrawCall call;
    call.target = target.get();
    call.texture0 = texture.get();
    call.bytes0 = bytes.empty() ? nullptr : bytes.data();
    call.vertex_start = vertexStart;
    call.vertex_count = vertexCount;
    if (texture) {
      for (uint64_t l = 0; l < texture->mipmapLevelCount(); ++l) {
        gpu_reads(texture->levelBytes(l).data(), texture->levelBytes(l).size());
      }
    }
    gpu_writes(target->levelBytes(0).data(), target->levelBytes(0).size());
    pipeline->program_->draw(call);
    count_draw();
  });
}

void MTLRenderCommandEncoder::endEncoding() {
  if (!usable("endEncoding")) return;
  ended_ = true;
  owner_->open_render_.reset();
}

}  // namespace platform
