#include "store/store_worker.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <unordered_set>
#include <utility>

#include "cache/pack_worker.h"
#include "core/log.h"
#include "core/repeat_log.h"
#include "core/process_flags.h"
#include "core/threads.h"
#include "store/frame_file_io.h"
#include "store/leftover_temporaries.h"
#include "store/store_room.h"
#include "store/store_sweep.h"
#include "store/stream_dir.h"

namespace vel {

void sort_listing(std::vector<FrameKey>& keys) {
  std::sort(keys.begin(), keys.end(), listing_less);
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

namespace {

constexpr std::string_view kRawWriteCondition = "store: frame write";
constexpr std::string_view kPackedWriteCondition = "store: packed frame write";

uint64_t sat_add64(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

void sub_floor(std::atomic<uint64_t>& counter, uint64_t n) {
  uint64_t cur = counter.load(std::memory_order_relaxed);
  while (!counter.compare_exchange_weak(cur, cur > n ? cur - n : 0, std::memory_order_relaxed)) {
  }
}

uint64_t reply_pixel_bytes(const StoreReply& r) {
  const auto* f = std::get_if<FrameReply>(&r.body);
  return f ? f->frame.pixels.size() : 0;
}

struct OpenStream {
  fs::path dir;
  uint64_t generation = 0;
  std::string comp_key;
  bool claimed = false;  // the owner file names this composition
};

// The store thread's own state.
class StoreThread {
 public:
  explicit StoreThread(std::shared_ptr<StoreShared> shared) : shared_(std::move(shared)) {
    ctx_.gauge = &shared_->load_gauge;
    // File times come from the coarse clock: one taken from the fine clock
    // could be later than the time of a file this thread writes just after.
#ifdef CLOCK_REALTIME_COARSE
    ::clock_gettime(CLOCK_REALTIME_COARSE, &started_);
#else
    ::clock_gettime(CLOCK_REALTIME, &started_);
#endif
  }

  void handle(StoreJob& job) {
    std::visit([&](auto& body) { run(job.generation, body); }, job.body);
  }

 private:
  bool current(uint64_t generation) const { return shared_->generation.load() == generation; }
  bool stream_takes(uint64_t generation) const { return open_ && open_->generation == generation; }
  bool reply(uint64_t generation, decltype(StoreReply::body) body) {
    return store_enqueue(*shared_, StoreReply{generation, std::move(body)});
  }

  void forget_stream() {
    // The stream left is counted among the others at the size kept of it.
    if (open_ && usages_) {
      auto it = std::find_if(usages_->begin(), usages_->end(), [&](const StreamUsage& u) { return u.path == open_->dir; });
      if (it == usages_->end()) it = usages_->insert(usages_->end(), StreamUsage{0, 0, 0, open_->dir});
      it->size = frames_.total();
    }
    open_.reset();
    last_ = LastWritten{};
    reset_load_context(ctx_);
    frames_ = StreamFrames{};
    trimmed_.clear();
    others_ = 0;
    others_stay_ = false;
    told_full_ = false;
  }

  StoreFocus focus() const {
    std::lock_guard lock(shared_->focus_mutex);
    return shared_->focus;
  }

  uint64_t store_bytes() const { return sat_add64(others_, frames_.total()); }

  // Counts the other streams than `dir`: from the last listing of the store
  // (listed again when `fresh`), and when `sweep` or over `cap` with this
  // stream, listed again and swept first (the oldest go, never this one).
  void count_others(const fs::path& dir, bool fresh, bool sweep, uint64_t cap) {
    if (fresh || !usages_) usages_ = collect_stream_usage(*shared_->root);
    auto others = [&] {
      uint64_t total = 0;
      for (const StreamUsage& u : *usages_) {
        if (u.path != dir) total = sat_add64(total, u.size);
      }
      return total;
    };
    others_ = others();
    if (!sweep && sat_add64(others_, frames_.total()) <= cap) return;
    if (!fresh) usages_ = collect_stream_usage(*shared_->root);
    for (const auto& removed : sweep_measured_store(*shared_->root, *usages_, cap, 1, dir)) {
      std::erase_if(*usages_, [&](const StreamUsage& u) { return u.path == removed.first; });
    }
    others_ = others();
  }

  // Removes the frames taken out of the index; one that stays on disk goes
  // back into it. The main thread hears which went, so that it writes them
  // again when the playhead comes back near them. A frame's aliases come
  // before it and go first: a crash between them leaves a frame without
  // some of its aliases, never an alias without its frame; and a frame one
  // of whose aliases could not go stays too.
  void remove_frames(const FreedFrames& freed) {
    std::vector<FrameKey> removed;
    std::unordered_set<FrameKey, FrameKeyHasher> needed;
    for (const FreedFrame& f : freed.frames) {
      if (needed.contains(f.key) || !remove_frame_file(*shared_->root, open_->dir, f.key)) {
        if (f.target) needed.insert(*f.target);
        put_back(frames_, FreedFrames{{f}, f.size});
        continue;
      }
      // Every alias names a file with pixels: the next frame with pixels
      // becomes the target.
      if (last_.key == f.key) last_ = LastWritten{};
      ctx_.loaded.erase(f.key);
      trimmed_.insert(f.key);
      removed.push_back(f.key);
    }
    if (!removed.empty()) (void)reply(open_->generation, TrimmedReply{std::move(removed)});
  }

  // Whether `frame` may be written under `key`: it fits what the cap and
  // the volume's reserve leave, once the older streams and then this
  // stream's frames farther from the playhead than it made way.
  bool room_for(FrameKey key, const StoredFrame& frame) {
    if (!ctx_.rejected.contains(key) && frame_file_exists(open_->dir, key)) return true;  // nothing is written
    uint64_t bound = frame_write_bound(key, frame, last_);
    std::optional<VolumeSpace> volume = volume_space_of(open_->dir);
    // A file takes whole blocks of the volume: a 40-byte alias takes one.
    if (volume) bound = round_up_to_block(bound, volume->block);
    StoreRoom room = store_room(store_bytes(), shared_->cap, volume);
    if (bound <= room.bytes) return true;
    if (room.limit == RoomLimit::Cap && others_ > 0 && !others_stay_) {
      const uint64_t before = others_;
      count_others(open_->dir, true, true, shared_->cap > bound ? shared_->cap - bound : 0);
      others_stay_ = others_ >= before;  // nothing more of theirs can go
      room = store_room(store_bytes(), shared_->cap, volume);
      if (bound <= room.bytes) return true;
    }
    const StoreFocus now = focus();
    // Playing a loop longer than the store holds, each frame the playhead
    // passes is the farthest of all: a frame removed for room that came
    // back to be written would remove the one just played, and every round
    // would write and remove the same frames. A removed frame displaces
    // others only while the playhead stands still.
    if (now.playing && trimmed_.contains(key)) return false;
    const uint64_t needed = bound - room.bytes;
    FreedFrames freed = take_farthest_frames(frames_, needed, now, key);
    if (freed.bytes < needed) {
      put_back(frames_, freed);
      say_full(room, volume, bound);
      return false;
    }
    remove_frames(freed);
    return true;
  }

  // Once a stream: why frames are no longer written.
  void say_full(const StoreRoom& room, const std::optional<VolumeSpace>& volume, uint64_t frame_bytes) {
    if (told_full_) return;
    told_full_ = true;
    constexpr uint64_t kMiB = uint64_t{1} << 20;
    if (room.limit == RoomLimit::Reserve && volume) {
      log_line("INFO", volume_stop_line(volume->free, room.reserve, frame_bytes));
    } else {
      log_line("INFO", "S9 disque : cache disque plein (" + std::to_string(shared_->cap / kMiB) +
                           " Mio), seules les images plus proches de la tête de lecture que les siennes y sont écrites");
    }
  }

  void run(uint64_t generation, OpenStreamJob& job) {
    forget_stream();
    if (!shared_->root || shared_->finishing.load()) return;
    shared_->load_gauge.store(kOpenStreamGaugeBytes);
    std::optional<uint64_t> fingerprint = fingerprint_file(job.snapshot, [&] { return current(generation); });
    shared_->load_gauge.store(0);
    // No stream: the store holds nothing the preview may wait for.
    if (!fingerprint) {
      if (current(generation)) log_line("ERROR", "store: snapshot read failed or changed during fingerprint");
      (void)reply(generation, ListedReply{});
      return;
    }
    std::optional<fs::path> dir = choose_stream_dir(*shared_->root, job.comp_key, *fingerprint);
    if (!dir) {
      log_line("ERROR", "store: stream folder bound to another composition; store off for « " + job.comp_key + " »");
      (void)reply(generation, ListedReply{});
      return;
    }
    (void)remove_leftover_temporaries(*dir, [&](pid_t writer, timespec written) {
      return temporary_writer_live(writer, written, started_);
    });
    // Before the listing: an alias whose frame a crash removed is no frame
    // the store holds.
    frames_ = measure_stream_frames(*shared_->root, *dir);
    (void)remove_broken_aliases(*shared_->root, *dir, frames_);
    const uint64_t sent = preload(*dir, generation, job);
    if (!current(generation)) {
      frames_ = StreamFrames{};
      return;
    }
    touch_last_used(*dir);
    open_ = OpenStream{*dir, generation, job.comp_key, false};
    if (!reply(generation, OpenedReply{sent})) return;
    const auto now = std::chrono::steady_clock::now();
    const bool sweep_due = !last_sweep_ || now - *last_sweep_ >= std::chrono::seconds(kSweepIntervalSeconds);
    if (sweep_due) last_sweep_ = now;
    count_others(*dir, sweep_due, sweep_due, shared_->cap);
    // A stream left over the cap by an earlier run keeps the frames nearest
    // the playhead.
    if (store_bytes() > shared_->cap) {
      remove_frames(take_farthest_frames(frames_, store_bytes() - shared_->cap, focus(), std::nullopt));
    }
  }

  // Frames at or after the focus first, each group by value then scale.
  uint64_t preload(const fs::path& dir, uint64_t generation, const OpenStreamJob& job) {
    std::vector<FrameKey> keys = list_stored_keys(dir);
    sort_listing(keys);
    if (!reply(generation, ListedReply{keys})) return 0;
    // The frames at or after the focus are the tail of the sorted listing.
    const size_t from = job.focus_value ? static_cast<size_t>(std::lower_bound(keys.begin(), keys.end(),
                                                                             FrameKey{*job.focus_value, 0},
                                                                             listing_less) -
                                                            keys.begin())
                                        : 0;
    uint64_t sent = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (sent >= job.preload_count) break;
      const FrameKey key = keys[(from + i) % keys.size()];
      std::optional<LoadedFrame> frame = load_frame_file(dir, key, ctx_, job.size);
      if (!frame) continue;
      if (!reply(generation, FrameReply{std::move(*frame)})) break;
      ++sent;
    }
    return sent;
  }

  void run(uint64_t generation, WriteFrameJob& job) {
    if (!stream_takes(generation)) return;
    const bool raw = std::holds_alternative<RgbaFrame>(job.frame);
    uint64_t raw_len = 0;
    if (raw) {
      raw_len = std::get<RgbaFrame>(job.frame).pixels.size();
      shared_->load_gauge.store(pack_capacity(raw_len));
    } else {
      const PackedFrame& p = std::get<PackedFrame>(job.frame);
      raw_len = uint64_t{p.width} * p.height * 4;
    }
    if (!open_->claimed) open_->claimed = claim_stream_dir(open_->dir, open_->comp_key);
    if (open_->claimed && !room_for(job.key, job.frame)) {
      shared_->load_gauge.store(0);
      return;
    }
    std::optional<uint64_t> written;
    const std::optional<FrameKey> target =
        aliases_last_written(job.key, job.frame, last_) ? std::optional(last_.key) : std::nullopt;
    if (open_->claimed) written = store_frame(open_->dir, job.key, job.frame, last_, ctx_.rejected);
    shared_->load_gauge.store(0);
    // A store that cannot be written (a full disk, a file where a folder
    // should be) fails every write alike: logged once, then counted.
    const std::string_view condition = raw ? kRawWriteCondition : kPackedWriteCondition;
    if (!written) {
      log_repeatable(condition, "ERROR",
                     raw ? "store: frame write failed" : "store: packed frame rejected or write failed");
      return;
    }
    log_repeat_ended(condition);
    if (*written > 0) {
      const uint64_t disk = frame_file_disk_bytes(*shared_->root, open_->dir, job.key).value_or(*written);
      if (target) {
        frames_.put_alias(job.key, disk, *target);
      } else {
        if (frames_.targets.contains(job.key)) frames_.drop(job.key);  // an alias written over with pixels
        frames_.put(job.key, disk);
      }
    }
    trimmed_.erase(job.key);
    const bool sent = reply(generation, SavedReply{job.key, raw_len > *written ? raw_len - *written : 0});
    if (!sent && shared_->finishing.load()) shared_->finished_writes.fetch_add(1);
  }

  void run(uint64_t generation, LoadJob& job) {
    if (!stream_takes(generation) || shared_->finishing.load()) return;
    std::vector<FrameKey> missing;
    auto tell_missing = [&] {
      if (missing.empty()) return true;
      return reply(generation, MissingReply{std::exchange(missing, {})});
    };
    for (FrameKey key : job.keys) {
      if (!current(open_->generation)) return;
      std::optional<LoadedFrame> frame = load_frame_file(open_->dir, key, ctx_, job.size);
      if (!frame) {
        missing.push_back(key);
        if (missing.size() >= kMissingPerReply && !tell_missing()) return;
        continue;
      }
      // The answers keep the order asked.
      if (!tell_missing() || !reply(generation, FrameReply{std::move(*frame)})) return;
    }
    (void)tell_missing();
  }

  void run(uint64_t, PurgeJob&) {
    forget_stream();
    usages_.reset();
    if (!shared_->root) return;
    if (!purge_store(*shared_->root)) log_line("ERROR", "store: purge failed: " + shared_->root->string());
  }

  std::shared_ptr<StoreShared> shared_;
  std::optional<OpenStream> open_;
  LastWritten last_;
  LoadContext ctx_;
  StreamFrames frames_;       // the open stream's frame files
  uint64_t others_ = 0;       // bytes of the other streams
  // The streams as last listed (a sweep's interval apart at most), with the
  // sizes this thread kept of those it wrote since.
  std::optional<std::vector<StreamUsage>> usages_;
  // Frames removed for room in this stream, not written since.
  std::unordered_set<FrameKey, FrameKeyHasher> trimmed_;
  bool others_stay_ = false;  // a sweep for room removed nothing: none is tried again in this stream
  bool told_full_ = false;    // the log said why frames are no longer written
  std::optional<std::chrono::steady_clock::time_point> last_sweep_;
  timespec started_{};  // no temporary of this process in the store is older
};

}  // namespace

bool store_enqueue(StoreShared& shared, StoreReply reply) {
  if (reply.generation != shared.generation.load()) return false;  // the reply and its frame are dropped here
  const uint64_t bytes = reply_pixel_bytes(reply);
  {
    std::unique_lock lock(shared.mutex);
    shared.reply_bytes.fetch_add(bytes);
    shared.reply_room.wait(lock, [&] {
      return shared.closed || shared.finishing.load() || shared.replies.size() < kStoreReplyLimit;
    });
    if (shared.closed || shared.finishing.load()) {
      sub_floor(shared.reply_bytes, bytes);
      return false;
    }
    shared.replies.push_back(std::move(reply));
  }
  shared.reply_ready.notify_all();
  request_early_idle();
  return true;
}

void store_worker(const std::shared_ptr<StoreShared>& shared) {
  StoreThread thread(shared);
  for (;;) {
    StoreJob job;
    {
      std::unique_lock lock(shared->mutex);
      shared->jobs_ready.wait(lock, [&] { return shared->closed || !shared->jobs.empty(); });
      if (shared->closed) return;
      job = std::move(shared->jobs.front());
      shared->jobs.pop_front();
      shared->busy = true;
    }
    thread.handle(job);
    const uint64_t bytes = job.bytes;
    job = StoreJob{};  // the pixels it pinned go before the counters say so
    sub_floor(shared->queued_job_bytes, bytes);
    sub_floor(shared->queued_job_count, 1);
    {
      std::lock_guard lock(shared->mutex);
      shared->busy = false;
    }
    shared->idle.notify_all();
  }
}

StoreHandle spawn_store_worker(std::optional<fs::path> root, uint64_t cap) {
  auto shared = std::make_shared<StoreShared>();
  shared->root = std::move(root);
  shared->cap = cap;
  Result<std::thread> thread = spawn_named_thread("velocinta-store", [shared] { store_worker(shared); });
  if (!thread) {
    log_line("ERROR", "store: worker unavailable: " + thread.error());
    return StoreHandle(std::move(shared), std::thread());
  }
  return StoreHandle(std::move(shared), std::move(thread.value()));
}

StoreHandle& StoreHandle::operator=(StoreHandle&& o) noexcept {
  if (this != &o) {
    stop();
    shared_ = std::move(o.shared_);
    thread_ = std::move(o.thread_);
  }
  return *this;
}

bool StoreHandle::send(std::variant<OpenStreamJob, WriteFrameJob, LoadJob, PurgeJob> body, uint64_t bytes) {
  if (!live()) return false;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->closed || shared_->finishing.load()) return false;
    shared_->queued_job_bytes.fetch_add(bytes);
    shared_->queued_job_count.fetch_add(1);
    shared_->jobs.push_back(StoreJob{shared_->generation.load(), bytes, std::move(body)});
  }
  shared_->jobs_ready.notify_one();
  return true;
}

void StoreHandle::set_focus(const StoreFocus& focus) {
  if (!shared_) return;
  std::lock_guard lock(shared_->focus_mutex);
  shared_->focus = focus;
}

uint64_t StoreHandle::raise_generation() {
  if (!shared_) return 0;
  return shared_->generation.fetch_add(1) + 1;
}

std::optional<StoreReply> StoreHandle::take_reply() {
  if (!shared_) return std::nullopt;
  for (;;) {
    std::optional<StoreReply> r;
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->replies.empty()) return std::nullopt;
      r = std::move(shared_->replies.front());
      shared_->replies.pop_front();
      sub_floor(shared_->reply_bytes, reply_pixel_bytes(*r));
    }
    shared_->reply_room.notify_one();
    if (r->generation == shared_->generation.load()) return r;
  }
}

std::optional<StoreReply> StoreHandle::wait_reply() {
  for (;;) {
    if (std::optional<StoreReply> r = take_reply()) return r;
    if (!live()) return std::nullopt;
    std::unique_lock lock(shared_->mutex);
    shared_->reply_ready.wait(lock, [&] { return shared_->closed || !shared_->replies.empty(); });
    if (shared_->closed && shared_->replies.empty()) return std::nullopt;
  }
}

uint64_t StoreHandle::bytes_in_flight() const {
  if (!shared_) return 0;
  return sat_add64(sat_add64(shared_->queued_job_bytes.load(), shared_->reply_bytes.load()),
                   shared_->load_gauge.load());
}

uint64_t StoreHandle::queued_jobs() const { return shared_ ? shared_->queued_job_count.load() : 0; }

void StoreHandle::begin_finish() {
  if (!shared_) return;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->finishing.store(true);
  }
  shared_->reply_room.notify_all();  // a reply waiting for room is dropped instead
}

uint64_t StoreHandle::wait_finished(std::chrono::steady_clock::time_point deadline) {
  if (!shared_) return 0;
  if (thread_.joinable()) {
    std::unique_lock lock(shared_->mutex);
    shared_->idle.wait_until(lock, deadline, [&] { return shared_->closed || (shared_->jobs.empty() && !shared_->busy); });
  }
  return shared_->finished_writes.load();
}

void StoreHandle::stop() {
  if (!shared_) return;
  // A fingerprint or a load in progress gives up at its next chunk or key.
  shared_->generation.fetch_add(1);
  {
    std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
  }
  shared_->jobs_ready.notify_all();
  shared_->reply_room.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace vel
