// A hostile producer (the stand-in itself, with the segment layout written
// on its own side) against the reader: each rule it breaks is refused with
// the transport's text, the output is closed under it, and nothing is left.
#include <gtest/gtest.h>

#include "memory_worker_run.h"

namespace vel::testing {
namespace {

TEST(MemoryWorkerHostileProducer, EachBrokenRuleIsRefusedAndClosed) {
  ASSERT_GT(sample_main().width, 0);
  const struct {
    const char* kind;
    const char* text;
    size_t frames;
  } rows[] = {
      {"duplicate", "duplicate output frame", 1},
      {"contract", "unknown RGBA8 premultiplied metadata contract", 0},
      {"out-of-range", "frame does not belong to this output contract", 0},
      {"too-long", "shared-memory payload exceeds capacity", 0},
      {"shrunk", "shared-memory mapping is too short", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    const WorkerRun run = run_memory_worker({.env = {std::string("SIM_AEIO_HOSTILE=w0:") + row.kind}});
    EXPECT_NE(run.host_log.find(std::string("ERROR: pool: memory worker 0 rejected output: ") + row.text),
              std::string::npos)
        << run.host_log;
    // The producer saw the closed word before it left.
    EXPECT_EQ(run.child.exit_code, 0) << run.child.output;
    EXPECT_NE(run.child.output.find("aerender: the consumer closed the output"), std::string::npos) << run.child.output;
    EXPECT_FALSE(run.complete);
    EXPECT_EQ(run.frames.size(), row.frames);
    expect_nothing_left(run);
  }
}

}  // namespace
}  // namespace vel::testing
