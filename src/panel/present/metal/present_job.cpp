#include "panel/present/metal/present_job.h"

namespace vel {
namespace {

void reset_locked(PresentJob& job) {
  job.request = PresentRequest{};
  job.range.reset();
  job.seek.reset();
  job.seek_at.reset();
  job.stop_at.reset();
  job.frames = std::make_shared<const std::vector<NeighbourFrame>>();
  job.fps = 0.0;
  job.count = 0;
  job.explicit_frame.reset();
  job.worker_play = false;
  job.reset = true;
  job.stops.fetch_add(1, std::memory_order_seq_cst);
  job.generation.fetch_add(1, std::memory_order_acq_rel);
}

// Under `screen_mutex`: the frame the picture of draw `draw`, made for
// `index`, shows (the latest frame sharing its pixels).
int64_t frame_of_draw_locked(const PresentJob& job, uint64_t draw, int64_t index) {
  return job.undrawn && job.undrawn->first == draw ? job.undrawn->second : index;
}

// Under `screen_mutex`.
void note_screen_locked(PresentJob& job, uint64_t generation, uint64_t draw, int64_t index) {
  job.screen_generation = generation;
  job.screen_draw = draw;
  job.screen_index = frame_of_draw_locked(job, draw, index);
}

bool same_list(const NeighbourList& a, const NeighbourList& b) {
  const bool a_empty = !a || a->empty(), b_empty = !b || b->empty();
  return a == b || (a_empty && b_empty);
}

}  // namespace

void PresentJob::notify() {
  {
    std::lock_guard lock(mutex);
    woken = true;
  }
  wake.notify_all();
}

void post_present_job(PresentJob& job, PresentPost post, const PresentRequest& request, uint64_t pressure) {
  const uint64_t old_pressure = job.pressure_percent.exchange(pressure, std::memory_order_acq_rel);
  {
    std::lock_guard lock(job.mutex);
    job.request = request;
    if (same_list(post.frames, job.frames) && post.worker_play == job.worker_play && post.fps == job.fps &&
        post.count == job.count && post.range == job.range && old_pressure == pressure && !post.seek) {
      return;
    }
    if (post.count < 1) {
      reset_locked(job);
    } else {
      if (post.seek) job.generation.fetch_add(1, std::memory_order_acq_rel);
      if (post.worker_play) job.explicit_frame.reset();
      if (job.worker_play && !post.worker_play && post.stop_at) job.stop_at = post.stop_at;
      job.worker_play = post.worker_play;
      job.fps = post.fps;
      job.count = post.count;
      job.range = post.range;
      if (post.seek) job.seek = post.seek, job.seek_at = post.seek_at;
      job.frames = post.frames ? std::move(post.frames) : std::make_shared<const std::vector<NeighbourFrame>>();
    }
  }
  job.notify();
}

void post_explicit_frame(PresentJob& job, RgbaFrame frame, const PresentRequest& request) {
  {
    std::lock_guard lock(job.mutex);
    job.request = request;
    job.explicit_frame = std::move(frame);
  }
  job.notify();
}

void cancel_present_job(PresentJob& job) {
  {
    std::lock_guard lock(job.mutex);
    reset_locked(job);
  }
  job.notify();
}

void cancel_and_clear_present_job(PresentJob& job) {
  {
    std::lock_guard lock(job.mutex);
    reset_locked(job);
    job.clear = true;
  }
  job.notify();
}

void stop_present_job(PresentJob& job) {
  job.stop.store(true, std::memory_order_release);
  job.notify();
}

std::optional<std::pair<uint64_t, int64_t>> read_presenter_result(PresentJob& job) {
  std::lock_guard lock(job.report_mutex);
  if (job.report_generation != job.generation.load(std::memory_order_acquire)) return std::nullopt;
  return std::make_pair(job.report_count, job.report_index);
}

std::optional<int64_t> read_screen_index(PresentJob& job) {
  std::lock_guard lock(job.screen_mutex);
  if (job.screen_generation != job.generation.load(std::memory_order_acquire)) return std::nullopt;
  return job.screen_index;
}

void report_screen_index(PresentJob& job, uint64_t generation, uint64_t draw, int64_t index) {
  std::lock_guard lock(job.screen_mutex);
  if (job.generation.load(std::memory_order_acquire) != generation) return;
  note_screen_locked(job, generation, draw, index);
}

uint64_t take_draw_order(PresentJob& job) { return job.draw_orders.fetch_add(1, std::memory_order_relaxed) + 1; }

bool show_if_current(PresentJob& job, uint64_t generation, uint64_t stops, uint64_t order,
                     const std::function<void()>& show,
                     std::optional<std::pair<uint64_t, int64_t>> playback_draw) {
  std::lock_guard gate(job.screen_gate);
  // Draws may end out of the order they were made in (a still frame and the
  // playback after it on two paths): the screen never goes back to an older
  // one.
  if (order <= job.screen_order) return false;
  // Named before the count of stops is read: a stop that reads no picture
  // passing here raised its count before this reads it, and the picture is
  // dropped; one that reads it keeps its frame, whether it lands or not.
  if (playback_draw) {
    std::lock_guard lock(job.screen_mutex);
    job.in_present = PresentJob::InPresent{generation, stops,
                                           frame_of_draw_locked(job, playback_draw->first, playback_draw->second)};
  }
  const bool current = !job.stop.load(std::memory_order_seq_cst) && job.stops.load(std::memory_order_seq_cst) == stops;
  if (current) {
    show();
    job.screen_order = order;
  }
  std::lock_guard lock(job.screen_mutex);
  job.in_present.reset();
  if (current && playback_draw) note_screen_locked(job, generation, playback_draw->first, playback_draw->second);
  return current;
}

std::optional<int64_t> post_playback_stop(PresentJob& job, PresentPost post, const PresentRequest& request,
                                          uint64_t pressure) {
  job.pressure_percent.store(pressure, std::memory_order_release);
  uint64_t before = 0, stops_before = 0;
  {
    std::lock_guard lock(job.mutex);
    job.request = request;
    before = job.generation.load(std::memory_order_acquire);
    stops_before = job.stops.load(std::memory_order_acquire);
    if (post.count < 1) {
      reset_locked(job);
    } else {
      if (job.worker_play && post.stop_at) job.stop_at = post.stop_at;
      job.worker_play = false;
      job.fps = post.fps;
      job.count = post.count;
      job.range = post.range;
      job.frames = post.frames ? std::move(post.frames) : std::make_shared<const std::vector<NeighbourFrame>>();
      job.stops.fetch_add(1, std::memory_order_seq_cst);
      job.generation.fetch_add(1, std::memory_order_acq_rel);
    }
  }
  job.notify();
  std::lock_guard lock(job.screen_mutex);
  // A picture of the playback passing the gate as the count moved may
  // still land: its frame is the one the screen keeps.
  if (job.in_present && job.in_present->generation == before && job.in_present->stops == stops_before) {
    return job.in_present->index;
  }
  if (job.screen_generation != before) return std::nullopt;
  return job.screen_index;
}

void report_undrawn_index(PresentJob& job, uint64_t generation, uint64_t draw, int64_t index) {
  std::lock_guard lock(job.screen_mutex);
  if (job.generation.load(std::memory_order_acquire) != generation) return;
  job.undrawn = std::make_pair(draw, index);
  if (job.screen_generation == generation && job.screen_draw == draw) job.screen_index = index;
}

bool report_presented_index(PresentJob& job, uint64_t generation, int64_t index) {
  std::lock_guard lock(job.report_mutex);
  if (job.stop.load(std::memory_order_acquire) || job.generation.load(std::memory_order_acquire) != generation) {
    return false;
  }
  job.report_generation = generation;
  ++job.report_count;
  job.report_index = index;
  return true;
}

}  // namespace vel
