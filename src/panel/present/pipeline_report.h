// The "PIPELINE(5s)" report: every five seconds, one PERF line summing up
// what the presentation pipeline did over the last five seconds, from the
// telemetry of the current preview context and the timing totals.
// Diagnostics only; nothing reads it back. Main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "panel/present/present_telemetry.h"
#include "panel/present/present_timing.h"

namespace vel {

inline constexpr double kPipelineReportPeriodMs = 5000.0;

struct PipelineStats {
  uint64_t comp = 0;
  uint64_t current_generation = 0;
  std::optional<double> context_start_ms;
  std::optional<double> last_report_ms;
  std::deque<PresentTelemetry> records;  // at most kTelemetryCapacity
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

// Keeps a drained record when it belongs to the current context (a finite
// stamp not before its start; a request of its item and generation, or an
// unattributed one); counts the others as rejected.
void admit_pipeline_record(PipelineStats& stats, const PresentTelemetry& record);

// The line, when five seconds have passed since the last report (or the
// last reset); none otherwise. `drop_count` is the telemetry drop count now.
std::optional<std::string> write_detail_report(PipelineStats& stats, double now_ms, uint64_t drop_count);

}  // namespace vel
