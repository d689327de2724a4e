#include "plugin/pool_pump.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/format.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/process_flags.h"
#include "core/repeat_log.h"
#include "plugin/preview_state.h"
#include "core/switches.h"
#include "host/project_calls.h"
#include "host/render_calls.h"
#include "host/utility_calls.h"
#include "cache/memory_pressure.h"
#include "host/item_calls.h"
#include "panel/present/playback_clock.h"
#include "panel/present/present_request.h"
#include "panel/present/present_telemetry.h"
#include "cache/frame_cache_ops.h"
#include "pool/batch/batch_launch.h"
#include "pool/batch/batch_supervision.h"
#include "pool/runtime/engine_prewarm.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_memory_tick.h"
#include "pool/schedule/range_planning.h"
#include "pool/schedule/worker_capacity.h"
#include "preview/async_render.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/runtime/pool_volume.h"
#include "pool/runtime/rs_templates.h"
#include "pool/runtime/snapshot_adoption.h"
#include "pool/utf8_validity.h"
#include "store/cleanup_queue.h"

namespace vel {

namespace {

// A batch's job folder, once nothing reads or writes in it, goes to the
// deferred file work. While the host quits that work has stopped: the
// folder is left to the next load's purge rather than refused with an error.
void dispose_job_dir(const JobFolderRemoval& removal) {
  // The host is quitting: the cleanup thread is gone, and a folder left for
  // the next load would sit in the temporary directory until then. The
  // batch's threads have ended by now, so this runs once, on the thread
  // that lets the folder go last.
  if (dying_flag().load(std::memory_order_relaxed)) {
    removal();
    return;
  }
  post_cleanup_request(RemoveHeld{[removal] { removal(); }});
}

// The pool folder's volume is read on a thread of its own.
const VolumeProbe& pool_volume_probe() {
  static const VolumeProbe& probe = *new VolumeProbe(live_volume_probe());
  return probe;
}

// The pinned composition's name, as the workers' "-comp" argument.
std::string comp_name_of(const PreviewState& s) {
  const PreviewController& ctl = s.preview;
  if (ctl.pinned_handle == nullptr) return {};
  auto name = item_name(ctl.pinned_handle, ctl.plugin_id);
  return name ? name.value() : std::string();
}

OpenProject open_project_state() {
  auto state = project_file_state();
  if (!state) return std::nullopt;
  return std::make_pair(state->path, state->dirty);
}

// The script adds and removes a render-queue item, which moves the host's
// project-change stamp: the preview takes the new stamp as its baseline so
// that the template check is not seen as an edit.
void refresh_edit_baseline(PreviewState& s) {
  if (!s.preview.edits.baseline) return;
  if (auto stamp = current_timestamp()) {
    s.preview.edits.baseline = stamp.value();
  } else {
    s.preview.edits.baseline.reset();
  }
}

void run_template_check(PreviewState& s) {
  TemplateHost host;
  host.run_script = [&s](const std::string& script) -> Result<TemplateHost::Ran> {
    auto out = execute_script(s.plugin_id, script);
    if (!out) return err(to_string(out.error()));
    return TemplateHost::Ran{out->result, out->error};
  };
  host.refresh_project_baseline = [&s] { refresh_edit_baseline(s); };
  ensure_rs_templates(s.pool, host);
}

// The batch's ranges from the frames the delivery decision gave the pool:
// one run per worker the batch aims at, nearest the playhead first.
// The downsample the preview wants now.
uint64_t wanted_downsample(const PreviewState& s) {
  return std::max<uint64_t>(effective_downsample(s.preview), 1);
}

FramePlan plan_pool_ranges(const PreviewState& s, const std::vector<int64_t>& frames) {
  const PoolRuntime& rt = s.pool;
  WorkerCountInputs in;
  in.worker_count = pool_worker_count();
  in.physical_memory = physical_memory_bytes();
  in.pressure_percent = memory_pressure_percent();
  in.measured_admission = measured_admission_enabled();
  const uint64_t wanted = in.measured_admission ? in.worker_count : pool_effective_worker_count(rt, in);
  const int64_t playhead = s.preview.playhead.frame;
  constexpr uint64_t kMinRun = 4;
  if (frame_packing_enabled()) return plan_batches_read_first(frames, wanted, playhead, kMinRun);
  std::vector<int64_t> sorted = frames;
  std::sort(sorted.begin(), sorted.end());
  return merge_batches_to_count(plan_batches(sorted, wanted, playhead, kMinRun), static_cast<int64_t>(kMinRun), wanted,
                                playhead);
}

// How far ahead of the playhead the delivery decision looks: as far as the
// playback clock looks for ready frames.
int64_t delivery_look_ahead(const PreviewState& s) {
  const PreviewController& ctl = s.preview;
  ClockInputs in;
  in.timing = *ctl.timing;
  in.frame_batch_limit = s.cache.frame_limit;
  in.delivery_optimize = delivery_optimize_enabled();
  const auto grid = clock_grid(ctl.timing->frame_scale, *ctl.timing);
  return grid ? clock_look_ahead(*grid, in) : 16;
}

void log_pool_delivery(const PreviewState& s, std::span<const FrameRange> ranges) {
  if (!perf_enabled()) return;
  const PreviewController& ctl = s.preview;
  const auto [lo, hi] = playback_loop_bounds(ctl.work_area.first, ctl.work_area.last, ctl.frame_count);
  perf_log(pool_delivery_line(s.pool, wanted_downsample(s), ranges, ctl.playhead.frame, lo, hi, delivery_look_ahead(s)));
}

void launch_for_frames(PreviewState& s, uint64_t now_ns, const std::vector<int64_t>& frames) {
  PoolRuntime& rt = s.pool;
  const PreviewController& ctl = s.preview;
  if (frames.empty() || !ctl.timing || ctl.timing->frame_scale == 0 || ctl.timing->frame_value <= 0) return;
  if (!pool_wants_frames(s, now_ns)) return;
  const std::string name = comp_name_of(s);
  if (name.empty()) return;
  // No worker goes before a recent look at the pool folder's volume: the
  // batch waits the tick or two the reading takes.
  if (!volume_lets_worker_go(rt, now_ns)) {
    rt.volume.ask(now_ns, pool_volume_probe());
    return;
  }
  const FramePlan ranges = plan_pool_ranges(s, frames);
  const bool had_plan = rt.plan.has_value();
  LaunchWorld world = live_launch_world(rt, async_renders_in_flight());
  world.dispose_job_dir = dispose_job_dir;
  launch_pool_batch(rt, name, ranges, ctl.timing->frame_scale, static_cast<uint64_t>(ctl.timing->frame_value), world);
  if (!had_plan && rt.plan) log_pool_delivery(s, ranges);
}

void poll_background_copy(PreviewState& s, uint64_t now_ns) {
  PoolRuntime& rt = s.pool;
  auto reply = poll_snapshot_reply(rt.snapshot_reply, rt.snapshot_generation);
  if (!reply) return;
  if (auto* text = std::get_if<std::string>(&*reply)) {
    log_line("ERROR", "snapshot copy: " + *text);
    note_pool_comp_edit(rt, now_ns);
    return;
  }
  SnapshotReady ready = std::move(std::get<SnapshotReady>(*reply));
  auto stamp = file_modified_time(ready.source());
  if (!snapshot_still_fresh(ready, open_project_state(), stamp, rt.last_edit_wall_time)) return;  // deleted here
  if (perf_enabled()) perf_log("SNAPSHOT copy_ms=" + fmt_fixed(ready.copy_ms(), 1));
  adopt_project_snapshot(rt, std::move(ready));
}

void take_snapshot(PreviewState& s, uint64_t now_ns) {
  PoolRuntime& rt = s.pool;
  auto dir = pool_directory_path();
  if (!dir) return;
  // The pump comes back here every few ticks while the folder stays
  // unusable: one line, then a count once it is usable again (or at quit).
  // Every snapshot name is reached from the pool folder held, never
  // through its path.
  auto pool = open_pool_folder(*dir);
  if (!pool) {
    log_repeatable("pool: snapshot folder", "ERROR", "pool: snapshot: " + pool.error());
    return;
  }
  log_repeat_ended("pool: snapshot folder");
  auto project = open_project_state();
  std::optional<FileStamp> stamp;
  if (project) stamp = file_modified_time(project->first);
  switch (choose_snapshot_road(project, stamp, rt.last_edit_wall_time, pipeline_optimize_enabled())) {
    case SnapshotRoad::WaitForSave:
      rt.save_required = true;
      return;
    case SnapshotRoad::BackgroundCopy:
      start_snapshot_copy(rt.snapshot_reply,
                          SnapshotRequest{project->first, *stamp, *dir, rt.snapshot_generation, {}, pool.value()});
      return;
    case SnapshotRoad::DirectCopy: {
      uint64_t start = mono_ns();
      rt.snapshot_file.reset();
      fs::path target = pool_snapshot_path(*dir);
      if (auto copied = copy_project_file(project->first, target, pool.value()->get()); !copied) {
        log_line("ERROR", "pool: copie du projet: " + copied.error());
        note_pool_comp_edit(rt, now_ns);
        return;
      }
      adopt_project_snapshot(rt, SnapshotReady(target, project->first, *stamp,
                                               static_cast<double>(mono_ns() - start) / 1e6, pool.value()));
      return;
    }
    case SnapshotRoad::HostSave: {
      rt.snapshot_file.reset();
      fs::path written = fresh_partial_name(*dir, "hostsave-");
      auto saved = save_project_copy(written);
      if (!saved) {
        ::unlinkat(pool.value()->get(), written.filename().c_str(), 0);
        log_line("ERROR", "pool: snapshot forcé: " + saved.error());
        note_pool_comp_edit(rt, now_ns);
        return;
      }
      fs::path target = pool_snapshot_path(*dir);
      if (auto adopted = adopt_written_file(written, target, pool.value()->get()); !adopted) {
        log_line("ERROR", "pool: snapshot: " + adopted.error());
        note_pool_comp_edit(rt, now_ns);
        return;
      }
      adopt_project_snapshot(
          rt, SnapshotReady(target, project->first, stamp.value_or(FileStamp{}), saved->save_ms, pool.value()));
      return;
    }
  }
}

// A pool frame counts as produced in the presentation telemetry, as the
// frames of the other producers do.
void note_pool_frame(const RgbaFrame& frame) { record_produced_frame(frame, "pool"); }

SupervisionWorld supervision_world(const PreviewState& s) {
  return live_supervision_world(s.pool, async_renders_in_flight(), s.preview.playhead.frame);
}

}  // namespace

// A frame of the pool goes into the RAM cache only while the composition
// that its batch rendered is the one the pool follows: a frame of a batch
// that an edit or a switch ended never lands under another composition.
void ingest_pool_frames(PreviewState& s, std::vector<IngestedFrame> frames) {
  const PreviewController& ctl = s.preview;
  const uint32_t served_width =
      ctl.comp_size.width > 0
          ? downsampled_size(static_cast<uint32_t>(ctl.comp_size.width), static_cast<uint32_t>(wanted_downsample(s)))
          : 0;
  for (IngestedFrame& f : frames) {
    if (f.comp_identity != s.pool.comp_identity) continue;
    // The preview made this frame itself meanwhile (the playhead's, or one
    // the pool gave up): the pool's copy replaces nothing and counts for
    // nothing.
    if (auto width = cached_frame_width(s.cache, f.key); width && *width >= served_width) continue;
    const uint32_t w = f.pixels.width, h = f.pixels.height;
    note_pool_frame(f.pixels);
    if (!cache_rendered_frame(s.cache, f.key, std::move(f.pixels))) continue;
    note_frame_road(s.preview, s.cache, f.key, FrameRoad::Pool);
    log_line("INFO", "S5 pool : image " + std::to_string(f.key.value) + "/" + std::to_string(f.key.scale) + " en cache (" +
                         std::to_string(w) + "x" + std::to_string(h) + ")");
  }
}

Result<SavedCopy> save_project_copy(const fs::path& path) {
  auto count = num_projects();
  if (!count) return err("suite Project: " + to_string(count.error()));
  if (count.value() < 1) return err("aucun projet ouvert");
  auto project = project_by_index(0);
  if (project && !valid_utf8(path.native())) return err("chemin non-UTF8");
  if (!project) return err("project_by_index(0): " + to_string(project.error()));
  uint64_t start = mono_ns();
  if (auto saved = save_project_to_path(project.value(), path.string()); !saved) {
    return err("save_project_to_path: " + to_string(saved.error()));
  }
  SavedCopy out;
  out.save_ms = static_cast<double>(mono_ns() - start) / 1e6;
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) out.size = static_cast<uint64_t>(st.st_size);
  return out;
}

void pump_pool_delivery(PreviewState& s, uint64_t now_ns, const std::vector<int64_t>& pool_frames,
                        bool frames_unclaimed) {
  PoolRuntime& rt = s.pool;
  rt.pump_paused = false;
  // More frames wait that a batch could take: the next may follow at once.
  // The frames handed over this tick are not the test: none are while a
  // batch runs, which is when the flag is read (and any handed over are
  // among the unclaimed ones).
  rt.quick_chaining = frames_unclaimed;
  // The frame files found wait read-first from the playhead: the frames the
  // user looks at next are decoded first.
  reorder_queued_ranges(rt, s.preview.playhead.frame);
  if (rt.plan) {
    const uint64_t ds = wanted_downsample(s);
    WidthRule rule;
    if (rt.comp_dimensions) rule = {1, downsampled_size(rt.comp_dimensions->first, static_cast<uint32_t>(ds))};
    ingest_pool_frames(s, supervise_batches(rt, ds, supervision_world(s), s.cache, rule));
  }
  if (pool_periodic_check_due(rt, now_ns)) {
    run_template_check(s);
    return;
  }
  if (rt.templates_ready != 1) return;
  if (pipeline_optimize_enabled()) poll_background_copy(s, now_ns);
  if (rt.snapshot_reply.pending()) return;
  if (pool_launch_allowed(rt, now_ns)) {
    take_snapshot(s, now_ns);
    return;
  }
  launch_for_frames(s, now_ns, pool_frames);
}

bool preparation_holds_pool(const PreviewController& preview, bool prepare_switch) {
  return prepare_switch && preview.raster_comp != nullptr;
}

void pool_idle_step(PreviewState& s, uint64_t now_ns, bool edited, const std::vector<int64_t>& pool_frames,
                    bool frames_unclaimed) {
  PoolRuntime& rt = s.pool;
  // The pool folder removed or replaced since this host took it: another
  // host may hold it by now. The pool goes off, said once, before anything
  // is launched, chained or prewarmed there.
  if (rt.pool_enabled && !rt.disabled_for_session) {
    if (const auto lost = pool_folder_lost()) {
      disable_pool_for_session(rt, lost->reason);
      if (rt.snapshot_file) rt.snapshot_file->keep_file();
      stop_pool(rt, now_ns);
    }
  }
  // Set first, so that the prewarm of an edit and every gate of this tick
  // (and the delivery decision's question to the pool) see it.
  rt.preparation_hold = preparation_holds_pool(s.preview, prepare_enabled());
  if (edited && rt.pool_enabled) {
    const PrewarmWorld prewarm = live_prewarm_world(async_renders_in_flight());
    const bool warm = !rt.heavy_frames && !rt.gpu_contended;
    if (warm) keep_snapshot_for_prewarm(rt, prewarm);  // the edit deletes the adopted copy
    note_pool_comp_edit(rt, now_ns);
    if (warm) prewarm_pool_workers(rt, now_ns, prewarm);
  }
  if (rt.last_idle_tick && now_ns >= *rt.last_idle_tick) rt.ramp_increment_ns = now_ns - *rt.last_idle_tick;
  rt.last_idle_tick = now_ns;
  advance_pool_ramp_window(rt, rt.plan.has_value());
  rt.pool_active = s.preview_open;
  // The memory tick also reaps and sweeps what ended batches left: it runs
  // even while the raster path holds the composition.
  pool_memory_tick(rt, now_ns);
  tend_pool_volume(rt, now_ns, pool_volume_probe());
  if (rt.plan) ingest_pool_frames(s, supervise_batches(rt, wanted_downsample(s), supervision_world(s)));
  // While the raster path holds the composition the pool stays stopped.
  if (s.preview.raster_comp) return;
  pump_pool_delivery(s, now_ns, pool_frames, frames_unclaimed);
}

std::string pool_delivery_line(const PoolRuntime& rt, uint64_t downsample, std::span<const FrameRange> plan,
                               int64_t playhead, int64_t loop_first, int64_t loop_last, int64_t window) {
  const std::optional<PlanMatch> measured = pool_plan_match(rt, downsample, expected_frame_count(plan));
  return "DELIVERY use_pool=true reason=pool_next_batch_ready ranges=" + std::to_string(plan.size()) +
         " ranges_in_window=" + std::to_string(count_ranges_in_loop_window(plan, playhead, loop_first, loop_last, window)) +
         " window=" + std::to_string(window) +
         " measured_first_ms=" + fmt_opt(measured ? std::optional<double>(measured->timing_a) : std::nullopt) +
         " measured_per_frame_ms=" + fmt_opt(measured ? std::optional<double>(measured->per_frame_ms) : std::nullopt);
}

bool pool_wants_frames(const PreviewState& s, uint64_t now_ns) {
  const GateWorld world{now_ns, async_renders_in_flight(), memory_output_token_held() ? 1u : 0u};
  return pool_next_batch_ready(s.pool, world);
}

bool pool_takes_frames(const PreviewState& s, uint64_t now_ns) {
  const GateWorld world{now_ns, async_renders_in_flight(), memory_output_token_held() ? 1u : 0u};
  // A silent batch holds the pool until it is killed: the frames it never
  // held would wait minutes for the next batch.
  return pool_engaged(s.pool, world) && !pool_batch_given_up(s.pool, now_ns);
}

std::vector<std::pair<int64_t, int64_t>> pool_held_frames(const PreviewState& s, uint64_t now_ns) {
  std::vector<std::pair<int64_t, int64_t>> out;
  for (const FrameRange& r : pool_pending_ranges(s.pool, now_ns)) out.emplace_back(r.start, r.end);
  return out;
}

std::vector<std::pair<int64_t, int64_t>> pool_given_up_frames(const PreviewState& s, uint64_t now_ns) {
  std::vector<std::pair<int64_t, int64_t>> out;
  for (const FrameRange& r : pool_given_up_ranges(s.pool, now_ns)) out.emplace_back(r.start, r.end);
  return out;
}

std::vector<int64_t> pool_coming_frames(const PreviewState& s, uint64_t now_ns) {
  return pool_frames_coming(s.pool, now_ns);
}

std::string pool_status_line(const PreviewState& s) {
  if (s.pool.disabled_for_session && s.pool.pool_enabled) return "Render engines off for this session: see velocinta.log";
  return s.pool.save_required ? "Save the project (Cmd+S) to unlock the render engines" : std::string();
}

void cmd_snapshot_probe(PreviewState&) {
  auto dir = pool_directory_path();
  auto pool = dir ? open_pool_folder(*dir) : Result<std::shared_ptr<const DirFd>>(err(std::string()));
  if (!pool) {
    log_line("INFO", "S3.1 snapshot: Err(\"pool folder unavailable\")");
    return;
  }
  // Written under a fresh name and renamed only once saved whole, so that a
  // failed save leaves nothing behind.
  fs::path written = fresh_partial_name(*dir, "hostsave-");
  auto saved = save_project_copy(written);
  if (saved) {
    if (auto moved = adopt_written_file(written, *dir / "velocinta_snapshot.aep", pool.value()->get()); !moved)
      saved = err(moved.error());
  } else {
    ::unlinkat(pool.value()->get(), written.filename().c_str(), 0);
  }
  if (saved) {
    log_line("INFO", "S3.1 snapshot: Ok((" + fmt_fixed(saved->save_ms, 1) + ", " + std::to_string(saved->size) + "))");
  } else {
    log_line("INFO", "S3.1 snapshot: Err(\"" + saved.error() + "\")");
  }
}

}  // namespace vel
