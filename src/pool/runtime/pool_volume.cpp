#include "pool/runtime/pool_volume.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/log.h"
#include "core/saturating.h"
#include "pool/batch/batch_threads.h"
#include "pool/decode/requested_size.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_runtime.h"

namespace vel {

namespace {

uint64_t sat_mul(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

// Headers, colour data and the run-length tables of a frame file, beyond
// its pixels: a Photoshop file's row byte counts take 2 bytes a row and
// channel, Targa's header and footer a few dozen bytes.
constexpr uint64_t kFrameFileHeaderBytes = 64 << 10;
// What a worker keeps on the volume at once: the frame it writes and the
// one before it, still waiting for its read.
constexpr uint64_t kFramesAWorkerHolds = 2;

}  // namespace

std::optional<uint64_t> volume_free_bytes(int fd) {
  struct statvfs st {};
  if (fd < 0 || ::fstatvfs(fd, &st) != 0) return std::nullopt;
  const uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
  return sat_mul(st.f_bavail, unit);
}

uint64_t worker_room_bytes(uint8_t output, std::optional<FrameDimensions> frame) {
  if (output >= kOutputMemory || !frame) return 0;
  const uint64_t pixels = sat_mul(sat_mul(frame->width, frame->height), 4);
  // A run-length packet of PackBits or Targa adds at most a byte to 128 of
  // its bytes: 1/64 is room to spare.
  const uint64_t one = sat_add(sat_add(pixels, pixels / 64), kFrameFileHeaderBytes);
  return sat_mul(one, kFramesAWorkerHolds);
}

std::string room_text(uint64_t bytes, bool round_up) {
  const auto in = [bytes, round_up](uint64_t unit) {
    return std::to_string(bytes / unit + (round_up && bytes % unit != 0 ? 1 : 0));
  };
  if (bytes >= (uint64_t{1} << 20)) return in(uint64_t{1} << 20) + " Mio";
  if (bytes >= (uint64_t{1} << 10)) return in(uint64_t{1} << 10) + " Kio";
  return std::to_string(bytes) + " o";
}

std::string volume_full_text(const std::filesystem::path& folder, uint64_t free_bytes, uint64_t needed_bytes) {
  return "pool: volume plein, workers arrêtés : le volume de " + folder.string() + " n'a plus que " +
         room_text(free_bytes) + " libres, il en faut " + room_text(needed_bytes, true) +
         " à un worker (deux images) — l'hôte rend les images";
}

VolumeProbe volume_probe_on(std::function<int()> held_descriptor) {
  return [held_descriptor](ChannelSender<std::optional<uint64_t>> out) -> Status<> {
    // A copy of the held descriptor: the thread closes its own, whatever
    // becomes of the host's meanwhile.
    const int held = held_descriptor ? held_descriptor() : -1;
    const int fd = held >= 0 ? ::fcntl(held, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) {
      (void)out.try_send(std::nullopt);
      return ok_unit();
    }
    Status<> started = start_batch_thread("velocinta-pool-space", [fd, out]() mutable {
      const std::optional<uint64_t> free = volume_free_bytes(fd);
      ::close(fd);
      (void)out.try_send(free);
    });
    if (!started) ::close(fd);
    return started;
  };
}

VolumeProbe live_volume_probe() { return volume_probe_on([] { return pool_folder_descriptor(); }); }

void PoolVolumeWatch::ask(uint64_t now, const VolumeProbe& probe) {
  if (in_flight_) return;
  if (latest_ && latest_->asked_at >= wanted_after_ && now >= latest_->asked_at &&
      now - latest_->asked_at < kVolumeReadingSpacingNs)
    return;
  // Nothing to read the volume with, or a reading that cannot start: the
  // volume is unknown, which holds no worker back.
  auto [tx, rx] = make_bounded_channel<std::optional<uint64_t>>(1);
  if (!probe || !probe(std::move(tx))) {
    latest_ = VolumeReading{std::nullopt, now};
    return;
  }
  in_flight_ = std::move(rx);
  in_flight_asked_at_ = now;
}

void PoolVolumeWatch::want_reading_after(uint64_t at) {
  if (at > wanted_after_) wanted_after_ = at;
}

std::optional<VolumeReading> PoolVolumeWatch::take() {
  if (!in_flight_) return std::nullopt;
  std::optional<std::optional<uint64_t>> figure;
  switch (in_flight_->try_recv(figure)) {
    case TryRecv::Empty:
      return std::nullopt;
    case TryRecv::Value:
      latest_ = VolumeReading{*figure, in_flight_asked_at_};
      break;
    case TryRecv::Disconnected:  // the reading ended without a figure
      latest_ = VolumeReading{std::nullopt, in_flight_asked_at_};
      break;
  }
  in_flight_.reset();
  return latest_;
}

std::optional<std::string> PoolVolumeWatch::judge(const VolumeReading& reading, uint64_t needed,
                                                  const std::filesystem::path& folder) {
  if (!reading.free_bytes || needed == 0 || *reading.free_bytes >= needed) {
    short_ = false;
    return std::nullopt;
  }
  if (short_) return std::nullopt;
  short_ = true;
  return volume_full_text(folder, *reading.free_bytes, needed);
}

bool PoolVolumeWatch::may_send_worker(uint64_t now) const {
  if (short_) return false;
  if (latest_ && latest_->asked_at >= wanted_after_ &&
      (now <= latest_->asked_at || now - latest_->asked_at <= kVolumeReadingFreshNs))
    return true;
  return in_flight_ && in_flight_asked_at_ >= wanted_after_ && now >= in_flight_asked_at_ &&
         now - in_flight_asked_at_ > kVolumeReadingLateNs;
}

uint64_t room_a_worker_needs(const PoolRuntime& rt) {
  if (rt.plan)
    return worker_room_bytes(rt.plan->output_format, requested_frame_size(rt.plan->context.dimensions, rt.plan->file_ds));
  std::optional<FrameDimensions> comp;
  if (rt.comp_dimensions) comp = FrameDimensions{rt.comp_dimensions->first, rt.comp_dimensions->second};
  return worker_room_bytes(rt.selected_output, requested_frame_size(comp, rt.file_downsample));
}

bool volume_lets_worker_go(const PoolRuntime& rt, uint64_t now) {
  return room_a_worker_needs(rt) == 0 || rt.volume.may_send_worker(now);
}

namespace {

void judge_reading(PoolRuntime& rt) {
  const std::optional<VolumeReading> reading = rt.volume.take();
  if (!reading) return;
  const std::filesystem::path folder =
      rt.plan && rt.plan->job_dir ? rt.plan->job_dir->path().parent_path() : pool_directory_path().value_or("");
  if (std::optional<std::string> line = rt.volume.judge(*reading, room_a_worker_needs(rt), folder))
    log_line("INFO", *line);
}

}  // namespace

void tend_pool_volume(PoolRuntime& rt, uint64_t now, const VolumeProbe& probe) {
  judge_reading(rt);
  const bool wanted = (rt.plan && room_a_worker_needs(rt) > 0) ||
                      (rt.pool_enabled && !rt.disabled_for_session && rt.volume.short_of_room());
  if (!wanted || rt.volume.reading_in_flight()) return;
  rt.volume.ask(now, probe);
  judge_reading(rt);  // a probe that answered at once
}

}  // namespace vel
