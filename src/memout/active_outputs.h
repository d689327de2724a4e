// The outputs the memory output module has open inside a render worker, one
// per output the host opens, and the operations the module's callbacks
// drive on them: open (check the host's output against the manifest and
// attach to the segment), write one frame, finish, flush. Nothing here knows
// the host's types: the module's host layer reads the host's answers and
// hands them over as plain values.
//
// Every failure is a text the calling callback logs. The registry is never
// waited for: a callback that finds it held fails at once with "output
// callback already active" rather than block the host's render thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/result.h"
#include "memout/output_writer.h"

namespace vel {

inline constexpr size_t kMaxActiveOutputs = 16;

// What the registration leaves for the outputs: whether this process is a
// headless render engine, and when the module was registered.
struct MemoryModuleFacts {
  bool engine = false;
  std::chrono::steady_clock::time_point registered_at{};
};
// Set once by the registration; absent before.
void set_memory_module_facts(const MemoryModuleFacts& facts);
std::optional<MemoryModuleFacts> memory_module_facts();

enum class OutputAlpha : uint8_t { Straight, Premultiplied, Ignore };

// The host's answers about one output, in the order they are asked.
struct HostOutputFacts {
  int64_t depth = 0;
  int64_t width = 0;
  int64_t height = 0;
  int64_t start_frame = 0;
  uint64_t fps_fixed = 0;  // 16.16
  uint32_t alpha_version = 0;
  uint32_t alpha_flags = 0;
  OutputAlpha alpha = OutputAlpha::Straight;
};

// The host's answers are asked only after the manifest was found and the
// segment attached; an error from them fails the open.
using HostFactsQuery = std::function<Result<HostOutputFacts>()>;

// Opens the output of `spec` (the host's handle, an identity only) at
// `output_path`. On any failure after the attach the writer is dropped.
Status<> open_memory_output(const void* spec, std::string_view output_path, const HostFactsQuery& facts);

// The checks of a host frame world that need nothing but its numbers.
struct HostFrameWorld {
  int64_t width = 0;
  int64_t height = 0;
  int64_t row_bytes = 0;
  const uint8_t* pixels = nullptr;
  int64_t origin_x = 0;
  int64_t origin_y = 0;
};
Status<> check_frame_world(const void* spec, const HostFrameWorld* world);

// Writes frame `ordinal` of the output (checked world) into the slot,
// premultiplied. `cancel` answering true abandons the write. An error marks
// the output failed.
Status<> write_output_frame(const void* spec, int64_t ordinal, const HostFrameWorld& world,
                            const CancelCheck& cancel);

// The whole of the host's AddFrame: exactly one frame per call, not
// compressed, at origin (0, 0) when one is given ("unsupported repeated,
// compressed, or cropped frame"), the world's checks, the host's pixel
// format (asked through `pixel_format_ok` after the world's checks), then the
// write. Any error raises the process-wide failure flag.
struct HostFrameCall {
  int64_t ordinal = 0;
  int64_t frames = 1;
  bool compressed = false;
  std::optional<std::pair<int64_t, int64_t>> origin;
};
Status<> add_output_frame(const void* spec, const HostFrameCall& call, const HostFrameWorld* world,
                          const std::function<Status<>()>& pixel_format_ok, const CancelCheck& cancel);

// Removes the output; marks the segment finished only when every frame of
// the range was written and nothing failed, else "memory output incomplete;
// consumer must use fallback". No such output: success.
Status<> finish_memory_output(const void* spec);

// Drops an unfinished output, leaving the segment unfinished.
Status<> flush_memory_output(const void* spec);

// The process-wide failure flag: set whenever a frame was refused, cleared
// when an output opens with no other open.
void raise_output_failure();
bool output_failure_raised();

// Tests: how many outputs are open.
size_t active_output_count();

}  // namespace vel
