#include "plugin/pool_preview_link.h"

#include <cmath>

#include "core/machine.h"
#include "plugin/presentation.h"
#include "plugin/preview_state.h"
#include "pool/runtime/pool_runtime_ops.h"

namespace vel {

namespace {

constexpr double kHeavyFrameMs = 300.0;

// The asynchronous renderer's measurements per downsample, as the pool reads
// them: render count and mean time, and the arrival times (oldest first).
AsyncTimingTables async_timing_tables(const LevelRenderTimes& times) {
  AsyncTimingTables tables;
  for (size_t i = 0; i < tables.size(); ++i) {
    tables[i].count = times.async_ms[i].count;
    tables[i].mean_first_ms = times.async_ms[i].average;
    tables[i].completions_ms.assign(times.arrivals[i].begin(), times.arrivals[i].end());
  }
  return tables;
}

}  // namespace

void link_preview_to_pool(PreviewState& state) {
  // The state is never moved nor freed: the hooks may keep its address.
  PreviewState* s = &state;
  PoolLink& link = state.preview.pool_link;
  link.render_timed = [s](std::string_view reason, double render_ms) {
    // Frames that heavy take the machine's time: no engine is warmed during
    // an edit pause while the last one measured was.
    if (std::isfinite(render_ms)) s->pool.heavy_frames = render_ms > kHeavyFrameMs;
    note_gpu_contention(s->pool, reason, render_ms);
  };
  link.claimed_ranges = [s](uint32_t downsample) {
    std::vector<PoolFrameRange> out;
    for (const FrameRange& r : release_async_2d_reservations(s->pool, downsample,
                                                             async_timing_tables(s->preview.level_times), mono_ns()))
      out.emplace_back(r.start, r.end);
    return out;
  };
}

uint64_t pool_file_downsample(uint32_t preview_downsample) {
  if (preview_downsample >= 4) return 4;
  return preview_downsample >= 2 ? 2 : 1;
}

void refresh_resource_plan(PreviewState& state) {
  PoolRuntime& rt = state.pool;
  const uint64_t file_ds = pool_file_downsample(effective_downsample(state.preview));
  if (file_ds == rt.file_downsample) return;
  rt.file_downsample = file_ds;
  reset_pool_plan(rt);
}

void follow_pooled_comp(PreviewState& state) {
  PoolRuntime& rt = state.pool;
  const PreviewController& ctl = state.preview;
  rt.comp_identity = ctl.pinned_item.value_or(0);
  if (ctl.comp_size.width > 0 && ctl.comp_size.height > 0) {
    rt.comp_dimensions = std::make_pair(static_cast<uint32_t>(ctl.comp_size.width),
                                        static_cast<uint32_t>(ctl.comp_size.height));
  } else {
    rt.comp_dimensions.reset();
  }
  if (rt.comp_is_3d == ctl.comp_is_3d) return;
  rt.comp_is_3d = ctl.comp_is_3d;
  reset_pool_plan(rt);
  rt.delivery_descriptor.reset();
  if (!rt.comp_is_3d) rt.gpu_contended = false;
}

void pool_follow_preview_step(PreviewState& state, uint64_t now_ns) {
  PoolRuntime& rt = state.pool;
  const WitnessClaims& witness = state.preview.witness;
  set_pool_ranges_held(rt, witness.hold_ranges, now_ns);
  // Armed once per claim; an edit that cleared the deadline arms it again.
  if (witness.handoff != rt.handoff_deadline.has_value()) request_witness_handoff(rt, witness.handoff, now_ns);
  if (presenting_panel(state).views == nullptr) drop_queued_ranges_on_hide(rt);
}

void pool_play_started(PreviewState& state, uint64_t now_ns) { allow_immediate_pool_launch(state.pool, now_ns); }

}  // namespace vel
