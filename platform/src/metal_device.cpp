// The device and the objects it makes: queues, libraries, pipelines,
// buffers and textures; the autorelease pool.
#include <bit>
#include <cstring>
#include <limits>

#include "metal_state.h"

namespace platform {

using namespace metal_state;

std::string NSError::debugDescription() const {
  std::string s = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription +
                  "\" UserInfo={";
  for (size_t i = 0; i < userInfo.size(); ++i) {
    if (i > 0) s += ", ";
    s += userInfo[i].first + "=" + userInfo[i].second;
  }
  return s + "}";
}

std::shared_ptr<MTLTextureDescriptor> MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormat format,
                                                                                               uint64_t width,
                                                                                               uint64_t height,
                                                                                               bool mipmapped) {
  auto d = std::make_shared<MTLTextureDescriptor>();
  d->format = format;
  d->width = width;
  d->height = height;
  d->levels = mipmapped ? static_cast<uint64_t>(std::bit_width(std::max(width, height))) : 1;
  return d;
}

MTLTexture::~MTLTexture() { count_live(kTexture, -1); }

metal::TextureLevelView MTLTexture::levelView(uint64_t level) const {
  const uint64_t w = std::max<uint64_t>(width_ >> level, 1), h = std::max<uint64_t>(height_ >> level, 1);
  return {levels_[level].data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
}

void MTLTexture::replaceRegion(MTLRegion region, uint64_t level, const void* bytes, uint64_t bytesPerRow) {
  if (storage_ == MTLStorageModePrivate) {
    record_misuse("replaceRegion: on a texture in private storage");
    return;
  }
  if (level >= levels_.size()) {
    record_misuse("replaceRegion: level beyond the texture's levels");
    return;
  }
  const uint64_t lw = std::max<uint64_t>(width_ >> level, 1), lh = std::max<uint64_t>(height_ >> level, 1);
  if (region.origin.x + region.size.width > lw || region.origin.y + region.size.height > lh ||
      bytesPerRow < region.size.width * 4) {
    record_misuse("replaceRegion: region outside the level");
    return;
  }
  noteFill(Fill::cpu, true);
  const auto* src = static_cast<const uint8_t*>(bytes);
  for (uint64_t y = 0; y < region.size.height; ++y) {
    std::memcpy(levels_[level].data() + ((region.origin.y + y) * lw + region.origin.x) * 4, src + y * bytesPerRow,
                region.size.width * 4);
  }
}

MTLBuffer::~MTLBuffer() { count_live(kBuffer, -1); }
MTLLibrary::~MTLLibrary() { count_live(kLibrary, -1); }
MTLRenderPipelineState::~MTLRenderPipelineState() { count_live(kPipeline, -1); }
MTLCommandQueue::~MTLCommandQueue() { count_live(kQueue, -1); }
MTLDevice::~MTLDevice() { count_live(kDevice, -1); }

std::shared_ptr<MTLFunction> MTLLibrary::newFunctionWithName(std::string_view name) const {
  if (name != program_->vertex_name && name != program_->fragment_name) return nullptr;
  auto f = std::make_shared<MTLFunction>();
  f->name_ = std::string(name);
  f->program_ = program_;
  return f;
}

std::shared_ptr<MTLDevice> MTLCreateSystemDefaultDevice() {
  if (!gpu_available()) return nullptr;
  static std::shared_ptr<MTLDevice>* device = [] {
    count_live(kDevice, 1);
    return new std::shared_ptr<MTLDevice>(new MTLDevice());
  }();
  return *device;
}

std::shared_ptr<MTLCommandQueue> MTLDevice::newCommandQueue() {
  if (take_creation_failure(MetalCreation::command_queue)) return nullptr;
  count_live(kQueue, 1);
  return std::shared_ptr<MTLCommandQueue>(new MTLCommandQueue());
}

std::shared_ptr<MTLLibrary> MTLDevice::newLibraryWithSource(std::string_view source, const void*,
                                                            std::shared_ptr<NSError>* error) {
  std::optional<NSError> failure = library_failure();
  std::shared_ptr<const RegisteredProgram> program = registered_program(source);
  if (!failure && !program) {
    failure = NSError{"MTLLibraryErrorDomain", 3, "program source failed to compile", {}};
  }
  if (failure) {
    if (error) *error = std::make_shared<NSError>(*failure);
    return nullptr;
  }
  count_live(kLibrary, 1);
  auto lib = std::shared_ptr<MTLLibrary>(new MTLLibrary());
  lib->program_ = std::move(program);
  return lib;
}

std::shared_ptr<MTLRenderPipelineState> MTLDevice::newRenderPipelineStateWithDescriptor(
    const std::shared_ptr<MTLRenderPipelineDescriptor>& d, std::shared_ptr<NSError>* error) {
  std::optional<NSError> failure = pipeline_failure();
  if (!failure && (!d || !d->vertex || !d->fragment || d->vertex->program_ != d->fragment->program_ ||
                   d->vertex->name_ != d->vertex->program_->vertex_name ||
                   d->fragment->name_ != d->fragment->program_->fragment_name)) {
    failure = NSError{"CompilerError", 1, "vertex and fragment functions do not link", {}};
  }
  if (failure) {
    if (error) *error = std::make_shared<NSError>(*failure);
    return nullptr;
  }
  count_live(kPipeline, 1);
  auto state = std::shared_ptr<MTLRenderPipelineState>(new MTLRenderPipelineState());
  state->program_ = d->vertex->program_;
  state->format_ = d->attachment0.pixel_format;
  return state;
}

std::shared_ptr<MTLBuffer> MTLDevice::newBufferWithLength(uint64_t length, uint64_t) {
  if (take_creation_failure(MetalCreation::buffer) || length == 0 || length > (uint64_t{1} << 34)) return nullptr;
  auto b = std::shared_ptr<MTLBuffer>(new MTLBuffer());
  try {
    b->bytes_.resize(length);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  count_live(kBuffer, 1);
  return b;
}

std::shared_ptr<MTLTexture> MTLDevice::newTextureWithDescriptor(const std::shared_ptr<MTLTextureDescriptor>& d) {
  if (take_creation_failure(MetalCreation::texture) || !d) return nullptr;
  if (d->width == 0 || d->height == 0 || d->width > kMTLMaxTextureSide || d->height > kMTLMaxTextureSide ||
      d->levels == 0 || d->levels > static_cast<uint64_t>(std::bit_width(std::max(d->width, d->height))) ||
      (d->format != MTLPixelFormatRGBA8Unorm && d->format != MTLPixelFormatBGRA8Unorm)) {
    record_misuse("newTextureWithDescriptor: size, levels or format beyond the limits");
    return nullptr;
  }
  auto t = std::shared_ptr<MTLTexture>(new MTLTexture());
  t->width_ = d->width;
  t->height_ = d->height;
  t->usage_ = d->usage;
  t->storage_ = d->storage;
  t->format_ = d->format;
  try {
    for (uint64_t l = 0; l < d->levels; ++l) {
      t->levels_.emplace_back(std::max<uint64_t>(d->width >> l, 1) * std::max<uint64_t>(d->height >> l, 1) * 4);
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  count_live(kTexture, 1);
  return t;
}

// Drawable textures are made by the layer through this.
struct MetalFactory {
  static std::shared_ptr<MTLTexture> drawable_texture(uint64_t width, uint64_t height) {
    auto t = std::shared_ptr<MTLTexture>(new MTLTexture());
    t->width_ = width;
    t->height_ = height;
    t->usage_ = MTLTextureUsageRenderTarget;
    t->storage_ = MTLStorageModeShared;
    t->format_ = MTLPixelFormatBGRA8Unorm;
    t->levels_.emplace_back(width * height * 4);
    count_live(kTexture, 1);
    return t;
  }
};

std::shared_ptr<MTLTexture> make_drawable_texture(uint64_t width, uint64_t height) {
  return MetalFactory::drawable_texture(width, height);
}

namespace {
thread_local std::vector<std::vector<std::shared_ptr<void>>> t_pools;
// Without a pool, autoreleased objects are never released (the framework
// leaks them too); the ledger shows the growth.
std::vector<std::shared_ptr<void>>& leaked() {
  static auto* v = new std::vector<std::shared_ptr<void>>;
  return *v;
}
std::mutex g_leak_mutex;
}  // namespace

AutoreleasePool::AutoreleasePool() { t_pools.emplace_back(); }
AutoreleasePool::~AutoreleasePool() {
  std::vector<std::shared_ptr<void>> objects = std::move(t_pools.back());
  t_pools.pop_back();
  objects.clear();
}

void autorelease(std::shared_ptr<void> object) {
  if (!t_pools.empty()) {
    t_pools.back().push_back(std::move(object));
    return;
  }
  std::lock_guard lock(g_leak_mutex);
  leaked().push_back(std::move(object));
}

}  // namespace platform
