// draw_metal_frame over the stand-in device, executed at commit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "panel/present/metal/metal_draw.h"
#include "platform/metal_testing.h"

namespace vel {
namespace {

using namespace platform;

RgbaFrame make_frame(uint32_t w, uint32_t h, bool transparent_half) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
      const uint8_t a = transparent_half && x >= w / 2 ? static_cast<uint8_t>((x * 40) % 256) : 255;
      p[0] = static_cast<uint8_t>(std::min<unsigned>((x * 53 + y * 17) % 256, a));
      p[1] = static_cast<uint8_t>(std::min<unsigned>((x * 7 + y * 91) % 256, a));
      p[2] = static_cast<uint8_t>(std::min<unsigned>((x * y * 3) % 256, a));
      p[3] = a;
    }
  }
  RgbaFrame f;
  f.pixels = PixelPayload::adopt(std::move(px));
  f.width = w;
  f.height = h;
  f.time = 1.0;
  return f;
}

class MetalDraw : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_metal_faults();
    clear_metal_misuse_record();
    layer = CAMetalLayer::layer();
    layer->setDevice(MTLCreateSystemDefaultDevice());
    layer->setPixelFormat(MTLPixelFormatBGRA8Unorm);
    layer->setFramebufferOnly(false);
    gpu.emplace();
    gpu->device = layer->device();
    gpu->queue = gpu->device->newCommandQueue();
    gpu->pipeline = obtain_metal_pipeline(gpu->device);
    ASSERT_TRUE(gpu->pipeline);
    blit.emplace();
    blit->device = layer->device();
    blit->queue = blit->device->newCommandQueue();
    context.stop = &stop;
    context.job_generation = &generation;
  }
  void TearDown() override {
    reset_metal_faults();
    EXPECT_TRUE(metal_misuse_record().empty()) << metal_misuse_record().front();
    (void)drain_present_telemetry();
  }
  // Ends the slots' records as the worker's poll would.
  template <class State>
  void poll(std::optional<State>& s) {
    if (!s) return;
    for (MetalSlot& slot : s->slots) {
      if (slot.record && slot.record->command->status() >= MTLCommandBufferStatusCompleted) slot.record.reset();
    }
  }
  bool draw(const RgbaFrame& f, uint64_t vw, uint64_t vh) {
    const bool ok = draw_metal_frame(*layer, f, vw, vh, scratch, output, gpu, blit, context);
    poll(gpu);
    poll(blit);
    return ok;
  }
  std::vector<std::string> backends() {
    std::vector<std::string> out;
    for (const PresentTelemetry& t : drain_present_telemetry()) out.push_back(t.backend);
    return out;
  }

  std::shared_ptr<CAMetalLayer> layer;
  std::optional<MetalGpuState> gpu;
  std::optional<MetalBlitState> blit;
  PresentScratch scratch;
  std::vector<uint8_t> output;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> generation{0};
  MetalDrawContext context;
};

// The shader's steps over level 0 in double precision.
double sample(const RgbaFrame& f, double u, double v, int c) {
  const double fx = u * f.width - 0.5, fy = v * f.height - 0.5;
  const double x0 = std::floor(fx), y0 = std::floor(fy), ax = fx - x0, ay = fy - y0;
  auto at = [&](double x, double y) {
    const int64_t xi = std::clamp<int64_t>(static_cast<int64_t>(x), 0, f.width - 1);
    const int64_t yi = std::clamp<int64_t>(static_cast<int64_t>(y), 0, f.height - 1);
    return f.pixels.data()[(yi * f.width + xi) * 4 + c] / 255.0;
  };
  const double top = at(x0, y0) + (at(x0 + 1, y0) - at(x0, y0)) * ax;
  const double bottom = at(x0, y0 + 1) + (at(x0 + 1, y0 + 1) - at(x0, y0 + 1)) * ax;
  return top + (bottom - top) * ay;
}

// A small frame, and a 1/2 res frame of the sample's size in a 1920 x 1080
// picture, each against the shader's steps evaluated here.
TEST_F(MetalDraw, MagnifiedPictureIsTheShadersStepsWithinOne) {
  struct Case {
    uint32_t w, h;
  };
  for (const Case& c : {Case{24, 16}, Case{960, 540}}) {
    SCOPED_TRACE(c.w);
    const RgbaFrame f = make_frame(c.w, c.h, true);
    const uint64_t vw = 2 * c.w, vh = 2 * c.h;
    ASSERT_TRUE(draw(f, vw, vh));
    const LayerContents shown = layer->contents();
    ASSERT_EQ(shown.width, vw);
    ASSERT_EQ(shown.height, vh);
    int worst = 0;
    bool opaque = true;
    for (uint64_t y = 0; y < vh; ++y) {
      for (uint64_t x = 0; x < vw; ++x) {
        const double u = (x + 0.5) / vw, v = (y + 0.5) / vh, tx = 1.0 / f.width, ty = 1.0 / f.height;
        const double a = sample(f, u, v, 3);
        const double g = ((x / 12 + y / 12) % 2 == 0 ? 153.0 : 102.0) / 255.0;
        for (int ch = 0; ch < 3; ++ch) {
          double s = sample(f, u, v, ch);
          const double ring = sample(f, u + tx, v, ch) + sample(f, u - tx, v, ch) + sample(f, u, v + ty, ch) +
                              sample(f, u, v - ty, ch);
          s = std::clamp(s + (4 * s - ring) * 0.35 / 4, 0.0, 1.0);
          if (a < 1.0) s = std::min(s + g * (1 - a), 1.0);
          const int want = static_cast<int>(std::lround(s * 255));
          const int got = shown.bgra[(y * vw + x) * 4 + (2 - ch)];
          worst = std::max(worst, std::abs(want - got));
        }
        opaque = opaque && shown.bgra[(y * vw + x) * 4 + 3] == 255;
      }
    }
    EXPECT_LE(worst, 1);
    EXPECT_TRUE(opaque);
  }
}

TEST_F(MetalDraw, HalvedPictureEqualsTheCpuPreparation) {
  const RgbaFrame f = make_frame(64, 48, true);
  ASSERT_TRUE(draw(f, 32, 24));
  const LayerContents by_gpu = layer->contents();
  gpu.reset();
  blit.reset();
  ASSERT_TRUE(draw(f, 32, 24));
  const LayerContents by_cpu = layer->contents();
  ASSERT_EQ(by_gpu.bgra.size(), by_cpu.bgra.size());
  for (size_t i = 0; i < by_cpu.bgra.size(); ++i) {
    ASSERT_LE(std::abs(by_gpu.bgra[i] - by_cpu.bgra[i]), 1) << "byte " << i;
  }
  EXPECT_EQ(backends(), (std::vector<std::string>{"metal-gpu", "metal-direct"}));
}

TEST_F(MetalDraw, SameFrameUploadsOnceAndOversizeIsNotKept) {
  const RgbaFrame f = make_frame(16, 16, false);
  const MetalLedger before = metal_ledger();
  ASSERT_TRUE(draw(f, 8, 8));
  ASSERT_TRUE(draw(f, 8, 8));
  const MetalLedger after = metal_ledger();
  EXPECT_EQ(after.buffer_to_texture_copies - before.buffer_to_texture_copies, 1u);
  EXPECT_EQ(gpu->cache.size(), 1u);
  EXPECT_EQ(after.textures - before.textures, 1);  // the cached one; drawables ended

  context.pressure_percent = 1;  // a budget below one frame's cost
  context.physical_memory = uint64_t{1} << 20;
  const RgbaFrame big = make_frame(512, 512, false);
  ASSERT_TRUE(draw(big, 64, 64));
  ASSERT_EQ(gpu->cache.size(), 1u);  // the big frame was drawn, not kept
  EXPECT_EQ(gpu->cache[0].width, 16u);
  EXPECT_EQ(backends(), (std::vector<std::string>{"metal-gpu", "metal-gpu", "metal-gpu"}));
}

TEST_F(MetalDraw, TheCacheNeverHoldsMoreThan512Textures) {
  std::vector<RgbaFrame> frames;
  for (int i = 0; i < 515; ++i) frames.push_back(make_frame(2, 2, false));
  for (const RgbaFrame& f : frames) {
    ASSERT_TRUE(draw(f, 2, 2));
    ASSERT_LE(gpu->cache.size(), 512u);
  }
  EXPECT_EQ(gpu->cache.size(), 512u);
  // The least recently drawn went first: the three oldest frames are gone.
  for (const TextureCacheEntry& e : gpu->cache) {
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(same_payload(e.pixels, frames[i].pixels)) << i;
  }
  (void)drain_present_telemetry();
}

TEST_F(MetalDraw, HeldCompletionsFillThreeSlots) {
  set_metal_completion(MetalCompletion::held);
  const RgbaFrame f = make_frame(8, 8, false);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(draw(f, 8, 8)) << i;
  EXPECT_FALSE(draw(f, 8, 8));
  EXPECT_EQ(held_command_buffer_count(), 3u);
  EXPECT_TRUE(gpu.has_value());
  EXPECT_TRUE(blit.has_value());
  release_held_command_buffers();
  EXPECT_EQ(layer->presentCount(), 3u);
}

TEST_F(MetalDraw, ResourceFailuresFallThroughInTheSameCall) {
  const RgbaFrame f = make_frame(8, 8, false);
  struct Case {
    MetalCreation fault;
    bool gpu_left, blit_left;
    const char* backend;
  } cases[] = {
      {MetalCreation::texture, false, true, "metal-blit"},
      {MetalCreation::render_encoder, false, true, "metal-blit"},
      {MetalCreation::command_buffer, false, false, "metal-direct"},  // the blit path's fails too
      {MetalCreation::blit_encoder, false, false, "metal-direct"},
  };
  for (const Case& c : cases) {
    SetUp();
    fail_next_creations(c.fault, 2);
    const RgbaFrame g = make_frame(8, 8, false);  // a fresh frame: always an upload
    EXPECT_TRUE(draw(g, 8, 8));
    EXPECT_EQ(gpu.has_value(), c.gpu_left);
    EXPECT_EQ(blit.has_value(), c.blit_left);
    EXPECT_EQ(backends(), std::vector<std::string>{c.backend});
  }
  // No drawable drops nothing.
  SetUp();
  fail_next_creations(MetalCreation::next_drawable, 1);
  EXPECT_FALSE(draw(f, 8, 8));
  EXPECT_TRUE(gpu && blit);
}

TEST_F(MetalDraw, StaleOrBadInputDrawsNothing) {
  const RgbaFrame f = make_frame(8, 8, false);
  RgbaFrame short_frame = f;
  short_frame.height = 9;
  EXPECT_FALSE(draw(short_frame, 8, 8));
  EXPECT_FALSE(draw(f, 0, 8));
  generation.store(1);
  EXPECT_FALSE(draw(f, 8, 8));
  context.generation = 1;
  stop.store(true);
  EXPECT_FALSE(draw(f, 8, 8));
  EXPECT_EQ(layer->presentCount(), 0u);
  EXPECT_TRUE(gpu && blit);
}

TEST_F(MetalDraw, BlitStagingReusedForASmallerFrame) {
  gpu.reset();
  ASSERT_TRUE(draw(make_frame(40, 40, true), 40, 40));
  ASSERT_TRUE(draw(make_frame(40, 40, true), 40, 40));
  ASSERT_TRUE(draw(make_frame(40, 40, true), 40, 40));
  // Back at slot 0, whose buffer is 6400 bytes: reused for 4800.
  ASSERT_TRUE(draw(make_frame(40, 30, true), 40, 30));
  EXPECT_TRUE(blit.has_value());
  EXPECT_EQ(blit->slots[0].staging->length(), 40u * 40 * 4);
  EXPECT_EQ(layer->contents().height, 30u);
}

TEST_F(MetalDraw, TwoUsersShareOnePipelineSweptAfterBoth) {
  auto other = obtain_metal_pipeline(layer->device());
  EXPECT_EQ(other, gpu->pipeline);
  const int64_t pipelines = metal_ledger().pipelines;
  other.reset();
  gpu.reset();
  EXPECT_EQ(metal_ledger().pipelines, pipelines - 1);
  auto fresh = obtain_metal_pipeline(layer->device());
  EXPECT_EQ(metal_pipeline_list_size(), 1u);
}

}  // namespace
}  // namespace vel
