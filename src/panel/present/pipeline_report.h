// The "PIPELINE(5s)" report: every five seconds, one PERF line summing up
// what the presentation pipeline did over the last five seconds, from the
// telemetry of the current preview context and the timing totals.
// Diagnostics only; nothing reads it back. Main thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "panel/present/present_telemetry.h"
#include "panel/present/present_timing.h"

namespace vel {

inline constexpr double kPipelineReportPeriodMs = 5000.0;

// What the records admitted since the last report add up to. Counted as
// each record is admitted, so that a busy interval (five events a frame at
// 120 fps is 3000 records in five seconds) counts every record, not the
// ones a bounded ring of them still holds when the report is written.
struct PipelineInterval {
  uint64_t produced = 0, submitted = 0, fallback = 0, completed = 0, failed = 0, head = 0, reused = 0, loose = 0;
  std::array<uint64_t, 4> sources{};  // sync, async, pool, raster
  std::set<std::tuple<uint64_t, uint64_t, uint64_t, uint32_t, uint32_t, uint32_t>> time_resolution, surfaces;
  std::set<std::pair<uint64_t, uint64_t>> submitted_times, completed_times;
  // The durations of kinds 0 to 3, each kept up to kTelemetryCapacity.
  std::array<std::vector<double>, 4> durations;
  std::optional<PresentTelemetry> last_submission;
};

struct PipelineStats {
  uint64_t comp = 0;
  uint64_t current_generation = 0;
  std::optional<double> context_start_ms;
  std::optional<double> last_report_ms;
  PipelineInterval interval;  // the records admitted since the last report
  PresentTimingTotals present_totals;
  ClockRunTotals run_totals;
  std::optional<double> ready_in_ms;
  const char* block_label = nullptr;
  uint64_t rejected_total = 0;
  uint64_t drop_baseline = 0;
  uint64_t missed_total = 0;  // frames whose time on screen ended while playing without them
};

// A new preview context: everything cleared, the wait restarted at `now_ms`,
// the drop count taken as the baseline.
void reset_pipeline_stats(PipelineStats& stats, double now_ms, uint64_t drop_count);

// Counts a drained record into the interval when it belongs to the current
// context (a finite stamp not before its start; a request of its item and
// generation, or an unattributed one); counts the others as rejected.
void admit_pipeline_record(PipelineStats& stats, const PresentTelemetry& record);

// The line, when five seconds have passed since the last report (or the
// last reset); none otherwise. It sums up the records admitted since then,
// each once, and starts the next interval. `drop_count` is the telemetry
// drop count now.
std::optional<std::string> write_detail_report(PipelineStats& stats, double now_ms, uint64_t drop_count);

}  // namespace vel
