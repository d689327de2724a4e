// The Metal stand-in itself: what the presenter relies on it to do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/gpu_accesses.h"
#include "platform/metal.h"
#include "platform/metal_testing.h"

namespace platform {
namespace {

class MetalStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_metal_faults();
    clear_metal_misuse_record();
    device = MTLCreateSystemDefaultDevice();
    ASSERT_TRUE(device);
    queue = device->newCommandQueue();
  }
  void TearDown() override { reset_metal_faults(); }
  std::shared_ptr<MTLDevice> device;
  std::shared_ptr<MTLCommandQueue> queue;
};

TEST_F(MetalStandIn, OneDeviceAndNoneWithoutAGpu) {
  EXPECT_EQ(MTLCreateSystemDefaultDevice(), device);
  set_gpu_available(false);
  EXPECT_FALSE(MTLCreateSystemDefaultDevice());
}

TEST_F(MetalStandIn, MipmapsAreRoundedBoxAveragesDroppingOddEdges) {
  AutoreleasePool pool;
  auto desc = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, 5, 2, true);
  EXPECT_EQ(desc->levels, 3u);  // bit length of 5
  auto tex = device->newTextureWithDescriptor(desc);
  auto buf = device->newBufferWithLength(5 * 2 * 4, 0);
  auto* p = static_cast<uint8_t*>(buf->contents());
  const uint8_t column_values[5] = {0, 1, 10, 20, 255};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) std::memset(p + (y * 5 + x) * 4, column_values[x] + y, 4);
  auto cb = queue->commandBuffer();
  auto blit = cb->blitCommandEncoder();
  blit->copyFromBuffer(buf, 0, 20, 0, {5, 2, 1}, tex, 0, 0, {0, 0, 0});
  blit->generateMipmapsForTexture(tex);
  blit->endEncoding();
  cb->commit();
  EXPECT_EQ(cb->status(), MTLCommandBufferStatusCompleted);
  // Level 1 is 2 × 1: (0+1+1+2+2)/4 = 1, (10+20+11+21+2)/4 = 16; the fifth column is left out.
  EXPECT_EQ(tex->levelBytes(1)[0], 1);
  EXPECT_EQ(tex->levelBytes(1)[4], 16);
  // Level 2 is 1 × 1 from a single row: (1+16+1+16+2)/4 = 9 (halves up).
  EXPECT_EQ(tex->levelBytes(2)[0], 9);
  EXPECT_TRUE(metal_misuse_record().empty());
}

TEST_F(MetalStandIn, DrawablePoolOfThreeAndTheScreen) {
  auto layer = CAMetalLayer::layer();
  layer->setDevice(device);
  layer->setDrawableSize({2, 1});
  {
    AutoreleasePool pool;
    auto a = layer->nextDrawable(), b = layer->nextDrawable(), c = layer->nextDrawable();
    EXPECT_TRUE(a && b && c);
    EXPECT_FALSE(layer->nextDrawable());
    const uint8_t px[8] = {1, 2, 3, 255, 4, 5, 6, 255};
    a->texture()->replaceRegion({{0, 0, 0}, {2, 1, 1}}, 0, px, 8);
    a->present();
    a->present();  // twice: a misuse
  }
  EXPECT_EQ(metal_misuse_record().size(), 1u);
  clear_metal_misuse_record();
  const LayerContents shown = layer->contents();
  EXPECT_EQ(shown.present_count, 1u);
  ASSERT_EQ(shown.bgra.size(), 8u);
  EXPECT_EQ(shown.bgra[4], 4);
  AutoreleasePool pool;
  // Two unpresented ones went back; the shown one stays out until replaced.
  EXPECT_TRUE(layer->nextDrawable() && layer->nextDrawable());
  EXPECT_FALSE(layer->nextDrawable());
}

TEST_F(MetalStandIn, HeldFailedAndMisusedCommandBuffers) {
  auto layer = CAMetalLayer::layer();
  layer->setDrawableSize({1, 1});
  set_metal_completion(MetalCompletion::held);
  AutoreleasePool pool;
  auto cb = queue->commandBuffer();
  auto d = layer->nextDrawable();
  cb->presentDrawable(d);
  cb->commit();
  EXPECT_EQ(cb->status(), MTLCommandBufferStatusCommitted);
  EXPECT_EQ(layer->presentCount(), 0u);
  fail_next_command_buffers(1);
  EXPECT_EQ(release_held_command_buffers(), 1u);
  EXPECT_EQ(cb->status(), MTLCommandBufferStatusError);
  EXPECT_EQ(layer->presentCount(), 0u);  // an error leaves the screen as it was

  cb->commit();
  auto open = queue->commandBuffer();
  auto enc = open->blitCommandEncoder();
  enc->endEncoding();
  enc->endEncoding();
  auto tex = device->newTextureWithDescriptor(
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, 1, 1, false));
  tex->replaceRegion({{0, 0, 0}, {1, 1, 1}}, 0, "abcd", 4);  // managed: allowed
  auto desc = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, 1, 1, false);
  desc->setStorageMode(MTLStorageModePrivate);
  device->newTextureWithDescriptor(desc)->replaceRegion({{0, 0, 0}, {1, 1, 1}}, 0, "abcd", 4);
  EXPECT_FALSE(device->newTextureWithDescriptor(
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, 16385, 1, false)));
  EXPECT_EQ(metal_misuse_record().size(), 4u);
  clear_metal_misuse_record();
}

TEST_F(MetalStandIn, InjectedCreationFailuresAndCompileErrors) {
  fail_next_creations(MetalCreation::buffer, 1);
  EXPECT_FALSE(device->newBufferWithLength(16, 0));
  EXPECT_TRUE(device->newBufferWithLength(16, 0));
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(device->newLibraryWithSource("not a registered text", nullptr, &error));
  ASSERT_TRUE(error);
  NSError e{"MTLLibraryErrorDomain", 3, "boom", {{"line", "7"}}};
  EXPECT_EQ(e.debugDescription(), "Error Domain=MTLLibraryErrorDomain Code=3 \"boom\" UserInfo={line=7}");
}

TEST_F(MetalStandIn, DeviceThreadEndsBuffersInOrder) {
  set_metal_completion(MetalCompletion::device_thread);
  auto layer = CAMetalLayer::layer();
  layer->setDrawableSize({1, 1});
  for (int i = 0; i < 3; ++i) {
    AutoreleasePool pool;
    auto cb = queue->commandBuffer();
    cb->presentDrawable(layer->nextDrawable());
    cb->commit();
  }
  EXPECT_TRUE(layer->waitForPresentCount(3));
  wait_metal_device_idle();
}

// A drawable presented by hand from its buffer's completed handler counts as
// that buffer filled it and shows its pixels; a failed buffer's handler sees
// the error, and a handler added after the commit is misuse.
TEST_F(MetalStandIn, CompletedHandlersPresentAsTheBufferFilled) {
  auto layer = CAMetalLayer::layer();
  layer->setDrawableSize({1, 1});
  set_metal_completion(MetalCompletion::held);
  const MetalPresentTotals before = metal_present_totals();
  std::vector<MTLCommandBufferStatus> seen;
  for (const bool fail : {false, true}) {
    AutoreleasePool pool;
    auto cb = queue->commandBuffer();
    auto d = layer->nextDrawable();
    auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
    pass->colorAttachment(0).setTexture(d->texture());
    pass->colorAttachment(0).setLoadAction(MTLLoadActionClear);
    pass->colorAttachment(0).setClearColor({0, 0, 1, 1});
    cb->renderCommandEncoderWithDescriptor(pass)->endEncoding();
    cb->addCompletedHandler([d, &seen](MTLCommandBuffer& done) {
      seen.push_back(done.status());
      if (done.status() == MTLCommandBufferStatusCompleted) d->present();
    });
    const uint64_t shown_before = layer->presentCount();
    cb->commit();
    EXPECT_EQ(layer->presentCount(), shown_before) << "held: nothing shown at the commit";
    if (fail) fail_next_command_buffers(1);
    release_held_command_buffers();
    cb->addCompletedHandler([](MTLCommandBuffer&) {});
  }
  EXPECT_EQ(seen, (std::vector<MTLCommandBufferStatus>{MTLCommandBufferStatusCompleted, MTLCommandBufferStatusError}));
  EXPECT_EQ(layer->presentCount(), 1u);
  EXPECT_EQ(metal_present_totals().cleared - before.cleared, 1u);
  EXPECT_EQ(metal_present_totals().direct - before.direct, 0u);
  const LayerContents shown = layer->contents();
  ASSERT_EQ(shown.bgra.size(), 4u);
  EXPECT_EQ(shown.bgra[0], 255);  // blue first in BGRA
  EXPECT_EQ(metal_misuse_record().size(), 2u);
  clear_metal_misuse_record();
}

// Under the thread checker the GPU's rows go unwatched, but what a command
// reads is still seen against the CPU: a buffer filled again while a copy
// from it runs is a race; filled again once the copy has ended, none. The
// copy runs on a thread of its own that nothing else synchronises with
// until it is joined, so the race is there whatever the timing.
TEST_F(MetalStandIn, TheThreadCheckerSeesACommandsSourceAgainstTheCpu) {
#ifndef PLATFORM_THREAD_CHECKER
  GTEST_SKIP() << "a thread checker's finding";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto copy_then_refill = [this](bool after_the_copy) {
    set_metal_completion(MetalCompletion::held);
    auto tex = device->newTextureWithDescriptor(
        MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, 64, 64, false));
    auto buf = device->newBufferWithLength(64 * 64 * 4, 0);
    auto* bytes = static_cast<uint8_t*>(buf->contents());
    auto cb = queue->commandBuffer();
    auto blit = cb->blitCommandEncoder();
    blit->copyFromBuffer(buf, 0, 64 * 4, 0, {64, 64, 1}, tex, 0, 0, {0, 0, 0});
    blit->endEncoding();
    cb->commit();
    std::thread gpu([] { release_held_command_buffers(); });
    if (after_the_copy) gpu.join();
    std::memset(bytes, 7, 64 * 64 * 4);
    if (!after_the_copy) gpu.join();
    std::exit(0);
  };
  EXPECT_EXIT(copy_then_refill(true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(copy_then_refill(false), ::testing::ExitedWithCode(66), "data race");
#endif
}

}  // namespace
}  // namespace platform
