#include <algorithm>
#include <cmath>
#include <limits>

#include "core/machine.h"
#include "pool/runtime/pool_runtime_ops.h"

namespace vel {

namespace {

bool before(Instant now, const std::optional<Instant>& deadline) { return deadline && now < *deadline; }

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

bool pool_launch_allowed(const PoolRuntime& rt, Instant now) {
  if (!rt.pool_enabled || rt.disabled_for_session || rt.gpu_contended || rt.preparation_hold) return false;
  if (rt.handoff_deadline) return false;
  if (before(now, rt.launch_cooldown_until)) return false;
  if (rt.snapshot_path) return false;
  if (rt.ranges_held) return false;
  if (before(now, rt.ranges_held_until)) return false;
  if (!rt.launch_debounce_from) return true;
  uint64_t quiet_ms = now >= *rt.launch_debounce_from ? (now - *rt.launch_debounce_from) / kNsPerMs : 0;
  return quiet_ms > 1999;
}

bool pool_engaged(const PoolRuntime& rt, const GateWorld& world) {
  if (!rt.pool_enabled || rt.gpu_contended || rt.disabled_for_session || rt.ranges_held || rt.preparation_hold)
    return false;
  if (rt.handoff_deadline || rt.volume.short_of_room()) return false;
  if (rt.comp_is_3d && world.async_renders_in_flight != 0) return false;
  return rt.templates_ready == 1 && rt.snapshot_path.has_value();
}

bool pool_next_batch_ready(const PoolRuntime& rt, const GateWorld& world) {
  if (!pool_engaged(rt, world) || rt.plan) return false;
  if (rt.selected_output >= kOutputMemory && world.memory_token != 0) return false;
  return !before(world.now, rt.launch_cooldown_until);
}

bool pool_ranges_held(const PoolRuntime& rt, Instant now) { return rt.ranges_held || before(now, rt.ranges_held_until); }

bool pool_periodic_check_due(PoolRuntime& rt, Instant now) {
  if (rt.templates_ready != 0 || !rt.pool_enabled || rt.disabled_for_session) return false;
  if (rt.last_periodic_check && now >= *rt.last_periodic_check &&
      (now - *rt.last_periodic_check) / kNsPerSec < 30)
    return false;
  rt.last_periodic_check = now;
  return true;
}

uint64_t pool_effective_worker_count(const PoolRuntime& rt, const WorkerCountInputs& in) {
  if (rt.selected_output >= kOutputMemory || in.measured_admission) return 1;
  constexpr uint64_t GiB = 1ull << 30;
  uint64_t bound = 1;
  if (in.physical_memory) {
    uint64_t m = *in.physical_memory;
    uint64_t per_worker = std::max(rt.file_downsample > 3 ? 7 * GiB / 2 : 5 * GiB, rt.worker_bytes_estimate);
    uint64_t usable = std::min(m > 4 * GiB ? m - 4 * GiB : 0, (m / 100) * 60);
    bound = std::max<uint64_t>(usable / per_worker, 1);
  }
  uint64_t cap = rt.comp_is_3d ? (in.worker_count != 0 ? 1 : 0) : in.worker_count;
  uint64_t n = std::max<uint64_t>(std::min(bound, cap), 1);
  uint64_t scaled = n > UINT64_MAX / std::max<uint64_t>(in.pressure_percent, 1)
                        ? UINT64_MAX
                        : saturating_add(n * in.pressure_percent, 99) / 100;
  return std::max<uint64_t>(scaled, 1);
}

std::optional<PlanMatch> pool_plan_match(const PoolRuntime& rt, uint64_t downsample, uint64_t span) {
  if (!rt.delivery_descriptor) return std::nullopt;
  const DeliveryDescriptor& d = *rt.delivery_descriptor;
  if (d.comp_identity != rt.comp_identity || d.comp_3d != rt.comp_is_3d || d.output != rt.selected_output)
    return std::nullopt;
  if (d.dimensions != rt.comp_dimensions) return std::nullopt;
  if (d.file_downsample != rt.file_downsample || d.downsample != rt.file_downsample) return std::nullopt;
  if (d.effective_step != std::max(downsample, rt.file_downsample) || d.span != span) return std::nullopt;
  return PlanMatch{d.timing_a, d.per_frame_ms, d.span, d.downsample, d.effective_step};
}

void note_pool_comp_edit(PoolRuntime& rt, Instant now) {
  reset_pool_plan(rt);
  rt.handoff_deadline.reset();
  rt.handoff_companion.reset();
  rt.delivery_descriptor.reset();
  rt.launch_debounce_from = now;
  rt.last_edit_wall_time = wall_clock_now();
  rt.snapshot_path.reset();
  rt.snapshot_generation += 1;
  if (rt.ranges_held) rt.hold_grace_armed = true;
  (void)take_pool_plan(rt, now);  // dropping the plan ends its batch
  if (rt.last_edit_at && now >= *rt.last_edit_at && now - *rt.last_edit_at < 15 * kNsPerSec)
    rt.ranges_held_until = saturating_add(now, (rt.comp_is_3d ? 20 : 5) * kNsPerSec);
  rt.last_edit_at = now;
  rt.snapshot_file.reset();
  // The engine prewarm for the debounce belongs to the worker launch.
}

void allow_immediate_pool_launch(PoolRuntime& rt, Instant now) {
  rt.ranges_held_until.reset();
  rt.last_edit_at.reset();
  rt.hold_grace_armed = false;
  if (rt.launch_debounce_from && now >= 2 * kNsPerSec) rt.launch_debounce_from = now - 2 * kNsPerSec;
}

void set_pool_ranges_held(PoolRuntime& rt, bool held, Instant now) {
  if (!held && rt.ranges_held) {
    if (rt.hold_grace_armed) {
      Instant grace = saturating_add(now, 5 * kNsPerSec);
      if (!rt.ranges_held_until || *rt.ranges_held_until < grace) rt.ranges_held_until = grace;
    }
    rt.hold_grace_armed = false;
  }
  rt.ranges_held = held;
}

void request_witness_handoff(PoolRuntime& rt, bool on, Instant now) {
  if (!on) {
    rt.handoff_deadline.reset();
    return;
  }
  if (!rt.handoff_deadline) {
    double grace = 1000.0;
    if (rt.delivery_descriptor) {
      double per_frame = rt.delivery_descriptor->per_frame_ms;
      if (std::isfinite(per_frame) && per_frame >= 0.0) grace = 2.0 * per_frame;
    }
    grace = std::clamp(grace, 250.0, 2000.0);
    rt.handoff_deadline = saturating_add(now, static_cast<uint64_t>(grace * 1e6));
  }
  kill_warm_engines(rt);
}

void advance_pool_ramp_window(PoolRuntime& rt, bool active) {
  if (!rt.ramp_open) return;
  if (active) {
    if (rt.ramp_window_ns > UINT64_MAX - rt.ramp_increment_ns) {
      rt.ramp_window_ns = UINT64_MAX;
      rt.ramp_open = false;
      rt.ramp_active = false;
    } else {
      rt.ramp_window_ns += rt.ramp_increment_ns;
      bool inside = rt.ramp_window_ns / kNsPerSec < 3;
      rt.ramp_open = inside;
      rt.ramp_active = inside;
    }
  } else {
    rt.ramp_active = false;
  }
  rt.ramp_increment_ns = 0;
}

void note_gpu_contention(PoolRuntime& rt, std::string_view /*reason*/, double render_ms) {
  if (!(render_ms >= 4000.0) || !rt.comp_is_3d || rt.gpu_contended) return;
  if (!rt.plan && rt.warm_engines.empty()) return;
  rt.gpu_contended = true;
  (void)take_pool_plan(rt, mono_ns());  // dropping the plan ends its batch
  kill_warm_engines(rt);
}

void drop_queued_ranges_on_hide(PoolRuntime& rt) {
  if (!rt.plan || rt.plan->queued_ranges.empty()) return;
  uint64_t dropped = 0;
  for (const auto& r : rt.plan->queued_ranges) dropped = saturating_add(dropped, range_frame_count(r.start, r.end));
  rt.plan->queued_ranges.clear();
  rt.plan->expected_frames = rt.plan->expected_frames > dropped ? rt.plan->expected_frames - dropped : 0;
}

}  // namespace vel
