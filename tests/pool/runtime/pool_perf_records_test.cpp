#include "pool/runtime/pool_perf_records.h"

#include <gtest/gtest.h>
#include "pool/pool_test_units.h"

namespace vel {
namespace {


TEST(PoolPerfRecords, AdmissionWithOptionalsAndVariantNames) {
  SchedulerAssessment v;
  v.outcome = SchedulerOutcome::Admit;
  v.target = 2;
  v.available_bytes = 17179869184;
  v.peak_engine_bytes = 1073741824;
  v.engine_need_bytes = 1342177280;
  v.growth_reserve_bytes = 0;
  v.rate = 2.5;
  EXPECT_EQ(pool_admission_record(v, {2, 4, 2073600, 37, 1234.56}),
            "POOL_ADMISSION reason=Admit target=2 available_bytes=17179869184 peak_engine_bytes=1073741824 "
            "next_engine_bytes=1342177280 growth_bytes=0 file_ds=2 output_ds=4 pixels=Some(2073600) useful_frames=37 "
            "useful_fps=Some(2.5) previous_fps=None elapsed_ms=1234.6");
  v.outcome = SchedulerOutcome::Observing;
  v.rate.reset();
  v.previous_rate = 3.0;
  EXPECT_EQ(pool_admission_record(v, {1, 1, std::nullopt, 0, 0.04}),
            "POOL_ADMISSION reason=Observing target=2 available_bytes=17179869184 peak_engine_bytes=1073741824 "
            "next_engine_bytes=1342177280 growth_bytes=0 file_ds=1 output_ds=1 pixels=None useful_frames=0 "
            "useful_fps=None previous_fps=Some(3.0) elapsed_ms=0.0");
}

TEST(PoolPerfRecords, SchedulerTrialAndOutcome) {
  CpuSample cpu;
  cpu.pool_cpu = 41.26;
  cpu.total_cpu = 63.04;
  cpu.taken_at_ns = 100 * kS;
  const WorkerProjection p{2, 100.0, 95.456, 15.0, 3.0, 2.2};
  EXPECT_EQ(scheduler_trial_record(p, 200, cpu),
            "POOL_SCHEDULER trial=true target=2 useful_queued=200 current_secs=100.00 candidate_secs=95.46 "
            "transition_secs=15.00 margin_secs=3.00 predicted_fps=2.200 pool_cpu=41.3 total_cpu=63.0");

  SchedulerTrial t;
  t.level = 2;
  t.trial_length_ns = 30 * kS;
  t.outcome = TrialOutcome::Started;
  SchedulerAssessment v;
  v.rate = 2.0;
  v.newest_collection_end_ns = 100 * kS;
  EXPECT_EQ(scheduler_outcome_record(t, v, cpu, {40, 31, 101 * kS + 999'999}),
            "POOL_SCHEDULER target=2 trial=true outcome=Started useful_frames=40 cohort_frames=31 useful_fps=Some(2.0) "
            "previous_fps=None memory_age_ms=Some(1000) pool_cpu=Some(41.26) total_cpu=Some(63.04)");
  t = SchedulerTrial{};
  t.outcome = TrialOutcome::QueueReduced;
  EXPECT_EQ(scheduler_outcome_record(t, SchedulerAssessment{}, cpu, {0, 0, 103 * kS + 1}),
            "POOL_SCHEDULER target=1 trial=false outcome=QueueReduced useful_frames=0 cohort_frames=0 useful_fps=None "
            "previous_fps=None memory_age_ms=None pool_cpu=None total_cpu=None");
}

TEST(PoolPerfRecords, QueueAndNull) {
  EXPECT_EQ(pool_queue_record({0, 9, false}, {5, 9, false}, 5),
            "POOL_QUEUE original=(0, 9) accepted=(5, 9) frames_already_served=5");
  EXPECT_EQ(pool_queue_record({-3, 2, true}, {-1, 1, true}, 3),
            "POOL_QUEUE original=(-3, 2) accepted=(-1, 1) frames_already_served=3");
  EXPECT_EQ(pool_null_record(0, 240, 5.0), "POOL_NULL callbacks=0/240 elapsed_ms=5.000 usable_frames=0");
}

TEST(PoolPerfRecords, PhaseOfAFileAndOfAMemoryFrame) {
  PoolFrameDelivery file;
  file.worker = 1;
  file.frame = 42;
  file.handed_off_ms = 812.3456;
  file.file = FileFrameTimings{3.25, 7.5, 1048576, FileDecodeOutcome::Decoded};
  EXPECT_EQ(pool_phase_record(file, 1, 0.0004),
            "POOL_FILE_PHASE worker=Some(1) frame=42 attempt=1 read_ms=3.250 decode_ms=7.500 read_bytes=1048576 "
            "outcome=Decoded ready_ms=812.346 ready_to_drain_ms=0.000");
  file.worker.reset();
  file.file->outcome = FileDecodeOutcome::ReadFailed;
  EXPECT_NE(pool_phase_record(file, 7, 1.0)->find("worker=None frame=42 attempt=7 "), std::string::npos);
  EXPECT_NE(pool_phase_record(file, 7, 1.0)->find("outcome=ReadFailed "), std::string::npos);

  PoolFrameDelivery memory;
  memory.worker = 0;
  memory.frame = 3;
  memory.null_output = true;
  memory.handed_off_ms = 10.0;
  MemoryFrameTimings m;
  m.slot_wait_ms = 0.5;
  m.copy_ms = 1.25;
  m.receive_ms = 0.125;
  m.received_at_ms = 9.9999;
  memory.memory = m;
  EXPECT_EQ(pool_phase_record(memory, 1, 2.5),
            "POOL_MEMORY_PHASE worker=Some(0) frame=3 diagnostic=true producer_queue_ms=0.500 producer_copy_ms=1.250 "
            "consumer_receive_ms=0.125 received_ms=10.000 ready_ms=10.000 ready_to_drain_ms=2.500");
  EXPECT_FALSE(pool_phase_record(PoolFrameDelivery{}, 1, 0.0));
}

TEST(PoolPerfRecords, BatchEndSummary) {
  PoolEndFigures f;
  f.clients = 4;
  f.peak_active = 4;
  f.frames_ingested = 240;
  f.expected_frames = 240;
  f.useful_frames = 238;
  f.first_ms = 812.5;
  f.elapsed_ms = 10234.56;
  f.read_decode_ms_sum = 2400.04;
  f.read_bytes = 123456789;
  f.file_ds = 2;
  f.pixels = 518400;
  f.launch_ms = 12.26;
  f.first_discovered_ms = 800.0;
  EXPECT_EQ(pool_end_record(f),
            "POOL optimized=false clients=4 peak_active=4 frames=240/240 useful_frames=238 first_ms=Some(812.5) "
            "elapsed_ms=10234.6 read_decode_ms_sum=2400.0 read_bytes=123456789 file_ds=2 pixels=Some(518400) "
            "launch_ms=12.3 first_discovered_ms=Some(800.0) first_decoded_ms=None output_format=psd");
  PoolEndFigures none;
  none.optimized = true;
  none.output_format = 2;
  const std::string line = pool_end_record(none);
  EXPECT_NE(line.find("optimized=true "), std::string::npos);
  EXPECT_NE(line.find(" first_ms=None "), std::string::npos);
  EXPECT_NE(line.find(" first_decoded_ms=None output_format=vnm"), std::string::npos);
  none.output_format = 1;
  EXPECT_NE(pool_end_record(none).find("output_format=tga"), std::string::npos);
}

}  // namespace
}  // namespace vel
