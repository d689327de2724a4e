#include "raster/raster_fill.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>

#include "cache/buffer_pool.h"
#include "cache/memory_pressure.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/process_flags.h"
#include "core/switches.h"

namespace vel {

namespace {

constexpr uint64_t kMinBudget = 33'554'432;         // 32 MiB
constexpr uint64_t kMaxBudget = 536'870'912;        // 512 MiB
constexpr uint64_t kUnknownMemoryBudget = 171'798'691;  // 8 GiB / 50
constexpr auto kFullChannelPause = std::chrono::milliseconds(4);

double frame_seconds(FrameKey k) {
  return static_cast<double>(k.value) / static_cast<double>(k.scale == 0 ? 1u : k.scale);
}

uint32_t ceil_div(uint32_t a, uint32_t d) { return a / d + (a % d != 0 ? 1 : 0); }

bool generation_is(const RasterFillWorker& w) {
  return w.generation->load(std::memory_order_acquire) == w.expected_generation;
}

struct OwnFrame {
  std::shared_ptr<const FrameState> state;
  PixelPayload pixels;
  uint32_t width = 0, height = 0;
};

std::optional<OwnFrame> reuse_shared(SharedLastFrame& shared, const FrameState& state) {
  std::unique_lock lock(shared.mutex, std::try_to_lock);
  if (!lock.owns_lock() || !shared.record || !frame_states_equal(*shared.record->state, state)) return std::nullopt;
  const auto& r = *shared.record;
  return OwnFrame{r.state, r.pixels, r.width, r.height};
}

// Pixels this thread lets go of: when nobody else holds them any more (the
// idle hook dropped the result, or nothing kept it), the buffer goes back to
// the pool, where the next frame's allocation finds it with its pages in
// place, instead of to the allocator, which may hand them back to the
// system and fault them in again for the next frame.
void recycle(PixelPayload pixels) {
  if (auto bytes = pixels.try_take_bytes()) return_pooled_buffer(std::move(*bytes));
}

void publish_shared(SharedLastFrame& shared, const OwnFrame& f) {
  std::optional<SharedLastFrame::Record> old;
  {
    std::unique_lock lock(shared.mutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    old = std::move(shared.record);
    shared.record = SharedLastFrame::Record{f.state, f.pixels, f.width, f.height};
  }
  // The replaced record's pixels are released outside the lock.
  if (old) recycle(std::move(old->pixels));
}

void fail_fill(const RasterFillWorker& w, const std::string& text) {
  log_line("ERROR", "raster fill: " + text);
  w.cancel->store(true, std::memory_order_release);
  request_early_idle();
}

}  // namespace

RasterMachine current_raster_machine() {
  const MemoryAndCpu mc = memory_and_cpu_count();
  return RasterMachine{mc.cpu_count, physical_memory_bytes(), static_cast<uint32_t>(memory_pressure_percent())};
}

uint64_t raster_memory_budget(std::optional<uint64_t> physical_bytes) {
  if (!physical_bytes) return kUnknownMemoryBudget;
  return std::clamp(*physical_bytes / 50, kMinBudget, kMaxBudget);
}

uint32_t raster_thread_count(uint32_t comp_width, uint32_t comp_height, uint32_t downsample, const RasterMachine& m,
                             size_t frames, bool is_static) {
  const uint32_t d = downsample < 2 ? 1 : downsample;
  const uint64_t w = ceil_div(comp_width, d);
  const uint64_t h = ceil_div(comp_height, d);
  uint64_t cap = 1;
  if (m.hardware_threads) {
    const uint64_t hw = *m.hardware_threads;
    cap = std::min<uint64_t>(std::max<uint64_t>(hw > 2 ? hw - 2 : 0, 1), kMaxRasterThreads);
  }
  const uint64_t budget = raster_memory_budget(m.physical_bytes);
  const uint64_t p = m.pressure_percent;
  const uint64_t usable = p * (budget / 100) + p * (budget % 100) / 100;
  const uint64_t pixels = w * h;  // both below 2^32: no overflow
  const uint64_t frame_bytes =
      pixels >= (uint64_t{1} << 62) ? std::numeric_limits<uint64_t>::max() : std::max<uint64_t>(pixels * 4, 1);
  const uint64_t fit = usable / frame_bytes;
  uint64_t n = std::max<uint64_t>((fit > 2 ? fit - 2 : 0) / 3, 1);
  n = std::min(n, cap);
  if (is_static) n = 1;
  return static_cast<uint32_t>(std::min<uint64_t>(n, frames));
}

void raster_fill_worker_loop(RasterFillWorker w) {
  std::optional<OwnFrame> previous;
  const std::vector<FrameKey>& frames = *w.frames;
  while (true) {
    if (!generation_is(w)) return;
    const uint64_t i = w.next_index->fetch_add(1, std::memory_order_seq_cst);
    if (i >= frames.size()) return;
    const double t = frame_seconds(frames[i]);
    std::shared_ptr<const FrameState> state =
        w.static_state ? w.static_state : std::make_shared<const FrameState>(evaluate_prepared_frame(w.scene, t));

    std::optional<OwnFrame> frame;
    if (previous && frame_states_equal(*previous->state, *state)) {
      frame = OwnFrame{state, previous->pixels, previous->width, previous->height};
    } else if (auto shared = reuse_shared(*w.last_frame, *state)) {
      frame = std::move(shared);
    } else {
      auto drawn = render_prepared_frame(*state, w.downsample, w.optimize);
      if (!drawn) {
        fail_fill(w, drawn.error());
        return;
      }
      RasterFrame& rf = drawn.value();
      frame = OwnFrame{state, PixelPayload::adopt(std::move(rf.pixels)), rf.width, rf.height};
    }
    if (generation_is(w)) publish_shared(*w.last_frame, *frame);
    if (previous) recycle(std::move(previous->pixels));
    previous = frame;

    RasterFrameResult result{frames[i], frame->pixels, t, frame->width, frame->height};
    frame.reset();
    while (true) {
      if (!generation_is(w)) return;
      // A full channel is waited on in slices: the thread goes on as soon
      // as the idle hook takes a result, not at the end of a blind pause.
      const SendState sent = w.sender.try_send_for(result, kFullChannelPause);
      if (sent == SendState::Sent) break;
      if (sent == SendState::Disconnected) return;
    }
    request_early_idle();
  }
}

uint32_t run_raster_fill(RasterJobSlot& slot, std::shared_ptr<const CompModel> comp, std::vector<FrameKey> frames,
                     uint32_t downsample, const RasterFillEnv& env) {
  renew_job_slot(slot);
  if (frames.empty() || !comp) return 0;
  auto prepared = prepare_raster_scene(*comp);
  comp.reset();
  if (!prepared) {
    log_line("ERROR", "raster fill: " + prepared.error());
    slot.cancel->store(true, std::memory_order_release);
    return 0;
  }
  auto scene = std::make_shared<const PreparedScene>(std::move(prepared).value());
  const uint64_t expected = slot.generation->load(std::memory_order_acquire);

  auto [sender, receiver] = make_result_channel<RasterFrameResult>(kRasterChannelCapacity);
  auto shared_frames = std::make_shared<const std::vector<FrameKey>>(std::move(frames));
  auto next_index = std::make_shared<std::atomic<uint64_t>>(0);
  auto last_frame = std::make_shared<SharedLastFrame>();

  double t_min = std::numeric_limits<double>::infinity();
  double t_max = -std::numeric_limits<double>::infinity();
  for (FrameKey k : *shared_frames) {
    t_min = std::min(t_min, frame_seconds(k));
    t_max = std::max(t_max, frame_seconds(k));
  }
  std::shared_ptr<const FrameState> static_state;
  if (scene_is_static_over(scene->layers, t_min, t_max)) {
    static_state = std::make_shared<const FrameState>(evaluate_prepared_frame(scene, t_min));
  }
  const RasterMachine machine = env.machine ? *env.machine : current_raster_machine();
  uint32_t count = raster_thread_count(scene->width, scene->height, downsample, machine, shared_frames->size(),
                                       static_state != nullptr);
  if (env.forced_threads && !static_state) {
    count = static_cast<uint32_t>(std::min<uint64_t>(*env.forced_threads, shared_frames->size()));
  }
  const bool optimize = pipeline_optimize_enabled();

  BackgroundWorkerRegistry& registry = env.registry ? *env.registry : BackgroundWorkerRegistry::process();
  uint32_t started = 0;
  for (uint32_t i = 0; i < count; ++i) {
    RasterFillWorker worker{sender,     slot.generation, expected,       next_index, shared_frames, scene,
                            last_frame, slot.cancel,     static_state,   downsample, optimize};
    auto body = [worker = std::move(worker)]() mutable { raster_fill_worker_loop(std::move(worker)); };
    auto generation = slot.generation;
    auto stop = [generation] { generation->fetch_add(1, std::memory_order_seq_cst); };
    if (registry.start("velocinta-raster-" + std::to_string(i), std::move(body), std::move(stop)).ok()) ++started;
  }
  {
    // Only the threads hold senders now: the channel closes when they end.
    auto own_sender = std::move(sender);
  }
  if (started > 0) {
    slot.receiver.reset();
    slot.receiver.emplace(std::move(receiver));
    return started;
  }
  log_line("ERROR", "raster fill: aucun thread démarré — reprise AE demandée");
  slot.cancel->store(true, std::memory_order_release);
  return 0;
}

}  // namespace vel
