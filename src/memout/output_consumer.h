// The host's side of one memory output: it creates the segment and its
// manifest before the worker starts, then takes and checks each frame the
// worker publishes. Everything in the segment was written by another process
// and is read once, checked, then used.
//
// A reader thread owns one consumer and loops:
//   receive_output_frame → a frame: pixels are in its buffer, delivered once;
//                        → nothing ready: ask checked_output_completion
//                          (Complete: done; Incomplete: the worker finished
//                          short, fall back; Running: poll again later; an
//                          error: the segment stands cut, the reader says it
//                          refuses the output and closes it);
//                        → an error: the output is refused (already closed).
// Dropping the consumer releases everything on every path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memout/memout_error.h"
#include "memout/output_contract.h"
#include "memout/segment_layout.h"
#include "memout/shm_segment.h"

namespace vel {

// What the launcher asks of a memory output; the capacity follows from it.
struct OutputRequest {
  int64_t range_start = 0;
  int64_t range_end = 0;
  int64_t step = 1;
  uint32_t key_scale = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool null_mode = false;
};

struct DeliveredFrame {
  int64_t frame = 0;
  int64_t time_value = 0;
  uint64_t publish_ns = 0;
  uint64_t slot_wait_ns = 0;
  uint64_t copy_ns = 0;
  uint32_t time_scale = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool null_frame = false;
};

// Owns the segment (and its name), the manifest file and the record of which
// frames arrived. Dropping it closes the output (the producer's next write
// fails), deletes the manifest, removes the segment's name whatever the
// producer claims to have done, and unmaps.
class MemoryOutputConsumer {
 public:
  MemoryOutputConsumer(MemoryOutputConsumer&&) noexcept = default;
  MemoryOutputConsumer& operator=(MemoryOutputConsumer&& other) noexcept;
  MemoryOutputConsumer(const MemoryOutputConsumer&) = delete;
  MemoryOutputConsumer& operator=(const MemoryOutputConsumer&) = delete;
  ~MemoryOutputConsumer();

  const OutputContract& contract() const { return contract_; }
  const SegmentToken& token() const { return token_; }
  const std::string& mapping_name() const { return mapping_name_; }
  const std::string& manifest_path() const { return manifest_path_; }
  const std::string& output_path() const { return output_path_; }
  const SharedMemorySegment& segment() const { return segment_; }
  uint64_t frames_expected() const { return frames_expected_; }
  uint64_t frames_received() const { return frames_received_; }

 private:
  MemoryOutputConsumer() = default;
  void release() noexcept;

  friend MemoutResult<MemoryOutputConsumer> create_memory_output(std::string_view, const OutputRequest&);
  friend MemoutResult<std::optional<DeliveredFrame>> receive_output_frame(MemoryOutputConsumer&, std::vector<uint8_t>&);
  friend MemoutResult<std::optional<OutputFrameMeta>> take_slot_frame(MemoryOutputConsumer&, std::vector<uint8_t>&);

  SharedMemorySegment segment_;
  OutputContract contract_;
  SegmentToken token_{};
  std::string mapping_name_;
  std::string manifest_path_;
  std::string output_path_;
  std::vector<uint64_t> received_;  // one bit per frame of the range
  uint64_t frames_expected_ = 0;
  uint64_t frames_received_ = 0;
  // The segment's status right after the host released the last frame, or
  // at the first empty slot once the producer set the unlinked word: from
  // then on only a cut moves it (the producer made its pages writable before
  // that word, and its stores then fault none in), so a frame found ready
  // under another status may have lost bytes to a cut that took no page,
  // which nothing else tells.
  std::optional<FileChangeStamp> still_since_;
  // Its status once the host made it. Before still_since_ exists (a first
  // frame published before the host set the watched word, which a producer
  // keeping to the transport never does), the frame is held to this one's
  // length and modification time: a cut moves both, as does the producer's
  // first store into each page, so such a frame is refused.
  std::optional<FileChangeStamp> made_;
  // The last frame taken was found ready under another status than these.
  bool cut_before_take_ = false;
};

// Creates a fresh segment and writes its manifest beside `output_path` (the
// absolute path the worker will be given). On failure nothing is left: no
// segment name, no manifest.
MemoutResult<MemoryOutputConsumer> create_memory_output(std::string_view output_path, const OutputRequest& request);

// Moves a ready frame out of the slot: its record (copied once) and its
// payload into `pixels`, then frees the slot. Nothing when no frame is
// ready. Never faults, whatever the producer does to its file meanwhile.
// Errors: "shared-memory mapping is too short" (the producer cut the file,
// before or during the take), "shared-memory slot changed during the copy"
// (the slot left the host's hands under the copy, as it does when the file
// is cut and grown again: the pixels may be torn), "shared-memory segment
// changed under the frame" (the file's length or change time moved under the
// copy: a cut and a growth back that took no page zeroed its bytes past the
// cut without a fault), all closing the output while the header is there; "consumer closed" (broken pipe);
// "shared-memory payload exceeds capacity" (closes the output); "pixel
// allocation failed".
MemoutResult<std::optional<OutputFrameMeta>> take_slot_frame(MemoryOutputConsumer& consumer,
                                                             std::vector<uint8_t>& pixels);

// take_slot_frame, then the record checked against the contract and the
// duplicate record, then the segment's status when the frame was found
// against the one the host last left it in ("shared-memory segment changed
// under the frame": a cut since may have zeroed its bytes). A frame is delivered at most once, with exactly
// width × height × 4 bytes in `pixels` (none in null mode). A record that
// fails a check empties `pixels`, closes the output and is refused.
MemoutResult<std::optional<DeliveredFrame>> receive_output_frame(MemoryOutputConsumer& consumer,
                                                                 std::vector<uint8_t>& pixels);

// True when every frame of the range was delivered.
bool all_frames_received(const MemoryOutputConsumer& consumer);

enum class OutputCompletion {
  Running,     // the producer has not said it finished, or a frame is in the slot
  Complete,    // finished, slot empty, every frame delivered
  Incomplete,  // finished and slot empty, yet frames are missing: use the fallback
};
// The reader asks this after a take that found nothing ready. The producer's
// finished word alone never makes an output complete; a segment cut short
// never will be (Incomplete).
OutputCompletion output_completion(const MemoryOutputConsumer& consumer);

// output_completion, with the host's refusal told apart from a producer that
// finished short: an error when the segment's file stands cut below the
// mapping ("shared-memory mapping is too short", as the take says when its
// look meets the cut) or its header cannot be read, where output_completion
// answers Incomplete. The producer may cut the file between the take's look
// and this one, so the reader that ends on such an error refuses the output
// as it does a take's error: it says so and closes it. Closes nothing itself.
MemoutResult<OutputCompletion> checked_output_completion(const MemoryOutputConsumer& consumer);

// Gives the output up: the producer's next write fails. Writes nothing into
// a file cut below its header.
void close_memory_output(MemoryOutputConsumer& consumer);

}  // namespace vel
