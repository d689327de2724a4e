#include "panel/present/pipeline_report.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/format.h"
#include "panel/stats/bench_timings.h"

namespace vel {
namespace {

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

std::string one_decimal(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string idle_since(const ClockRunTotals& run, const std::optional<double>& stamp, double now) {
  if (!run.segment_start_ms) return "n/a";
  const double base = stamp && *stamp > *run.segment_start_ms ? *stamp : *run.segment_start_ms;
  return one_decimal(std::max(now - base, 0.0));
}

// Brings the run totals up to `now`.
void settle_run_totals(ClockRunTotals& run, double now) {
  if (!run.last_ms) {
    run.last_ms = now;
    return;
  }
  if (*run.last_ms > now) return;
  if (run.running) {
    run.running_ms += now - *run.last_ms;
    if (run.label) run.labelled_ms += now - *run.last_ms;
  }
  run.last_ms = now;
}

std::string newest_submission(const PresentTelemetry* r) {
  if (r == nullptr) return "none";
  std::string s = "requested=" + fmt_opt(r->target_time) + " actual=" + fixed(r->frame_time, 6) +
                  " pixels=" + std::to_string(r->width) + "x" + std::to_string(r->height) +
                  " effective_width=" + std::to_string(r->shown_width) + " source=" + r->backend + " ";
  if (r->detail) {
    s += "viewport_width=" + std::to_string(r->detail->target_width) + " lod=" + fixed(r->detail->lod, 3) +
         " detail_reason=" + r->detail->detail_reason;
  } else {
    s += "viewport_width=unknown lod=unknown detail_reason=unattributed";
  }
  return s;
}

}  // namespace

void reset_pipeline_stats(PipelineStats& stats, double now_ms, uint64_t drop_count) {
  stats = PipelineStats{};
  stats.context_start_ms = now_ms;
  stats.last_report_ms = now_ms;
  stats.drop_baseline = drop_count;
}

void admit_pipeline_record(PipelineStats& stats, const PresentTelemetry& r) {
  const bool early = stats.context_start_ms && r.stamp_ms < *stats.context_start_ms;
  const bool foreign =
      r.request.seq != 0 && (r.request.item != stats.comp || r.request.seq != stats.current_generation);
  if (!std::isfinite(r.stamp_ms) || early || foreign) {
    if (stats.rejected_total != UINT64_MAX) ++stats.rejected_total;
    return;
  }
  PipelineInterval& in = stats.interval;
  const uint64_t time_bits = bits_of(r.frame_time);
  if (r.request.seq == 0) ++in.loose;
  // The percentiles need the values themselves: a bounded sample of them.
  if (r.kind <= 3 && r.duration_ms && in.durations[r.kind].size() < kTelemetryCapacity)
    in.durations[r.kind].push_back(*r.duration_ms);
  switch (r.kind) {
    case kEventProduced: {
      ++in.produced;
      static constexpr const char* kNames[4] = {"sync", "async", "pool", "raster"};
      for (size_t i = 0; i < 4; ++i) {
        if (std::strcmp(r.backend, kNames[i]) == 0) ++in.sources[i];
      }
      break;
    }
    case kEventPresented:
      ++in.submitted;
      in.time_resolution.emplace(r.request.item, r.request.seq, time_bits, r.width, r.height, r.shown_width);
      in.surfaces.emplace(r.request.item, time_bits, r.frame_identity, r.width, r.height, r.shown_width);
      in.submitted_times.emplace(r.request.item, time_bits);
      if (r.target_time && r.request_match == 0) ++in.fallback;
      in.last_submission = r;
      break;
    case kEventGpuCompleted:
      ++in.completed;
      in.completed_times.emplace(r.request.item, time_bits);
      break;
    case kEventGpuFailed:
      ++in.failed;
      break;
    default:
      break;
  }
  if (r.kind > 4) ++in.head;
  if (r.kind == kEventClockReused) ++in.reused;
}

std::optional<std::string> write_detail_report(PipelineStats& stats, double now, uint64_t drop_count) {
  if (!std::isfinite(now)) return std::nullopt;
  if (!stats.last_report_ms) stats.last_report_ms = now;
  if (now - *stats.last_report_ms < kPipelineReportPeriodMs) return std::nullopt;
  stats.last_report_ms = now;

  settle_run_totals(stats.run_totals, now);
  PipelineInterval in = std::exchange(stats.interval, PipelineInterval{});
  auto& durations = in.durations;
  const PresentTelemetry* last = in.last_submission ? &*in.last_submission : nullptr;

  const ClockRunTotals& run = stats.run_totals;
  const PresentTimingTotals& pt = stats.present_totals;
  std::string line = "PIPELINE(5s): comp=" + std::to_string(stats.comp);
  line += " current_generation=" + std::to_string(stats.current_generation);
  line += " produced=" + std::to_string(in.produced);
  line += " sources(sync,async,pool,raster)=[" + std::to_string(in.sources[0]) + ", " + std::to_string(in.sources[1]) +
          ", " + std::to_string(in.sources[2]) + ", " + std::to_string(in.sources[3]) + "]";
  line += " submitted=" + std::to_string(in.submitted);
  line += " distinct_time_resolution=" + std::to_string(in.time_resolution.size());
  line += " distinct_surface_keys=" + std::to_string(in.surfaces.size());
  line += " distinct_submitted_times=" + std::to_string(in.submitted_times.size());
  line += " fallback=" + std::to_string(in.fallback);
  line += " completed=" + std::to_string(in.completed);
  line += " distinct_completed_times=" + std::to_string(in.completed_times.size());
  line += " failed=" + std::to_string(in.failed);
  line += " head_advanced=" + std::to_string(in.head);
  line += " reused_surface=" + std::to_string(in.reused);
  line += " unattributed=" + std::to_string(in.loose);
  line += " rejected_total=" + std::to_string(stats.rejected_total);
  line += " dropped_total=" + std::to_string(drop_count > stats.drop_baseline ? drop_count - stats.drop_baseline : 0);
  line += " playback=[intent_play=" + std::string(run.running ? "true" : "false");
  line += " hold=" + (run.label ? *run.label : std::string("none"));
  line += " requested_ms=" + one_decimal(run.running_ms);
  line += " held_ms=" + one_decimal(run.labelled_ms);
  line += " no_submission_ms=" + idle_since(run, pt.last_present_ms, now);
  line += " no_new_surface_ms=" + idle_since(run, pt.content_change_ms, now);
  line += " no_time_change_ms=" + idle_since(run, pt.frame_change_ms, now);
  line += " no_head_change_ms=" + idle_since(run, pt.clock_ms, now);
  line += " no_completion_poll_ms=" + (pt.completion_ms ? idle_since(run, pt.completion_ms, now) : "unavailable");
  line += "]";
  line += " producer=[block=" + std::string(stats.block_label ? stats.block_label : "none");
  line += " ready_in_ms=" + (stats.ready_in_ms ? one_decimal(*stats.ready_in_ms) : std::string("unknown")) + "]";
  line += " p95_observed_ms(production,prepare,submit,completion_poll)=[";
  for (size_t i = 0; i < 4; ++i) {
    auto p = percentile_95(durations[i]);
    line += (i ? ", \"" : "\"") + (p ? fmt_2dp(*p) : std::string("n/a")) + "\"";
  }
  line += "]";
  line += " last=[" + newest_submission(last) + "]";
  line += " (surface keys are allocation/time/resolution; submission/completion polling, not scanout; head advances "
          "can reuse identical pixels)";
  // Figures added since the line's order was fixed come after all of it, so
  // that a reader of the fixed fields finds them where they always were.
  line += " missed_total=" + std::to_string(stats.missed_total);
  return line;
}

}  // namespace vel
