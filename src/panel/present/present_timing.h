// Timing accumulators fed from drained telemetry (when content, frame time,
// clock head and GPU completions last changed) and from the idle hook (how
// long playback was asked for, and how long of it something held back).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "panel/present/present_telemetry.h"

namespace vel {

struct PresentTimingTotals {
  std::optional<double> last_present_ms;
  std::optional<double> content_change_ms;
  std::optional<double> frame_change_ms;
  // item, frame time, payload identity, width, height, shown width
  std::optional<std::tuple<uint64_t, double, uint64_t, uint32_t, uint32_t, uint32_t>> present_key;
  std::optional<std::pair<uint64_t, double>> frame_key;
  std::optional<double> clock_ms;
  std::optional<std::pair<uint64_t, double>> clock_key;
  std::optional<double> completion_ms;
};

struct ClockRunTotals {
  std::optional<double> last_ms;
  double running_ms = 0.0;
  double labelled_ms = 0.0;
  bool running = false;
  std::optional<std::string> label;  // what holds the preview back
  std::optional<double> segment_start_ms;
  bool segment_flag = false;  // running, when the segment has no label
};

void accumulate_present_timing(PresentTimingTotals& totals, const PresentTelemetry& record);
void accumulate_clock_time(ClockRunTotals& totals, bool running, const std::optional<std::string>& label,
                           double now_ms);

}  // namespace vel
