#include "panel/present/metal/metal_present_worker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "cache/memory_pressure.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/switches.h"
#include "panel/present/cpu_present_worker.h"
#include "panel/present/metal/metal_fit.h"
#include "panel/present/present_workers.h"

namespace vel {

using namespace platform;

namespace {

constexpr double kClearRetryMs = 16.0;
constexpr uint32_t kClearAttempts = 3;

int64_t sat_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

int64_t sat_from_double(double v) {
  if (!(v > -9.2e18)) return INT64_MIN;
  if (v >= 9.2e18) return INT64_MAX;
  return static_cast<int64_t>(v);
}

bool drawable(const RgbaFrame& f, int64_t vw, int64_t vh) {
  uint64_t n = 0;
  return f.width > 0 && f.height > 0 && vw > 0 && vh > 0 &&
         !__builtin_mul_overflow(uint64_t{f.width} * f.height, uint64_t{4}, &n) && n == f.pixels.size();
}

RgbaFrame frame_of(const NeighbourFrame& e) { return RgbaFrame{e.pixels, e.time, e.width, e.height}; }

double ms_since(std::chrono::steady_clock::time_point at) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - at).count();
}

// Ends the slot's record when its command buffer has ended: (pending, failed).
std::pair<bool, bool> poll_metal_completion(MetalSlot& slot, uint64_t generation, double now) {
  if (!slot.record) return {false, false};
  const MTLCommandBufferStatus status = slot.record->command->status();
  if (status != MTLCommandBufferStatusCompleted && status != MTLCommandBufferStatusError) return {true, false};
  MetalDrawRecord record = std::move(*slot.record);
  slot.record.reset();
  const bool error = status == MTLCommandBufferStatusError;
  PresentEvent e;
  e.backend = "metal-completion-poll";
  e.request = record.request;
  e.kind = error ? kEventGpuFailed : kEventGpuCompleted;
  e.target_time = record.target_time;
  e.detail = record.detail;
  e.duration_ms = now - record.submitted_ms;
  record_present_event(record.frame, e);
  if (!error) return {false, false};
  log_line("ERROR", "metal: command failed; displayed image retained and latest frame retried");
  return {false, record.generation == generation};
}

}  // namespace

struct MetalPresenter::Taken {
  PresentRequest request;
  uint64_t generation = 0;
  uint64_t stops = 0;
  int64_t start = 0, end = -1;
  double fps = 0.0;
  int64_t count = 0;
  bool worker_play = false;
  NeighbourList frames;
  std::optional<RgbaFrame> incoming;
};

MetalPresenterOptions metal_presenter_options_from_environment() {
  MetalPresenterOptions o;
  o.gpu_allowed = env_value("VELOCINTA_METAL_GPU").value_or("") != "0";
  o.blit_allowed = env_value("VELOCINTA_METAL_BLIT").value_or("") != "0";
  o.perf = perf_enabled();
  o.on_report = present_worker_wake_host;
  return o;
}

MetalPresenter::MetalPresenter(std::shared_ptr<PresentJob> job, std::shared_ptr<CAMetalLayer> layer,
                               MetalPresenterOptions options)
    : job_(std::move(job)), layer_(std::move(layer)), options_(std::move(options)) {
  if (!options_.pressure_percent) options_.pressure_percent = [] { return memory_pressure_percent(); };
  if (!options_.physical_memory) options_.physical_memory = [] { return physical_memory_bytes(); };
  AutoreleasePool pool;
  const std::shared_ptr<MTLDevice>& device = layer_->device();
  if (options_.gpu_allowed && device) {
    auto queue = device->newCommandQueue();
    auto pipeline = queue ? obtain_metal_pipeline(device) : nullptr;
    if (pipeline) {
      gpu_.emplace();
      gpu_->device = device;
      gpu_->queue = std::move(queue);
      gpu_->pipeline = std::move(pipeline);
    }
  }
  if (options_.blit_allowed && device) {
    if (auto queue = device->newCommandQueue()) {
      blit_.emplace();
      blit_->device = device;
      blit_->queue = std::move(queue);
    }
  }
  clear_queue_ = gpu_ ? gpu_->queue : (blit_ ? blit_->queue : nullptr);
}

MetalPresenter::~MetalPresenter() {
  gpu_.reset();
  blit_.reset();
  counted_.recount(0);
}

bool MetalPresenter::slots_empty() const {
  auto empty = [](const auto& state) {
    return !state || std::none_of(state->slots.begin(), state->slots.end(), [](const MetalSlot& s) { return s.record.has_value(); });
  };
  return empty(gpu_) && empty(blit_);
}

bool MetalPresenter::poll_slots(uint64_t generation, double now, bool& failed) {
  bool pending = false;
  if (gpu_) {
    for (MetalSlot& slot : gpu_->slots) {
      const auto [p, f] = poll_metal_completion(slot, generation, now);
      pending |= p;
      if (f) {
        gpu_->clear_cache();
        failed = true;
      }
    }
  }
  if (blit_) {
    for (MetalSlot& slot : blit_->slots) {
      const auto [p, f] = poll_metal_completion(slot, generation, now);
      pending |= p;
      failed |= f;
    }
  }
  return pending;
}

void MetalPresenter::note_command_failure(bool play) {
  displayed_.reset();
  if (!play && !pending_ && retained_) pending_ = retained_;
  failures_ = failures_ == UINT64_MAX ? failures_ : failures_ + 1;
  if (failures_ <= 2) return;
  if (gpu_) {
    if (clear_queue_ == gpu_->queue) clear_queue_ = blit_ ? blit_->queue : nullptr;
    gpu_.reset();
    log_line("ERROR", "metal: repeated GPU errors; using CPU preparation");
  } else if (blit_) {
    if (clear_queue_ == blit_->queue) clear_queue_.reset();
    blit_.reset();
    log_line("ERROR", "metal: repeated blit errors; using direct upload");
  }
  failures_ = 0;
  account();  // a dropped path gives its bytes back at once
}

bool MetalPresenter::issue_clear(const MetalDrawContext& context) {
  if (!context.current()) return false;
  if (!clear_queue_ && layer_->device()) clear_queue_ = layer_->device()->newCommandQueue();
  if (!clear_queue_) return false;
  layer_->setDrawableSize({1, 1});
  auto drawable = layer_->nextDrawable();
  if (!drawable) return false;
  auto command = clear_queue_->commandBuffer();
  if (!command) return false;
  auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
  pass->colorAttachment(0).setTexture(drawable->texture());
  pass->colorAttachment(0).setLoadAction(MTLLoadActionClear);
  pass->colorAttachment(0).setStoreAction(MTLStoreActionStore);
  pass->colorAttachment(0).setClearColor({0, 0, 0, 1});
  auto encoder = command->renderCommandEncoderWithDescriptor(pass);
  if (!encoder) return false;
  encoder->endEncoding();
  if (!context.current()) return false;
  command->presentDrawable(drawable);
  command->commit();
  clear_command_ = std::move(command);
  return true;
}

// The composition clear; true when the iteration goes on to new pixels.
bool MetalPresenter::step_clear(const MetalDrawContext& context, bool play, bool commands_pending, int64_t vw,
                                int64_t vh, std::optional<RgbaFrame>& incoming) {
  if (!play && incoming) pending_ = std::move(incoming), incoming.reset();
  if (!play && pending_ && drawable(*pending_, vw, vh) && !commands_pending && !clear_command_ && context.current()) {
    return true;  // the new frame covers the old image
  }
  if (commands_pending) return false;
  AutoreleasePool pool;
  if (!clear_command_) {
    issue_clear(context);
    return false;
  }
  const MTLCommandBufferStatus status = clear_command_->status();
  if (status == MTLCommandBufferStatusCompleted) {
    clear_command_.reset();
    clear_pending_ = false;
    clear_failures_ = 0;
    view_drawn_ = false;
    return true;
  }
  if (status != MTLCommandBufferStatusError) return false;
  clear_command_.reset();
  log_line("ERROR", "metal: composition clear failed; retrying before new pixels");
  // A device whose every command fails would owe the clear for ever and
  // never draw again: after three failures in a row the next frame drawn
  // covers the view instead.
  if (++clear_failures_ >= kClearAttempts) {
    clear_pending_ = false;
    clear_failures_ = 0;
    return true;
  }
  issue_clear(context);
  return false;
}

bool MetalPresenter::draw(const RgbaFrame& frame, int64_t vw, int64_t vh, const MetalDrawContext& context) {
  const bool drawn = draw_metal_frame(*layer_, frame, static_cast<uint64_t>(vw), static_cast<uint64_t>(vh), scratch_,
                                      output_, gpu_, blit_, context);
  view_drawn_ |= drawn;
  return drawn;
}

std::optional<double> MetalPresenter::iterate(double now) {
  PresentJob& job = *job_;
  Taken t;
  std::optional<int64_t> seek;
  std::optional<std::chrono::steady_clock::time_point> seek_at, stop_at;
  bool reset = false;
  {
    std::lock_guard lock(job.mutex);
    job.woken = false;
    t.request = job.request;
    t.generation = job.generation.load(std::memory_order_acquire);
    t.stops = job.stops.load(std::memory_order_acquire);
    t.fps = job.fps;
    t.count = job.count;
    t.worker_play = job.worker_play;
    t.frames = job.frames;
    if (job.range) {
      t.start = job.range->first, t.end = job.range->second;
    } else {
      t.start = 0, t.end = sat_add(job.count, -1);
    }
    reset = std::exchange(job.reset, false);
    clear_pending_ |= std::exchange(job.clear, false);
    seek = std::exchange(job.seek, std::nullopt);
    seek_at = std::exchange(job.seek_at, std::nullopt);
    stop_at = std::exchange(job.stop_at, std::nullopt);
    t.incoming = std::exchange(job.explicit_frame, std::nullopt);
  }
  // The clock ran until playback stopped, however late this worker hears of
  // it: what fell due since its last wake and was not shown is missed.
  if (previous_play_ && (stop_at || !t.worker_play)) {
    count_missed_until(t, stop_at ? now - std::max(ms_since(*stop_at), 0.0) : now);
    previous_play_ = t.worker_play && !seek;
  }
  if (reset || seek) pending_.reset(), retained_.reset(), displayed_.reset();
  if (seek) {
    if (report_presented_index(job, t.generation, *seek) && options_.on_report) options_.on_report();
    // The clock runs from when playback was asked, however late this
    // worker takes it up.
    anchor_time_ = now - std::max(seek_at ? ms_since(*seek_at) : 0.0, 0.0);
    anchor_index_ = current_index_ = *seek;
    anchor_range_ = {t.start, t.end};
    missed_marks_ = {};  // a new time base: every frame falls due anew
    if (!t.incoming && !t.worker_play && t.count > 0 && t.frames) {
      for (const NeighbourFrame& e : *t.frames) {
        if (e.frame == *seek) {
          t.incoming = frame_of(e);
          break;
        }
      }
    }
  }

  bool failed = false;
  const bool commands_pending = poll_slots(t.generation, now, failed);
  const int64_t vw = job.view_width.load(std::memory_order_relaxed);
  const int64_t vh = job.view_height.load(std::memory_order_relaxed);

  MetalDrawContext context;
  context.stop = &job.stop;
  context.job_generation = &job.generation;
  context.generation = t.generation;
  context.request = t.request;
  context.target_time = t.request.time;
  context.pressure_percent = options_.pressure_percent();
  context.physical_memory = options_.physical_memory();
  context.now_ms = now;
  // A still picture too is dropped when a stop or a new job came after it.
  context.present = [job = job_, generation = t.generation, stops = t.stops,
                     order = take_draw_order(*job_)](const std::function<void()>& show) {
    return show_if_current(*job, generation, stops, order, show, std::nullopt);
  };

  if (clear_pending_ && !step_clear(context, t.worker_play, commands_pending, vw, vh, t.incoming)) {
    if (failed) note_command_failure(t.worker_play);  // failures count even while a clear is owed
    return kClearRetryMs;
  }
  if (failed) note_command_failure(t.worker_play);
  if (t.worker_play && !previous_play_) {
    if (!seek) anchor_time_ = now;
    anchor_index_ = current_index_;
    anchor_range_ = {t.start, t.end};
    missed_marks_ = {};
  }
  previous_play_ = t.worker_play;

  if (!t.worker_play) {
    if (t.incoming) {
      pending_ = std::move(t.incoming);
    } else if ((vw != last_vw_ || vh != last_vh_) && !pending_ && retained_) {
      pending_ = retained_;
    }
    if (pending_) {
      if (draw(*pending_, vw, vh, context)) {
        job.presented.fetch_add(1, std::memory_order_relaxed);
        retained_ = std::move(pending_);
        pending_.reset();
        clear_pending_ = false;
        last_vw_ = vw, last_vh_ = vh;
      }
      displayed_.reset();
    }
  } else {
    pending_.reset();
    if (anchor_range_ != std::make_pair(t.start, t.end)) {
      // New loop bounds: its frames fall due from the frame on screen now.
      anchor_time_ = now;
      anchor_index_ = current_index_;
      anchor_range_ = {t.start, t.end};
      missed_marks_ = {};
    }
    play(t, context, now, vw, vh);
  }

  account();
  if (!commands_pending && slots_empty() && !t.worker_play && (!pending_ || vw == 0 || vh == 0)) {
    return std::nullopt;
  }
  if (!t.worker_play || !(t.fps > 0.0)) return 4.0;
  const double period = 1000.0 / t.fps;
  double next;
  if (!std::isfinite(t.fps) || !std::isfinite(now)) {
    next = now + 33.0;
  } else {
    next = anchor_time_ + period * (std::trunc(std::max(now - anchor_time_, 0.0) / period) + 1.0);
    next = std::max(next, now + 1.0);
  }
  return next - now;  // the loop clamps against a fresh clock
}

MetalPresenter::Due MetalPresenter::due_at(const Taken& t, double now) const {
  const int64_t s = t.start, e = t.end;
  const int64_t n = sat_add(sat_add(e, -s), 1);
  Due due{current_index_, now};
  if (s == e) {
    due.index = s;
  } else if (n > 1 && std::isfinite(t.fps) && t.fps > 0.0 && std::isfinite(now)) {
    const int64_t steps = sat_from_double(std::trunc(t.fps * std::max(now - anchor_time_, 0.0) / 1000.0));
    const int64_t base_index = s <= anchor_index_ && anchor_index_ <= e ? anchor_index_ : s;
    int64_t m = sat_add(sat_add(base_index, steps), -s) % n;
    if (m < 0) m += n;
    due.index = sat_add(s, m);
    due.since = std::min(now, anchor_time_ + static_cast<double>(steps) * 1000.0 / t.fps);
  }
  return due;
}

void MetalPresenter::count_missed_until(const Taken& t, double at) {
  // The due frame's own time is still running: it may yet be shown in it.
  const int64_t due = due_at(t, at).index;
  if (due != current_index_) count_missed_through(t, previous_in_loop(due, t.start, t.end));
}

void MetalPresenter::count_missed_through(const Taken& t, int64_t through) {
  const int64_t s = t.start, e = t.end;
  // A picture outside the loop counts too: it waits for the loop's first
  // frame, and every frame that falls due meanwhile is missed.
  if (s <= through && through <= e && through != current_index_) {
    job_->missed.fetch_add(count_missed_frames(missed_marks_, current_index_, through, s, e, std::nullopt),
                           std::memory_order_relaxed);
  }
}

void MetalPresenter::play(const Taken& t, const MetalDrawContext& base, double now, int64_t vw, int64_t vh) {
  const int64_t s = t.start, e = t.end;
  const Due due = due_at(t, now);
  const int64_t d = due.index;
  const std::vector<NeighbourFrame>& frames = *t.frames;
  const NeighbourFrame* chosen = nullptr;
  bool fallback = false;
  if (s <= d && d <= e) {
    // From a frame outside the loop playback enters it at its first frame.
    const int64_t c = s <= current_index_ && current_index_ <= e ? current_index_ : s;
    auto largest_in = [&](int64_t lo, int64_t hi) {
      const NeighbourFrame* best = nullptr;
      for (const NeighbourFrame& f : frames) {
        if (f.frame >= std::max(lo, s) && f.frame <= std::min(hi, e) && (!best || f.frame > best->frame)) best = &f;
      }
      return best;
    };
    if (d >= c) {
      chosen = largest_in(c, d);
    } else {
      chosen = largest_in(s, d);
      if (!chosen) chosen = largest_in(c, e);
    }
  }
  if (!chosen && !view_drawn_ && !displayed_ && !retained_ && !frames.empty()) {
    for (const NeighbourFrame& f : frames) {
      if (f.frame <= d && f.frame >= s && f.frame <= e && f.frame < current_index_ &&
          (!chosen || f.frame > chosen->frame)) {
        chosen = &f;
      }
    }
    fallback = chosen != nullptr;
  }
  // Frames whose time on screen has ended without them: not among those
  // held, stepped over by a late wake, or the one going on screen now behind
  // the due frame (it shows late, in the due frame's time). Counted once the
  // picture is settled for this wake, so that the frame a deferred draw
  // still holds is not counted.
  auto count_missed = [&] { count_missed_until(t, now); };
  if (!chosen) {
    count_missed();
    return;
  }

  MetalDrawContext context = base;
  if (std::isfinite(t.fps) && t.fps > 0.0) {
    context.target_time = chosen->time + static_cast<double>(d - chosen->frame) / t.fps;
  }
  const bool skip = displayed_ && same_payload(displayed_->pixels, chosen->pixels) && displayed_->width == vw &&
                    displayed_->height == vh;
  if (skip) {
    // The frame is on screen as soon as the picture it shares is.
    report_undrawn_index(*job_, t.generation, displayed_->draw, chosen->frame);
  } else {
    const uint64_t serial = ++draws_;
    context.present = [job = job_, generation = t.generation, stops = t.stops, order = take_draw_order(*job_), serial,
                       index = chosen->frame](const std::function<void()>& show) {
      return show_if_current(*job, generation, stops, order, show, std::make_pair(serial, index));
    };
    if (!draw(frame_of(*chosen), vw, vh, context)) {
      // The frames before the one going on screen are missed whenever it
      // gets there: a long wait for a drawable shows as frames missed.
      if (chosen->frame != current_index_ && !fallback) {
        count_missed_through(t, previous_in_loop(chosen->frame, s, e));
      }
      deferred_ = deferred_ == UINT64_MAX ? deferred_ : deferred_ + 1;
      if (options_.perf && (deferred_ == 1 || deferred_ % 60 == 0)) {
        perf_log("PRESENT metal deferred=" + std::to_string(deferred_));
      }
      return;
    }
    job_->presented.fetch_add(1, std::memory_order_relaxed);
    displayed_ = Displayed{chosen->pixels, vw, vh, serial};
    retained_ = frame_of(*chosen);
    last_vw_ = vw, last_vh_ = vh;
  }
  count_missed();
  if (fallback || (skip && chosen->frame == current_index_)) return;
  const bool moved = chosen->frame != current_index_;
  if (report_presented_index(*job_, t.generation, chosen->frame)) {
    if (options_.on_report) options_.on_report();
    if (moved && t.request.seq != 0 && std::isfinite(chosen->time)) {
      PresentTelemetry r;
      r.request = t.request;
      r.backend = "metal";
      r.stamp_ms = monotonic_ms();
      r.frame_time = chosen->time;
      r.kind = skip ? kEventClockReused : kEventClockMoved;
      telemetry_ring().push(r);
    }
  }
  current_index_ = chosen->frame;
  follow_picture(missed_marks_, current_index_, s, e);
  // Shown behind the due frame: the time base restarts there as from when
  // the due frame fell due, so that no time falls between the two bases; the
  // frames after it fall due anew and count again if missed again.
  if (moved && chosen->frame != d) {
    anchor_time_ = due.since;
    anchor_index_ = chosen->frame;
    missed_marks_ = MissedMarks{chosen->frame, std::nullopt};
  }
}

void MetalPresenter::account() {
  if (gpu_) gpu_->trim_cache(texture_cache_budget(options_.pressure_percent(), options_.physical_memory()), SIZE_MAX);
  uint64_t bytes = saturating_sum(scratch_.counted_bytes(), output_.capacity());
  auto slots = [&](const std::array<MetalSlot, kMetalSlots>& list) {
    for (const MetalSlot& s : list) {
      if (s.staging) bytes = saturating_sum(bytes, s.staging->length());
      if (s.record) bytes = saturating_sum(bytes, s.record->upload_bytes);
    }
  };
  if (gpu_) {
    for (const TextureCacheEntry& e : gpu_->cache) {
      bytes = saturating_sum(bytes, e.cost - std::min(e.cost, e.pixels.capacity()));
    }
    slots(gpu_->slots);
  }
  if (blit_) slots(blit_->slots);
  counted_.recount(bytes);
}

void metal_present_worker_loop(std::shared_ptr<PresentJob> job, std::shared_ptr<CAMetalLayer> layer,
                               MetalPresenterOptions options) {
  const auto start = std::chrono::steady_clock::now();
  auto now = [&] { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(); };
  MetalPresenter presenter(job, std::move(layer), std::move(options));
  while (!job->stop.load(std::memory_order_acquire)) {
    std::optional<double> wait;
    {
      AutoreleasePool pool;
      wait = presenter.iterate(now());
    }
    std::unique_lock lock(job->mutex);
    auto woken = [&] { return job->woken || job->stop.load(std::memory_order_acquire); };
    if (!wait) {
      job->wake.wait(lock, woken);
    } else {
      const double ms = std::clamp(*wait, 1.0, 40.0);
      job->wake.wait_for(lock, std::chrono::duration<double, std::milli>(ms), woken);
    }
  }
}

Status<> start_metal_present_worker(std::shared_ptr<PresentJob> job, std::shared_ptr<CAMetalLayer> layer,
                                    MetalPresenterOptions options) {
  return present_workers().start(
      "velocinta-present",
      [job, layer = std::move(layer), options = std::move(options)]() mutable {
        metal_present_worker_loop(job, std::move(layer), std::move(options));
      },
      [job] { stop_present_job(*job); });
}

}  // namespace vel
