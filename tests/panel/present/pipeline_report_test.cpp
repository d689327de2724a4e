#include <gtest/gtest.h>

#include <cmath>

#include "panel/present/pipeline_report.h"

namespace vel {
namespace {

PresentTelemetry record(uint8_t kind, double stamp, double frame_time = 1.0, uint64_t identity = 1) {
  PresentTelemetry r;
  r.request = PresentRequest{std::nullopt, 5, 3};
  r.kind = kind;
  r.stamp_ms = stamp;
  r.frame_time = frame_time;
  r.frame_identity = identity;
  r.width = 960;
  r.height = 540;
  r.shown_width = 960;
  r.backend = kind == kEventProduced ? "async" : "appkit";
  return r;
}

PipelineStats fresh_stats(double now = 0.0) {
  PipelineStats s;
  reset_pipeline_stats(s, now, 0);
  s.comp = 5;
  s.current_generation = 3;
  return s;
}

std::string part(const std::string& line, const std::string& label) {
  const size_t at = line.find(label);
  if (at == std::string::npos) return "<missing " + label + ">";
  const size_t start = at + label.size();
  return line.substr(start, line.find(' ', start) - start);
}

TEST(PipelineReport, EveryFiveSeconds) {
  PipelineStats s = fresh_stats(0.0);
  std::vector<double> reported;
  for (int i = 0; i <= 10; ++i) {
    if (write_detail_report(s, i * 1000.0, 0)) reported.push_back(i * 1000.0);
  }
  EXPECT_EQ(reported, (std::vector<double>{5000.0, 10000.0}));
  EXPECT_FALSE(write_detail_report(s, 14999.9, 0));
  EXPECT_FALSE(write_detail_report(s, std::nan(""), 0));
}

TEST(PipelineReport, CountsTheRecordsOfItsInterval) {
  PipelineStats s = fresh_stats();
  std::vector<PresentTelemetry> admitted = {record(kEventPresented, 0.0), record(kEventPresented, 10.0, 1.0, 2),
                                            record(kEventProduced, 20.0), record(kEventGpuCompleted, 30.0),
                                            record(kEventClockMoved, 40.0)};  // same time and size, other payload
  admitted.back().request.seq = 0;
  for (const PresentTelemetry& r : admitted) admit_pipeline_record(s, r);
  auto line = write_detail_report(s, 5000.0, 0);
  ASSERT_TRUE(line);
  struct Case {
    const char* label;
    const char* value;
  } cases[] = {{"submitted=", "2"},          {"distinct_time_resolution=", "1"}, {"distinct_surface_keys=", "2"},
               {"distinct_submitted_times=", "1"}, {"produced=", "1"},         {"completed=", "1"},
               {"head_advanced=", "1"},      {"unattributed=", "1"},           {"fallback=", "0"},
               {"dropped_total=", "0"}};
  for (const Case& c : cases) EXPECT_EQ(part(*line, std::string(" ") + c.label), c.value) << c.label;
  EXPECT_NE(line->find(" sources(sync,async,pool,raster)=[0, 1, 0, 0]"), std::string::npos) << *line;
  // The next report counts only what came after this one.
  admit_pipeline_record(s, record(kEventProduced, 6000.0));
  line = write_detail_report(s, 10000.0, 0);
  ASSERT_TRUE(line);
  EXPECT_EQ(part(*line, " produced="), "1");
  EXPECT_EQ(part(*line, " submitted="), "0");
  EXPECT_NE(line->find(" last=[none]"), std::string::npos) << *line;
}

// Five seconds at 120 fps: a producer's frame, its submission, its
// completion and two clock events a frame, 3000 records, more than the
// telemetry ring's 2048. Every one of them counts.
TEST(PipelineReport, CountsABusyIntervalWhole) {
  PipelineStats s = fresh_stats();
  constexpr int kFrames = 600;
  for (int i = 0; i < kFrames; ++i) {
    const double stamp = i * (5000.0 / kFrames), time = i / 120.0;
    for (uint8_t kind : {kEventProduced, kEventPresented, kEventGpuCompleted, kEventClockMoved, kEventClockReused})
      admit_pipeline_record(s, record(kind, stamp, time, static_cast<uint64_t>(i)));
  }
  auto line = write_detail_report(s, 5000.0, 0);
  ASSERT_TRUE(line);
  struct Case {
    const char* label;
    const char* value;
  } cases[] = {{"produced=", "600"},  {"submitted=", "600"},       {"distinct_submitted_times=", "600"},
               {"completed=", "600"}, {"head_advanced=", "1200"}, {"reused_surface=", "600"}};
  for (const Case& c : cases) EXPECT_EQ(part(*line, std::string(" ") + c.label), c.value) << c.label;
  EXPECT_NE(line->find(" last=[requested=None actual=4.991667 "), std::string::npos) << *line;
}

TEST(PipelineReport, FallbackNeedsATarget) {
  PipelineStats s = fresh_stats();
  PresentTelemetry targeted = record(kEventPresented, 100.0);
  targeted.target_time = 2.0;
  PresentTelemetry untargeted = record(kEventPresented, 200.0);
  for (const auto& r : {targeted, untargeted}) admit_pipeline_record(s, r);
  auto line = write_detail_report(s, 5000.0, 0);
  EXPECT_EQ(part(*line, " fallback="), "1");
}

TEST(PipelineReport, WholeLineOfAQuietContext) {
  PipelineStats s = fresh_stats();
  s.drop_baseline = 10;
  auto line = write_detail_report(s, 5000.0, 4);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line,
            "PIPELINE(5s): comp=5 current_generation=3 produced=0 sources(sync,async,pool,raster)=[0, 0, 0, 0] "
            "submitted=0 distinct_time_resolution=0 distinct_surface_keys=0 distinct_submitted_times=0 fallback=0 "
            "completed=0 distinct_completed_times=0 failed=0 head_advanced=0 reused_surface=0 unattributed=0 "
            "rejected_total=0 dropped_total=0 playback=[intent_play=false hold=none requested_ms=0.0 held_ms=0.0 "
            "no_submission_ms=n/a no_new_surface_ms=n/a no_time_change_ms=n/a no_head_change_ms=n/a "
            "no_completion_poll_ms=unavailable] producer=[block=none ready_in_ms=unknown] "
            "p95_observed_ms(production,prepare,submit,completion_poll)=[\"n/a\", \"n/a\", \"n/a\", \"n/a\"] "
            "last=[none] (surface keys are allocation/time/resolution; submission/completion polling, not scanout; "
            "head advances can reuse identical pixels) missed_total=0");
}

TEST(PipelineReport, PlaybackPercentilesAndTheNewestSubmission) {
  PipelineStats s = fresh_stats();
  accumulate_clock_time(s.run_totals, true, std::nullopt, 1000.0);
  PresentTelemetry presented = record(kEventPresented, 3000.0, 1.5);
  presented.target_time = 1.5;
  presented.request_match = 1;
  presented.duration_ms = 4.0;
  presented.detail = FitDetail{"viewport-fit", 2.0, 960, 1000};
  accumulate_present_timing(s.present_totals, presented);
  PresentTelemetry produced = record(kEventProduced, 2000.0);
  produced.duration_ms = 12.5;
  for (const auto& r : {produced, presented}) admit_pipeline_record(s, r);
  s.ready_in_ms = 250.04;
  s.block_label = "edit";
  auto line = write_detail_report(s, 5000.0, 0);
  ASSERT_TRUE(line);
  EXPECT_EQ(part(*line, "intent_play="), "true");
  EXPECT_EQ(part(*line, " requested_ms="), "4000.0");
  EXPECT_EQ(part(*line, " no_submission_ms="), "2000.0");
  EXPECT_EQ(part(*line, " no_head_change_ms="), "4000.0") << "no clock stamp: since the segment start";
  EXPECT_EQ(part(*line, " no_completion_poll_ms="), "unavailable]");
  EXPECT_NE(line->find("producer=[block=edit ready_in_ms=250.0]"), std::string::npos);
  EXPECT_NE(line->find("=[\"12.50\", \"n/a\", \"4.00\", \"n/a\"]"), std::string::npos) << *line;
  EXPECT_NE(line->find(" last=[requested=Some(1.5) actual=1.500000 pixels=960x540 effective_width=960 source=appkit "
                       "viewport_width=1000 lod=2.000 detail_reason=viewport-fit]"),
            std::string::npos)
      << *line;
}

TEST(PipelineReport, AdmitsOnlyTheCurrentContext) {
  PipelineStats s = fresh_stats(100.0);
  PresentTelemetry mine = record(kEventPresented, 150.0);
  PresentTelemetry early = record(kEventPresented, 50.0);
  PresentTelemetry other = record(kEventPresented, 150.0);
  other.request.seq = 4;
  PresentTelemetry loose = record(kEventProduced, 150.0);
  loose.request = PresentRequest{};
  for (const auto& r : {mine, early, other, loose}) admit_pipeline_record(s, r);
  EXPECT_EQ(s.rejected_total, 2u);
  auto line = write_detail_report(s, 5100.0, 0);
  ASSERT_TRUE(line);
  EXPECT_EQ(part(*line, " submitted="), "1");
  EXPECT_EQ(part(*line, " produced="), "1");
}

}  // namespace
}  // namespace vel
