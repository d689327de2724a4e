// The Metal present worker "velocinta-present": takes the newest PresentJob,
// draws into the panel's CAMetalLayer by the best path it still has, polls
// its command buffers, and, while the job asks it to play, walks the job's
// frames on its own clock and reports each index it presents.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/result.h"
#include "panel/present/metal/metal_draw.h"
#include "panel/present/metal/present_job.h"
#include "panel/present/playback_clock.h"
#include "panel/present/present_bytes.h"
#include "platform/metal.h"

namespace vel {

struct MetalPresenterOptions {
  bool gpu_allowed = true;   // VELOCINTA_METAL_GPU is not "0"
  bool blit_allowed = true;  // VELOCINTA_METAL_BLIT is not "0"
  bool perf = false;         // perf logging
  std::function<uint64_t()> pressure_percent;                  // memory_pressure_percent
  std::function<std::optional<uint64_t>()> physical_memory;   // physical_memory_bytes
  std::function<void()> on_report;                             // asks the host for an early idle call
};

// The switches as the environment sets them now.
MetalPresenterOptions metal_presenter_options_from_environment();

class MetalPresenter {
 public:
  MetalPresenter(std::shared_ptr<PresentJob> job, std::shared_ptr<platform::CAMetalLayer> layer,
                 MetalPresenterOptions options);
  ~MetalPresenter();
  MetalPresenter(const MetalPresenter&) = delete;
  MetalPresenter& operator=(const MetalPresenter&) = delete;

  // One iteration at `now` (ms since the worker started). Answers how long
  // to sleep unless woken; none: until the next post.
  std::optional<double> iterate(double now);

  bool has_gpu() const { return gpu_.has_value(); }
  bool has_blit() const { return blit_.has_value(); }
  uint64_t deferred() const { return deferred_; }
  int64_t current_index() const { return current_index_; }
  size_t cached_textures() const { return gpu_ ? gpu_->cache.size() : 0; }

 private:
  struct Taken;
  struct Displayed {
    PixelPayload pixels;
    int64_t width = 0, height = 0;
    uint64_t draw = 0;  // the serial of the draw that put it on screen
  };
  // The frame the clock has due at `at` and when it fell due.
  struct Due {
    int64_t index = 0;
    double since = 0.0;
  };
  Due due_at(const Taken& t, double at) const;
  // Counts as missed the frames whose time ended by `at` unseen.
  void count_missed_until(const Taken& t, double at);
  // Counts as missed the frames after the one on screen up to `through`.
  void count_missed_through(const Taken& t, int64_t through);
  bool poll_slots(uint64_t generation, double now, bool& failed);
  void note_command_failure(bool play);
  bool issue_clear(const MetalDrawContext& context);
  bool step_clear(const MetalDrawContext& context, bool play, bool commands_pending, int64_t vw, int64_t vh,
                  std::optional<RgbaFrame>& incoming);
  void play(const Taken& t, const MetalDrawContext& base, double now, int64_t vw, int64_t vh);
  bool draw(const RgbaFrame& frame, int64_t vw, int64_t vh, const MetalDrawContext& context);
  void account();
  bool slots_empty() const;

  std::shared_ptr<PresentJob> job_;
  std::shared_ptr<platform::CAMetalLayer> layer_;
  MetalPresenterOptions options_;
  std::optional<MetalGpuState> gpu_;
  std::optional<MetalBlitState> blit_;
  std::shared_ptr<platform::MTLCommandQueue> clear_queue_;
  std::shared_ptr<platform::MTLCommandBuffer> clear_command_;
  bool clear_pending_ = false;
  uint32_t clear_failures_ = 0;
  std::optional<RgbaFrame> pending_, retained_;
  std::optional<Displayed> displayed_;
  // A draw of ours went to the view since it was last cleared. A seek forgets
  // the frames drawn, not the picture they left: a frame behind it would
  // step the picture back, so only an empty view takes one as a fallback.
  bool view_drawn_ = false;
  int64_t last_vw_ = 0, last_vh_ = 0;
  int64_t current_index_ = 0, anchor_index_ = 0;
  double anchor_time_ = 0.0;
  // The loop the time base counts in: a new loop starts a new base at the
  // frame on screen.
  std::pair<int64_t, int64_t> anchor_range_{0, -1};
  bool previous_play_ = false;
  MissedMarks missed_marks_;
  uint64_t failures_ = 0;
  uint64_t deferred_ = 0;
  uint64_t draws_ = 0;  // serial of the last playback draw
  PresentScratch scratch_;
  std::vector<uint8_t> output_;
  PresentByteCount counted_;
};

// The thread body: runs until the job's stop.
void metal_present_worker_loop(std::shared_ptr<PresentJob> job, std::shared_ptr<platform::CAMetalLayer> layer,
                               MetalPresenterOptions options);

// Starts "velocinta-present" through the present-worker registry.
Status<> start_metal_present_worker(std::shared_ptr<PresentJob> job, std::shared_ptr<platform::CAMetalLayer> layer,
                                    MetalPresenterOptions options);

}  // namespace vel
