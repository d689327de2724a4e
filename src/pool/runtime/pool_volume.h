// The room left on the pool folder's volume. Workers write their frame
// files there and the decoders remove each once it is read, so a worker
// needs room for the frame it writes and for the one before it, which may
// still wait for its read. With less, every worker sent fails on its next
// frame, and its replay after it: the volume is said full once, with the
// folder and the room left, no worker is sent while it stays so, and the
// host's own renders make the frames. Readings are taken off the main
// thread (a slow volume never holds the idle tick), before launches, while
// a batch runs, and again at once after a worker failed. Main thread only,
// but for the reading itself; instants are monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/result.h"
#include "pool/bounded_channel.h"
#include "pool/schedule/startup_context.h"

namespace vel {

struct PoolRuntime;

// While readings are wanted, at most one this often.
inline constexpr uint64_t kVolumeReadingSpacingNs = 500'000'000;
// A worker is sent on a reading at most this old: the spacing twice over,
// so that a batch's readings keep its launches going.
inline constexpr uint64_t kVolumeReadingFreshNs = 1'000'000'000;
// A reading asked this long ago that has not come: the volume is slow to
// answer, and the pool goes on with what it knew rather than wait for it.
inline constexpr uint64_t kVolumeReadingLateNs = 1'000'000'000;

// The bytes an unprivileged writer may still take on the volume of the
// folder `fd` holds (fstatvfs); none when it cannot be read.
std::optional<uint64_t> volume_free_bytes(int fd);

// The room one worker needs on the volume: two frames of `frame` in a file
// format, each at most its pixels at 4 bytes, a worst-case run-length
// overhead and the headers. Nothing for memory output (the frames go
// through shared memory) or a frame of unknown size.
uint64_t worker_room_bytes(uint8_t output, std::optional<FrameDimensions> frame);

// Bytes as the log shows them, in whole units rounded down or, with
// `round_up`, up: "15 Mio", "512 Kio", "300 o".
std::string room_text(uint64_t bytes, bool round_up = false);

// "pool: volume plein, workers arrêtés : le volume de {folder} n'a plus que
// {free} libres, il en faut {needed} à un worker (deux images) — l'hôte rend
// les images", the room left rounded down and the room needed up, so that
// the two never read alike.
std::string volume_full_text(const std::filesystem::path& folder, uint64_t free_bytes, uint64_t needed_bytes);

// Starts one reading off the main thread; its figure (none: the volume
// could not be read) comes through the channel. An error: nothing started.
using VolumeProbe = std::function<Status<>(ChannelSender<std::optional<uint64_t>>)>;
// A batch thread "velocinta-pool-space" reads the volume through a copy of
// the descriptor `held` answers (its own, closed when done); none (-1): an
// unknown volume, answered at once.
VolumeProbe volume_probe_on(std::function<int()> held);
// The live probe: through the pool folder's held descriptor.
VolumeProbe live_volume_probe();

struct VolumeReading {
  std::optional<uint64_t> free_bytes;  // none: unknown, which restricts nothing
  uint64_t asked_at = 0;                // the reading was taken at or after this instant
};

class PoolVolumeWatch {
 public:
  // Asks for a reading unless one is in flight, or the newest is younger
  // than the spacing and was asked after the last failure. A probe that
  // cannot start counts as a reading of an unknown volume.
  void ask(uint64_t now, const VolumeProbe& probe);
  // A worker failed at `at`: readings asked before it no longer answer for
  // the volume, and no worker is sent until a newer one came.
  void want_reading_after(uint64_t at);
  // The reading that came in since the last call, if any. Never waits.
  std::optional<VolumeReading> take();
  // Applies a reading against the room a worker needs (`needed` 0: nothing
  // to judge). Answers the line to log when the volume just ran short: once,
  // and again only after a reading found room and a later one did not.
  std::optional<std::string> judge(const VolumeReading& reading, uint64_t needed, const std::filesystem::path& folder);

  bool short_of_room() const { return short_; }
  // Whether a worker may be sent at `now`: the volume is not short, and a
  // reading asked since the last failure is at most kVolumeReadingFreshNs
  // old, or was asked more than kVolumeReadingLateNs ago and is still out.
  bool may_send_worker(uint64_t now) const;
  bool reading_in_flight() const { return in_flight_.has_value(); }

 private:
  std::optional<ChannelReceiver<std::optional<uint64_t>>> in_flight_;
  uint64_t in_flight_asked_at_ = 0;
  std::optional<VolumeReading> latest_;
  uint64_t wanted_after_ = 0;
  bool short_ = false;
};

// The room a worker of the running batch needs, or one of the next batch
// (0: nothing of it goes on the volume, or its frame size is unknown).
uint64_t room_a_worker_needs(const PoolRuntime& rt);

// Whether a worker may be sent at `now` as far as the volume goes: one that
// needs no room goes, any other as `may_send_worker` says.
bool volume_lets_worker_go(const PoolRuntime& rt, uint64_t now);

// Once a tick, from the pool's step and from the supervision: takes a
// reading that came in and judges it for the room a worker of the running
// batch (or of the next one) needs, logging the full volume's line at INFO
// with the batch's pool folder (or the pool folder's path); then asks for
// the next reading while a batch that needs room runs or the volume is
// short, so that a batch's launches and the volume's return are seen. The
// pump asks too before it launches a batch.
void tend_pool_volume(PoolRuntime& rt, uint64_t now, const VolumeProbe& probe);

}  // namespace vel
