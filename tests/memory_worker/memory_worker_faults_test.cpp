// The stand-in aerender's fault switches, one row each: the module's line
// ("AEIO " + callback + ": " + text), how the reader ended, and nothing left
// behind whichever way the worker went.
#include <gtest/gtest.h>

#include "hostsdk/io.h"
#include "memory_worker_run.h"
#include "render/renderer.h"

namespace vel::testing {
namespace {

struct FaultRow {
  std::string fault;
  bool completes = false;
  std::vector<std::string> worker_lines = {};  // in the plug-in's log inside the worker
  std::string child_line = "";                 // in the stand-in's own output
  WorkerRunOptions options = {};
  std::optional<size_t> frames = std::nullopt;
};

void check_row(const FaultRow& row) {
  SCOPED_TRACE(row.fault);
  WorkerRunOptions o = row.options;
  if (!row.fault.empty()) o.env.push_back(row.fault);
  const WorkerRun run = run_memory_worker(o);
  EXPECT_EQ(run.complete, row.completes) << run.child.output << run.worker_log << run.host_log;
  if (row.frames) {
    EXPECT_EQ(run.frames.size(), *row.frames);
  }
  for (const std::string& line : row.worker_lines) {
    EXPECT_NE(run.worker_log.find(line), std::string::npos) << run.worker_log;
  }
  if (!row.child_line.empty()) {
    EXPECT_NE(run.child.output.find(row.child_line), std::string::npos) << run.child.output;
  }
  EXPECT_FALSE(run.child.timed_out);
  expect_nothing_left(run);
}

std::string quarter_size() {
  const sim::Composition& comp = sample_main();
  return std::to_string(sim::downsampled_side(comp.width, 4)) + "x" +
         std::to_string(sim::downsampled_side(comp.height, 4));
}

TEST(MemoryWorkerFaults, RefusalsAtOpen) {
  const sim::Composition& comp = sample_main();
  ASSERT_GT(comp.width, 0);
  const std::string size = quarter_size();
  const int64_t fps = (int64_t{comp.frame_duration.scale} << 16) / comp.frame_duration.value;
  const FaultRow rows[] = {
      {"SIM_AEIO_START_OFFSET=w0:1",
       false,
       {"ERROR: AEIO StartAdding: output differs from manifest: depth=32 size=" + size + " start=1, expected=" + size +
        " start=0"}},
      {"SIM_AEIO_DEPTH64=w0",
       false,
       {"ERROR: AEIO StartAdding: output differs from manifest: depth=64 size=" + size + " start=0, expected=" + size +
        " start=0"}},
      {"SIM_AEIO_FPS_OFFSET=w0:1", true, {}, "", {}, 8},
      {"SIM_AEIO_FPS_OFFSET=w0:-2",
       false,
       {"ERROR: AEIO StartAdding: output frame rate differs from manifest: fixed=" + std::to_string(fps - 2) +
        ", expected=" + std::to_string(fps)}},
      {"SIM_AEIO_PREMULTIPLIED=w0",
       false,
       {"ERROR: AEIO StartAdding: output alpha must match verified Straight (Unmatted) template"}},
      {"SIM_AEIO_REFUSE_REGISTER=w0",
       false,
       {"ERROR: memory output unavailable: host rejected memory output registration"},
       "No output module template was found with the given name: velocinta-memory-v1"},
      {"SIM_AEIO_HIDE_IO_OUT=w0",
       false,
       {"ERROR: memory output unavailable: IOOutSuite4 unavailable"},
       "No output module template was found with the given name: velocinta-memory-v1"},
      {"SIM_AEIO_SKIP_ORDINAL=w9:2", true, {}, "", {}, 8},  // another worker's switch
  };
  for (const FaultRow& row : rows) check_row(row);
}

TEST(MemoryWorkerFaults, RefusedFrames) {
  ASSERT_GT(sample_main().width, 0);
  const std::string cropped = "ERROR: AEIO AddFrame: unsupported repeated, compressed, or cropped frame";
  const FaultRow rows[] = {
      {"SIM_AEIO_SKIP_ORDINAL=w0:2",
       false,
       {"ERROR: AEIO AddFrame: nonsequential output ordinal 3; expected 2",
        "ERROR: AEIO EndAdding: memory output incomplete; consumer must use fallback"},
       "",
       {},
       2},
      {"SIM_AEIO_TWO_FRAMES=w0", false, {cropped}, "", {}, 0},
      {"SIM_AEIO_COMPRESSED=w0", false, {cropped}, "", {}, 0},
      {"SIM_AEIO_ORIGIN=w0", false, {cropped}, "", {}, 0},
      {"SIM_AEIO_PIXEL_FORMAT=w0",
       false,
       {"ERROR: AEIO AddFrame: unsupported output pixel format " + std::to_string(PF_PixelFormat_ARGB64) +
        "; require ARGB8"},
       "",
       {},
       0},
  };
  for (const FaultRow& row : rows) check_row(row);
}

TEST(MemoryWorkerFaults, Endings) {
  ASSERT_GT(sample_main().width, 0);
  const FaultRow rows[] = {
      {"SIM_AEIO_ABORT_AT=w0:5", false, {"ERROR: AEIO AddFrame: output cancelled"}, "", {}, 5},
      {"SIM_AEIO_FLUSH=w0", false, {"ERROR: AEIO: active output flushed before completion"}, "", {}, 8},
      // Every call answered 0, yet the output never finished.
      {"SIM_AEIO_NO_END=w0", false, {}, "aerender: 8 frames rendered", {}, 8},
      {"SIM_AEIO_OUTPUT_FRAME=w0", true, {"PERF: AEIO finish: frames=1/1 failed=false "}, "", {.last = 0}, 1},
      // A switch for a range of several frames leaves AddFrame in charge.
      {"SIM_AEIO_OUTPUT_FRAME=w0", true, {}, "", {}, 8},
  };
  for (const FaultRow& row : rows) check_row(row);
}

// The reader of a worker that crashed, hung or went slow ends once the pool
// gives the output up, whatever the slot's state.
TEST(MemoryWorkerFaults, CrashesAndStalls) {
  ASSERT_GT(sample_main().width, 0);
  const FaultRow rows[] = {
      {"SIM_AEIO_CRASH_AFTER=w0:3", false, {}, "", {}, 3},
      {"SIM_AEIO_CRASH_IN_COPY=w0:2", false, {}, "aerender: killed during the module's copy, slot state 1", {}, 2},
      {"SIM_AEIO_HANG_AFTER=w0:5", false, {}, "PROGRESS: frame 4 added", {.kill_after_frames = 5}, 5},
      {"SIM_AEIO_FRAME_MS=w0:20", true, {}, "", {}, 8},
      // The segment cut and grown back under the reader, again and again:
      // the three frames before it, then the reader lets the output go.
      {"SIM_AEIO_SHRINK_AFTER=w0:3",
       false,
       {"ERROR: AEIO EndAdding: memory output incomplete; consumer must use fallback"},
       "aerender: the host let the output go",
       {},
       3},
  };
  for (const FaultRow& row : rows) check_row(row);
}

// A consumer that stops draining: the reader holds a frame it cannot hand
// on, the slot stays full, and the module's write gives up after its own
// five seconds.
TEST(MemoryWorkerFaults, AConsumerThatStopsDrainingStopsTheWorker) {
  ASSERT_GT(sample_main().width, 0);
  check_row({"",
             false,
             {"ERROR: AEIO AddFrame: consumer did not acknowledge output slot",
              "ERROR: AEIO EndAdding: memory output incomplete; consumer must use fallback"},
             "",
             {.last = 15, .stall_consumer = true}});
}

}  // namespace
}  // namespace vel::testing
