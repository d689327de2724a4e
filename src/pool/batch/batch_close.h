// Closing a batch once nothing of it is pending: what its end says about the
// transport and about the pool. A TGA or memory batch that fell short sends
// later batches to PSD (PSD is never left automatically); a PSD batch that
// produced no frame at all disables the pool for the session, unless its
// worker named a render-settings template, which is the template step's
// failure instead, or the pool folder's volume had no room left; a batch
// that ended well sets when the next may start.
// Pure: the caller carries the verdict out. Instants are monotonic ns.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vel {

// Everything still pending keeps the batch open.
struct BatchPending {
  uint64_t exits_to_examine = 0;
  uint64_t frames_returned_now = 0;
  uint64_t frames_handed = 0;
  uint64_t queued_ranges = 0;
  uint64_t unfinished_jobs = 0;
  uint64_t frames_awaiting_retry = 0;  // failed reads whose files wait for their next try
};
bool batch_complete(const BatchPending& p);

struct BatchCloseInputs {
  uint8_t output = 0;  // 0 PSD, 1 TGA, 2 memory, 3 memory in null mode
  uint64_t delivered = 0;
  uint64_t expected = 0;
  uint64_t null_frames = 0;
  bool readers_complete = true;  // memory: every job has a reader that set `complete`
  // The pool folder's volume has no room for a worker: what the batch fell
  // short of says nothing of the transport or of the pool.
  bool volume_short = false;
  uint64_t file_ds = 1;
  // Whether the first job's log names a render-settings template; asked only
  // for a PSD batch without a frame at `file_ds` 2 or more.
  std::function<bool()> first_log_names_template;
  std::string first_log_path;  // empty when the batch has no job
  bool quick_chaining = false;
  bool comp_3d = false;
  uint64_t started_ns = 0;
  uint64_t now_ns = 0;
};

enum class BatchCloseKind : uint8_t {
  MemoryUnclean,     // a reader did not finish: PSD chosen
  NullMeasured,      // a null-mode batch: its POOL_NULL record, nothing else
  NoFrameFallback,   // TGA or memory without any frame: PSD chosen
  TemplateFailure,   // PSD without any frame, its worker named a template
  Disabled,          // PSD without any frame: the pool is off for the session
  VolumeShort,       // fell short on a full volume: only the next batch time set
  Closed,            // frames came: timing recorded, next batch time set
};

struct BatchCloseVerdict {
  BatchCloseKind kind = BatchCloseKind::Closed;
  bool choose_psd = false;               // output_choice to 0 (the plan reset when it was not 0)
  std::optional<std::string> error_line;  // logged at ERROR
  std::optional<std::string> null_record;  // POOL_NULL, for perf_log
  std::optional<std::string> disable_reason;
  std::optional<std::string> template_failure_reason;
  bool record_timing = false;
  std::optional<uint64_t> next_batch_at_ns;  // launch_cooldown_until
};

inline constexpr uint64_t kQuickChainNs = 500'000'000;
inline constexpr uint64_t kBatchCooldownNs = 3'000'000'000;

BatchCloseVerdict close_batch(const BatchCloseInputs& in);

}  // namespace vel
