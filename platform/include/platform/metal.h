// Metal and QuartzCore's CAMetalLayer, headless: the few objects the panel's
// GPU presenter calls, with the framework's names so that a port maps one to
// one. Objects are reference-counted (shared_ptr stands in for
// retain/release); command buffers are executed on the CPU. Timing, faults,
// the ledger of live objects and the misuse record are in metal_testing.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/metal_shading.h"

namespace platform {

struct NSError {
  std::string domain;
  int64_t code = 0;
  std::string localizedDescription;
  std::vector<std::pair<std::string, std::string>> userInfo;
  // The framework's debug form: "Error Domain=D Code=C \"text\" UserInfo={k=v, ...}".
  std::string debugDescription() const;
};

enum MTLPixelFormat : uint64_t { MTLPixelFormatRGBA8Unorm = 70, MTLPixelFormatBGRA8Unorm = 80 };
enum MTLTextureUsage : uint64_t { MTLTextureUsageShaderRead = 1, MTLTextureUsageShaderWrite = 2, MTLTextureUsageRenderTarget = 4 };
enum MTLStorageMode : uint64_t { MTLStorageModeShared = 0, MTLStorageModeManaged = 1, MTLStorageModePrivate = 2 };
enum MTLCommandBufferStatus : uint64_t {
  MTLCommandBufferStatusNotEnqueued = 0,
  MTLCommandBufferStatusEnqueued = 1,
  MTLCommandBufferStatusCommitted = 2,
  MTLCommandBufferStatusScheduled = 3,
  MTLCommandBufferStatusCompleted = 4,
  MTLCommandBufferStatusError = 5,
};
enum MTLLoadAction : uint64_t { MTLLoadActionDontCare = 0, MTLLoadActionLoad = 1, MTLLoadActionClear = 2 };
enum MTLStoreAction : uint64_t { MTLStoreActionDontCare = 0, MTLStoreActionStore = 1 };
enum MTLPrimitiveType : uint64_t { MTLPrimitiveTypeTriangle = 3 };

struct MTLOrigin { uint64_t x = 0, y = 0, z = 0; };
struct MTLSize { uint64_t width = 0, height = 0, depth = 0; };
struct MTLRegion { MTLOrigin origin; MTLSize size; };
struct MTLClearColor { double red = 0, green = 0, blue = 0, alpha = 0; };
struct CGSize { double width = 0, height = 0; };

inline constexpr uint64_t kMTLMaxTextureSide = 16384;

class MTLTextureDescriptor {
 public:
  static std::shared_ptr<MTLTextureDescriptor> texture2DDescriptorWithPixelFormat(MTLPixelFormat format, uint64_t width,
                                                                                  uint64_t height, bool mipmapped);
  void setMipmapLevelCount(uint64_t n) { levels = n; }
  void setUsage(uint64_t u) { usage = u; }
  void setStorageMode(uint64_t m) { storage = m; }

  MTLPixelFormat format = MTLPixelFormatRGBA8Unorm;
  uint64_t width = 0, height = 0, levels = 1;
  uint64_t usage = MTLTextureUsageShaderRead;
  uint64_t storage = MTLStorageModeManaged;
};

// One level's bytes. Left uninitialised, as GPU memory is: a texture costs
// nothing until something writes it.
class TextureLevel {
 public:
  explicit TextureLevel(size_t n) : bytes_(new uint8_t[n]), size_(n) {}
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  uint8_t& operator[](size_t i) { return bytes_[i]; }
  const uint8_t& operator[](size_t i) const { return bytes_[i]; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_;
};

class MTLTexture {
 public:
  ~MTLTexture();
  uint64_t width() const { return width_; }
  uint64_t height() const { return height_; }
  MTLPixelFormat pixelFormat() const { return format_; }
  uint64_t mipmapLevelCount() const { return levels_.size(); }
  uint64_t usage() const { return usage_; }
  uint64_t storageMode() const { return storage_; }
  void replaceRegion(MTLRegion region, uint64_t level, const void* bytes, uint64_t bytesPerRow);

  // Stand-in only: one level's bytes (width × 4 per row) and its view for
  // sampling; the executing thread alone touches them while a command runs.
  TextureLevel& levelBytes(uint64_t level) { return levels_[level]; }
  // Stand-in only: how the texture was last filled, and whether its bytes
  // were written (a buffer ended without executing writes nothing).
  enum class Fill : uint8_t { none, drawn, blitted, cleared, cpu };
  Fill fill() const { return fill_.load(std::memory_order_acquire); }
  bool written() const { return written_.load(std::memory_order_acquire); }
  void noteFill(Fill how, bool written) {
    fill_.store(how, std::memory_order_release);
    if (written) written_.store(true, std::memory_order_release);
  }
  const TextureLevel& levelBytes(uint64_t level) const { return levels_[level]; }
  metal::TextureLevelView levelView(uint64_t level) const;

 private:
  friend class MTLDevice;
  friend struct MetalFactory;
  MTLTexture() = default;
  uint64_t width_ = 0, height_ = 0, usage_ = 0, storage_ = 0;
  MTLPixelFormat format_ = MTLPixelFormatRGBA8Unorm;
  std::vector<TextureLevel> levels_;
  std::atomic<Fill> fill_{Fill::none};
  std::atomic<bool> written_{false};
};

class MTLBuffer {
 public:
  ~MTLBuffer();
  uint64_t length() const { return bytes_.size(); }
  void* contents() { return bytes_.data(); }

 private:
  friend class MTLDevice;
  MTLBuffer() = default;
  std::vector<uint8_t> bytes_;
};

struct RegisteredProgram;

class MTLFunction {
 public:
  const std::string& name() const { return name_; }

 private:
  friend class MTLLibrary;
  friend class MTLDevice;
  std::string name_;
  std::shared_ptr<const RegisteredProgram> program_;
};

class MTLLibrary {
 public:
  ~MTLLibrary();
  std::shared_ptr<MTLFunction> newFunctionWithName(std::string_view name) const;

 private:
  friend class MTLDevice;
  MTLLibrary() = default;
  std::shared_ptr<const RegisteredProgram> program_;
};

struct MTLRenderPipelineColorAttachmentDescriptor {
  MTLPixelFormat pixel_format = MTLPixelFormatBGRA8Unorm;
  void setPixelFormat(MTLPixelFormat f) { pixel_format = f; }
};

class MTLRenderPipelineDescriptor {
 public:
  static std::shared_ptr<MTLRenderPipelineDescriptor> new_() { return std::make_shared<MTLRenderPipelineDescriptor>(); }
  void setVertexFunction(std::shared_ptr<MTLFunction> f) { vertex = std::move(f); }
  void setFragmentFunction(std::shared_ptr<MTLFunction> f) { fragment = std::move(f); }
  MTLRenderPipelineColorAttachmentDescriptor& colorAttachment(uint64_t) { return attachment0; }

  std::shared_ptr<MTLFunction> vertex, fragment;
  MTLRenderPipelineColorAttachmentDescriptor attachment0;
};

class MTLRenderPipelineState {
 public:
  ~MTLRenderPipelineState();

 private:
  friend class MTLDevice;
  friend class MTLRenderCommandEncoder;
  MTLRenderPipelineState() = default;
  std::shared_ptr<const RegisteredProgram> program_;
  MTLPixelFormat format_ = MTLPixelFormatBGRA8Unorm;
};

struct MTLRenderPassColorAttachmentDescriptor {
  std::shared_ptr<MTLTexture> texture;
  MTLLoadAction loadAction = MTLLoadActionDontCare;
  MTLStoreAction storeAction = MTLStoreActionDontCare;
  MTLClearColor clearColor;
  void setTexture(std::shared_ptr<MTLTexture> t) { texture = std::move(t); }
  void setLoadAction(MTLLoadAction a) { loadAction = a; }
  void setStoreAction(MTLStoreAction a) { storeAction = a; }
  void setClearColor(MTLClearColor c) { clearColor = c; }
};

class MTLRenderPassDescriptor {
 public:
  static std::shared_ptr<MTLRenderPassDescriptor> renderPassDescriptor() {
    return std::make_shared<MTLRenderPassDescriptor>();
  }
  MTLRenderPassColorAttachmentDescriptor& colorAttachment(uint64_t) { return attachment0; }
  MTLRenderPassColorAttachmentDescriptor attachment0;
};

class MTLCommandBuffer;
class CAMetalDrawable;

class MTLBlitCommandEncoder {
 public:
  void copyFromBuffer(std::shared_ptr<MTLBuffer> buffer, uint64_t sourceOffset, uint64_t sourceBytesPerRow,
                      uint64_t sourceBytesPerImage, MTLSize sourceSize, std::shared_ptr<MTLTexture> texture,
                      uint64_t destinationSlice, uint64_t destinationLevel, MTLOrigin destinationOrigin);
  void generateMipmapsForTexture(std::shared_ptr<MTLTexture> texture);
  void endEncoding();

 private:
  friend class MTLCommandBuffer;
  explicit MTLBlitCommandEncoder(MTLCommandBuffer* owner) : owner_(owner) {}
  bool usable(const char* call);
  MTLCommandBuffer* owner_;
  bool ended_ = false;
};

class MTLRenderCommandEncoder {
 public:
  void setRenderPipelineState(std::shared_ptr<MTLRenderPipelineState> state) { pipeline_ = std::move(state); }
  void setFragmentTexture(std::shared_ptr<MTLTexture> texture, uint64_t index);
  void setFragmentBytes(const void* bytes, uint64_t length, uint64_t index);
  void drawPrimitives(MTLPrimitiveType type, uint64_t vertexStart, uint64_t vertexCount);
  void endEncoding();

 private:
  friend class MTLCommandBuffer;
  MTLRenderCommandEncoder(MTLCommandBuffer* owner, MTLRenderPassColorAttachmentDescriptor attachment);
  bool usable(const char* call);
  MTLCommandBuffer* owner_;
  MTLRenderPassColorAttachmentDescriptor attachment_;
  std::shared_ptr<MTLRenderPipelineState> pipeline_;
  std::shared_ptr<MTLTexture> texture0_;
  std::vector<uint8_t> bytes0_;
  bool ended_ = false;
};

class MTLCommandBuffer : public std::enable_shared_from_this<MTLCommandBuffer> {
 public:
  ~MTLCommandBuffer();
  std::shared_ptr<MTLBlitCommandEncoder> blitCommandEncoder();
  std::shared_ptr<MTLRenderCommandEncoder> renderCommandEncoderWithDescriptor(
      const std::shared_ptr<MTLRenderPassDescriptor>& descriptor);
  void presentDrawable(std::shared_ptr<CAMetalDrawable> drawable);
  // Runs `handler` once the buffer has ended (completed or failed, its
  // status set), on the thread that ended it, in the order added; before
  // commit only.
  void addCompletedHandler(std::function<void(MTLCommandBuffer&)> handler);
  void commit();
  MTLCommandBufferStatus status() const { return status_.load(std::memory_order_acquire); }

  // Stand-in only: runs (or, `execute` false, skips) the recorded commands
  // and ends the buffer; called by whichever completion mode is in force.
  void finish(bool execute, bool fail);

 private:
  friend class MTLCommandQueue;
  friend class MTLBlitCommandEncoder;
  friend class MTLRenderCommandEncoder;
  MTLCommandBuffer() = default;
  void record(std::function<void()> command) { commands_.push_back(std::move(command)); }
  std::vector<std::function<void()>> commands_;
  std::vector<std::shared_ptr<CAMetalDrawable>> presents_;
  std::vector<std::function<void(MTLCommandBuffer&)>> completed_handlers_;
  // The textures the buffer fills, and how, in encoding order.
  std::vector<std::pair<std::shared_ptr<MTLTexture>, MTLTexture::Fill>> fills_;
  std::shared_ptr<MTLBlitCommandEncoder> open_blit_;
  std::shared_ptr<MTLRenderCommandEncoder> open_render_;
  std::atomic<MTLCommandBufferStatus> status_{MTLCommandBufferStatusNotEnqueued};
  bool committed_ = false;
  bool draws_ = false;   // encoded a draw call
  bool copies_ = false;  // encoded a buffer-to-texture copy
};

class MTLCommandQueue {
 public:
  ~MTLCommandQueue();
  std::shared_ptr<MTLCommandBuffer> commandBuffer();

 private:
  friend class MTLDevice;
  MTLCommandQueue() = default;
};

class MTLDevice {
 public:
  ~MTLDevice();
  std::shared_ptr<MTLCommandQueue> newCommandQueue();
  std::shared_ptr<MTLLibrary> newLibraryWithSource(std::string_view source, const void* options,
                                                   std::shared_ptr<NSError>* error);
  std::shared_ptr<MTLRenderPipelineState> newRenderPipelineStateWithDescriptor(
      const std::shared_ptr<MTLRenderPipelineDescriptor>& descriptor, std::shared_ptr<NSError>* error);
  std::shared_ptr<MTLBuffer> newBufferWithLength(uint64_t length, uint64_t options);
  std::shared_ptr<MTLTexture> newTextureWithDescriptor(const std::shared_ptr<MTLTextureDescriptor>& descriptor);

 private:
  friend std::shared_ptr<MTLDevice> MTLCreateSystemDefaultDevice();
  MTLDevice() = default;
};

// The process-wide device, the same object at every call; none when the
// machine has no GPU (metal_testing.h: set_gpu_available).
std::shared_ptr<MTLDevice> MTLCreateSystemDefaultDevice();

class CAMetalLayer;
struct LayerScreen;

class CAMetalDrawable {
 public:
  ~CAMetalDrawable();
  const std::shared_ptr<MTLTexture>& texture() const { return texture_; }
  // Presents at once (counted by how its texture was filled).
  void present();
  // Runs `handler` once the drawable is on screen, on the thread that put
  // it there; never when it is not shown (its command buffer failed).
  void addPresentedHandler(std::function<void()> handler);

 private:
  friend class CAMetalLayer;
  friend class MTLCommandBuffer;
  CAMetalDrawable() = default;
  // Puts the drawable on screen; its pixels are copied unless the buffer
  // completed without executing (nothing was drawn).
  void show(bool copy_pixels = true);
  void show_on_screen(bool copy_pixels);
  bool claim_present();
  std::shared_ptr<MTLTexture> texture_;
  std::shared_ptr<LayerScreen> screen_;
  std::atomic<bool> presented_{false};
  bool shown_ = false;  // under the screen's lock
  std::vector<std::function<void()>> presented_handlers_;  // added before the present, run after
};

// What a layer shows: the last presented drawable's BGRA8 pixels.
struct LayerContents {
  uint64_t width = 0;
  uint64_t height = 0;
  std::vector<uint8_t> bgra;
  uint64_t present_count = 0;
};

class CAMetalLayer {
 public:
  static std::shared_ptr<CAMetalLayer> layer();
  void setDevice(std::shared_ptr<MTLDevice> device) { device_ = std::move(device); }
  const std::shared_ptr<MTLDevice>& device() const { return device_; }
  void setPixelFormat(MTLPixelFormat f) { format_ = f; }
  MTLPixelFormat pixelFormat() const { return format_; }
  void setFramebufferOnly(bool b) { framebuffer_only_ = b; }
  bool framebufferOnly() const { return framebuffer_only_; }
  CGSize drawableSize() const;
  void setDrawableSize(CGSize size);
  // A drawable from the pool of three; none while all three are out.
  std::shared_ptr<CAMetalDrawable> nextDrawable();

  // Stand-in only, any thread: the on-screen contents, and a wait until the
  // present count reaches `count` (false when `stop` became true first,
  // polled when the count changes or `wake_waiters` is called).
  LayerContents contents() const;
  uint64_t presentCount() const;
  bool waitForPresentCount(uint64_t count, const std::atomic<bool>* stop = nullptr) const;
  void wakeWaiters() const;

 private:
  CAMetalLayer();
  std::shared_ptr<MTLDevice> device_;
  MTLPixelFormat format_ = MTLPixelFormatBGRA8Unorm;
  bool framebuffer_only_ = true;
  std::shared_ptr<LayerScreen> screen_;
};

// An autorelease-pool scope: objects handed back autoreleased (drawables,
// command buffers, encoders) are released when the innermost scope ends.
class AutoreleasePool {
 public:
  AutoreleasePool();
  ~AutoreleasePool();
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;
};

// Puts `object` in the innermost pool of this thread (kept for ever without one).
void autorelease(std::shared_ptr<void> object);

}  // namespace platform
