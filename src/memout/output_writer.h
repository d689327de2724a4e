// The producer's side of a memory output, inside the render worker: attach
// to the segment the manifest names, then write one frame at a time into the
// single slot once the consumer has emptied it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "memout/memout_error.h"
#include "memout/output_contract.h"
#include "memout/shm_segment.h"

namespace vel {

struct MemoryOutputWriter {
  OutputContract contract;
  SegmentToken token{};
  std::string mapping_name;
  std::string output_path;
  SharedMemorySegment segment;  // holds no name: dropping it only unmaps
};

// Opens the segment as its one producer: checks capacity (≤ 64 MiB), magic,
// token and capacity against the manifest ("shared-memory identity
// mismatch"), refuses a closed output ("consumer closed", broken pipe) and a
// second producer ("shared-memory producer already attached"), then removes
// the segment's name and sets the unlinked word. Unmaps on any failure.
MemoutResult<SharedMemorySegment> attach_output_segment(std::string_view mapping_name, const SegmentToken& token,
                                                        uint64_t capacity);

// Finds the manifest beside `output_path`, reads, parses and validates it
// against that path, and attaches to the segment it names.
MemoutResult<MemoryOutputWriter> read_output_manifest(std::string_view output_path);

// One host frame: ARGB8 rows `row_bytes` apart in `length` bytes.
struct ArgbFrame {
  const uint8_t* pixels = nullptr;
  uint64_t length = 0;
  uint64_t row_bytes = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

struct SlotWriteTimes {
  uint64_t slot_wait_ns = 0;
  uint64_t copy_ns = 0;
  uint64_t publish_ns = 0;
};

// How long the producer waits for the consumer to empty the slot, and how
// often it looks.
struct SlotWaitPolicy {
  std::chrono::nanoseconds timeout = std::chrono::seconds(5);
  std::chrono::nanoseconds poll = std::chrono::milliseconds(1);
};

// Answers true when the host wants the write abandoned.
using CancelCheck = std::function<bool()>;

// Waits for the free slot, converts the frame into it (premultiplying when
// asked) and publishes it as ready. Refusals: "ARGB world is truncated",
// "frame time overflow", "frame does not belong to this output contract",
// "output cancelled" (interrupted), "consumer did not acknowledge output
// slot" (timed out, slot untouched), "pixel payload exceeds shared-memory
// capacity", "output is closed" and "consumer closed during copy" (broken
// pipe), and the conversion's own errors. A failure after the slot was taken
// gives it back empty.
MemoutResult<SlotWriteTimes> write_frame_to_slot(MemoryOutputWriter& writer, int64_t frame, const ArgbFrame& source,
                                                 bool premultiply, const CancelCheck& cancel = {},
                                                 const SlotWaitPolicy& wait = {});

// Marks the output finished. Only the caller knows that every frame of the
// range was written; the consumer checks that for itself as well.
void mark_output_finished(MemoryOutputWriter& writer);

}  // namespace vel
