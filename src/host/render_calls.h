// Typed calls over the host's render side: render options, synchronous
// render with checkout, the world accessors, the project-change timestamp
// and the asynchronous render manager. Every call answers a value or an
// AeError; nothing here throws. The host's declarations stay inside
// src/host: callers see only opaque handles.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

struct _AEGP_RenderOptions;
struct _AEGP_FrameReceipt;

namespace vel {

// Acquires the Render, Render Options and World suites and, when the host
// has it, the Render Async Manager suite, and keeps them for the process.
// Main thread; call once at start-up (later calls only retry what is
// missing). Fails when one of the three required suites is missing.
Status<AeError> keep_render_suites();

// Whether the asynchronous render manager was kept.
bool async_render_manager_available();

// The host's project-change timestamp; equal stamps mean no change between.
using ProjectTimestamp = std::array<uint32_t, 4>;
Result<ProjectTimestamp, AeError> current_timestamp();

// A host world as the plug-in reads it (valid while its owner keeps it).
struct WorldView {
  const uint8_t* base = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t row_bytes = 0;
  uint32_t bits_per_channel = 8;  // 8, 16 or 32
  bool premultiplied = false;
};

// The world's facts through the World suite kept for the process; callable
// from any thread once keep_render_suites succeeded. Refuses a negative
// size or an unknown world type.
Result<WorldView, AeError> world_view(WorldH world);

// Render options, disposed when the value goes.
class RenderOptions {
 public:
  // New options for a composition item (time 0, downsample 1, 8 bpc).
  static Result<RenderOptions, AeError> for_item(ItemH item, PluginId plugin_id);

  RenderOptions(RenderOptions&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  RenderOptions& operator=(RenderOptions&& o) noexcept;
  RenderOptions(const RenderOptions&) = delete;
  RenderOptions& operator=(const RenderOptions&) = delete;
  ~RenderOptions();

  Status<AeError> set_time(int32_t value, uint32_t scale);
  // Same factor on both axes; 1..16 (anything else is refused here).
  Status<AeError> set_downsample(uint32_t factor);
  // 8, 16 or 32 bits per channel (anything else is refused here).
  Status<AeError> set_depth(uint32_t bits_per_channel);

  _AEGP_RenderOptions* handle() const { return h_; }

 private:
  explicit RenderOptions(_AEGP_RenderOptions* h) : h_(h) {}
  _AEGP_RenderOptions* h_ = nullptr;
};

// A rendered frame checked out from the host; checked in when the value goes.
class CheckedOutFrame {
 public:
  CheckedOutFrame(CheckedOutFrame&& o) noexcept : r_(std::exchange(o.r_, nullptr)) {}
  CheckedOutFrame& operator=(CheckedOutFrame&& o) noexcept;
  CheckedOutFrame(const CheckedOutFrame&) = delete;
  CheckedOutFrame& operator=(const CheckedOutFrame&) = delete;
  ~CheckedOutFrame();

  // The frame's world, valid while this value lives.
  Result<WorldView, AeError> world() const;

 private:
  friend Result<CheckedOutFrame, AeError> render_and_checkout_frame(const RenderOptions&);
  explicit CheckedOutFrame(_AEGP_FrameReceipt* r) : r_(r) {}
  _AEGP_FrameReceipt* r_ = nullptr;
};

// Renders synchronously on the main thread and checks the frame out.
Result<CheckedOutFrame, AeError> render_and_checkout_frame(const RenderOptions& options);

// Completion of an asynchronous request, called once per accepted request
// on a host thread. `world` is null when cancelled or failed and valid only
// during the call; `render_error` is the render's error, if any.
using AsyncCompletionFn = void (*)(void* refcon, uint64_t request_id, bool cancelled,
                                   const std::optional<AeError>& render_error, const WorldView* world);

// Submits the frame the options describe (main thread). On success `fn`
// will be called exactly once with `refcon`; on failure never.
Result<uint64_t, AeError> submit_async_render(PluginId plugin_id, const RenderOptions& options, AsyncCompletionFn fn,
                                              void* refcon);

// Asks the host to drop a pending request (main thread); its completion
// still comes. An unknown or finished id is not an error.
Status<AeError> cancel_async_render(uint64_t request_id);

}  // namespace vel
