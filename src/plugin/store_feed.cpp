#include "plugin/store_feed.h"

#include <sys/stat.h>

#include <algorithm>

#include "cache/frame_cache_ops.h"
#include "core/log.h"
#include "core/paths.h"
#include "host/item_calls.h"
#include "host/project_calls.h"
#include "host/suite_probe.h"
#include "plugin/startup_mode.h"
#include "preview/loop_window.h"
#include "store/cleanup_queue.h"
#include "store/store_paths.h"

namespace vel {

namespace {

void sat_add_to(uint64_t& v, uint64_t n) { v = v + n < v ? UINT64_MAX : v + n; }

// Keys followed one by one up to this many between two loads; past it the
// window is gone through whole.
constexpr size_t kLookedAgainFollowed = 4096;

// `key`'s standing changed without the cache noting it: the next loads look
// at it again.
void look_again(StoreFeed& feed, FrameKey key) {
  if (!feed.loads_basis) return;  // the whole window is gone through anyway
  if (feed.looked_again.size() >= kLookedAgainFollowed) {
    feed.looked_again.clear();
    feed.loads_basis.reset();
    return;
  }
  feed.looked_again.push_back(key);
}

bool in_pool_worker() {
  static const bool inside = inside_pool_worker(current_startup_facts());
  return inside;
}

// Loads give only frames of the composition's size at the downsample the
// preview asks for: frames a worker of another size left in the store by an
// earlier run are never shown.
std::optional<LoadSize> load_size_of(const PreviewController& ctl) {
  if (ctl.comp_size.width <= 0 || ctl.comp_size.height <= 0) return std::nullopt;
  return LoadSize{static_cast<uint32_t>(ctl.comp_size.width), static_cast<uint32_t>(ctl.comp_size.height),
                  effective_downsample(ctl)};
}

void start_store(StoreFeed& feed) {
  if (feed.started) return;
  feed.started = true;
  feed.root = frame_store_dir(caches_dir(), in_pool_worker());
  // Without a root there is nothing to read or write: no thread at all.
  if (feed.root) feed.handle = spawn_store_worker(feed.root);
}

// The pinned composition's name, read again when it may have changed.
std::optional<std::string> comp_key_of(StoreFeed& feed, const PreviewController& ctl, bool reread) {
  if (!ctl.pinned_item || ctl.pinned_handle == nullptr) return std::nullopt;
  if (reread || !feed.comp_name || feed.comp_name->first != *ctl.pinned_item) {
    // An unreadable name is the empty key, as for the RAM cache's composition key.
    auto name = item_name(ctl.pinned_handle, ctl.plugin_id);
    feed.comp_name = std::make_pair(*ctl.pinned_item, name ? name.value() : std::string());
  }
  return feed.comp_name->second;
}

std::optional<StoreStreamIdentity> wanted_stream(StoreFeed& feed, const PreviewController& ctl,
                                                 const PreviewTickReport& report) {
  std::optional<std::string> key = comp_key_of(feed, ctl, report.pinned_changed || report.edited);
  if (feed.project_unreadable) return std::nullopt;
  // A host without the project suite says so when it is acquired, and would
  // say it again on every tick: it is asked at most once.
  if (project_suite_missing_at_probe() || !num_projects()) {
    feed.project_unreadable = true;
    return std::nullopt;
  }
  std::optional<ProjectFileState> file = project_file_state();
  // Unsaved changes that the preview took for edits (its own work-area
  // moves are not) make frames that no saved state holds. A project found
  // with unsaved changes is taken as edited: nobody knows what they changed.
  if (file && !file->dirty) {
    feed.unsaved_edits = false;
  } else if (file && (report.edited || !feed.project_seen)) {
    feed.unsaved_edits = true;
  }
  if (file) feed.project_seen = true;
  if (!key || !file || feed.unsaved_edits) return std::nullopt;
  struct stat st {};
  if (::stat(file->path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return StoreStreamIdentity{*ctl.pinned_item, *key, file->path, static_cast<int64_t>(st.st_size),
                             static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// The store thread keeps the frames nearest the playhead when it is full:
// it hears where the preview stands whenever that changes.
void tell_store_focus(StoreFeed& feed, const PreviewController& ctl, const FrameCache& cache) {
  const StoreFocus focus{cache.focus, cache.work_range, ctl.playhead.playing};
  if (!feed.handle.live() || feed.told_focus == focus) return;
  feed.handle.set_focus(focus);
  feed.told_focus = focus;
}

void close_stream(StoreFeed& feed, PreviewController& ctl) {
  if (feed.handle.live()) feed.handle.raise_generation();
  feed.stream.reset();
  feed.opened = false;
  feed.on_disk.clear();
  feed.listed = false;
  feed.listing_awaited = false;
  feed.awaiting_listing = {};
  feed.preloading = {};
  feed.paused_at.reset();
  feed.near_writes.clear();
  feed.loads_basis.reset();
  feed.looked_again.clear();
  ctl.store_pending.clear();  // what was awaited is rendered instead
}

void take_loaded_frame(StoreFeed& feed, PreviewController& ctl, FrameCache& cache, LoadedFrame& frame) {
  ctl.store_pending.erase(frame.key);
  feed.on_disk.insert(frame.key);
  const std::optional<uint32_t> width = cached_frame_width(cache, frame.key);
  if (width && *width >= frame.width) return;
  RgbaFrame rgba{frame.pixels, frame.time, frame.width, frame.height};
  const OfferAnswer a = offer_rendered_frame(cache, frame.key, rgba);
  if (a == OfferAnswer::NoRoom) {
    // Loaded again from the store once the playhead comes near it.
    look_again(feed, frame.key);
    ctl.room_refused.note(frame.key, cache.focus);
  } else if (a == OfferAnswer::Invalid) {
    // As good as a file that could not be read: rendered, and asked for
    // again only once the frame is written again.
    feed.on_disk.erase(frame.key);
  }
  if (a != OfferAnswer::Stored) return;
  ctl.room_refused.forget(frame.key);
  sat_inc(feed.loaded_frames);
  note_frame_road(ctl, cache, frame.key, FrameRoad::Store);
  (void)present_at_playhead(ctl, rgba, frame.key);
}

void take_replies(StoreFeed& feed, PreviewController& ctl, FrameCache& cache) {
  for (int n = 0; n < kStoreRepliesPerTick; ++n) {
    std::optional<StoreReply> reply = feed.handle.take_reply();
    if (!reply) return;
    take_store_reply(feed, ctl, cache, *reply);
  }
}

void post_writes(StoreFeed& feed, FrameCache& cache) {
  int posted = 0;
  while (posted < kStoreWritesPerTick && feed.handle.queued_jobs() < kStoreJobsWaiting &&
         (!feed.near_writes.empty() || !cache.store_write_queue.empty())) {
    std::deque<FrameKey>& from = feed.near_writes.empty() ? cache.store_write_queue : feed.near_writes;
    const FrameKey key = from.front();
    from.pop_front();
    if (feed.on_disk.contains(key)) continue;
    auto it = cache.index.find(key);
    if (it == cache.index.end()) continue;  // evicted since: nothing to write
    const CachedFrame& entry = it->second;
    const uint64_t bytes = entry.payload().size();
    StoredFrame frame = entry.is_raw() ? StoredFrame(*entry.raw()) : StoredFrame(*entry.packed());
    if (!feed.handle.send(WriteFrameJob{key, std::move(frame)}, bytes)) return;
    ++posted;
  }
}

// Paused on another frame (a click, a pause): the frames nearest it that the
// cache holds and the disk does not go to the store again, nearest first,
// ahead of the cache's queue, in place of those of the frame paused on
// before. A full store makes room for them with the frames farthest from
// the playhead (those it removed when the playhead stood elsewhere, those
// it refused then), so that the frames on disk are the ones nearest where
// the panel stands. As many are looked at as the disk holds: no more would
// fit.
void requeue_near_playhead(StoreFeed& feed, const PreviewController& ctl, FrameCache& cache) {
  if (ctl.playhead.playing) {
    feed.paused_at.reset();
    return;
  }
  if (!feed.listed || feed.paused_at == ctl.playhead.frame) return;
  feed.paused_at = ctl.playhead.frame;
  if (feed.on_disk.empty() || !ctl.timing || ctl.frame_count <= 0) return;
  const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
  const int64_t span = b.last - b.first + 1;
  if (span <= 0) return;
  const int64_t considered = std::min<int64_t>(span, static_cast<int64_t>(std::max<uint64_t>(cache.frame_limit, 1)));
  const LoopWindow window{b, loop_entry(ctl.playhead.frame, b), considered};
  const int64_t looked = std::min<int64_t>(considered, static_cast<int64_t>(feed.on_disk.size()));
  feed.near_writes.clear();
  for (int64_t o = 0; o < looked; ++o) {
    const std::optional<FrameKey> key = frame_key_of(ctl, loop_window_frame(window, o));
    if (key && !feed.on_disk.contains(*key) && contains_frame(cache, *key)) feed.near_writes.push_back(*key);
  }
}

void save_cost_figures(const std::string& key, const CostFigures& figures) {
  std::optional<std::string> bytes = write_cost_profile(figures);
  std::optional<std::filesystem::path> path = cost_profile_path(app_support_dir(), in_pool_worker(), key);
  if (!bytes || !path) return;
  post_cleanup_request(WriteFile{*path, std::vector<uint8_t>(bytes->begin(), bytes->end())});
}

// At a switch: the outgoing composition's figures are saved, the incoming
// one's profile is read into the controller.
void switch_cost_profiles(StoreFeed& feed, PreviewController& ctl) {
  if (feed.cost_key) save_cost_figures(*feed.cost_key, feed.cost_figures);
  feed.cost_key.reset();
  feed.cost_figures = {};
  std::optional<std::string> key = feed.comp_name ? std::optional(feed.comp_name->second) : std::nullopt;
  if (!key || !ctl.pinned_item) return;
  feed.cost_key = key;
  std::optional<std::filesystem::path> path = cost_profile_path(app_support_dir(), in_pool_worker(), *key);
  if (!path) return;
  const CostFigures figures = load_cost_profile(*path);
  int counted = 0;
  for (size_t i = 0; i < figures.size(); ++i) {
    if (!figures[i]) continue;
    ctl.per_factor_ms[i] = figures[i];
    ++counted;
  }
  if (counted > 0) {
    log_line("INFO", "profil de coût rechargé : " + std::to_string(counted) + " cran(s) pour « " + *key + " »");
  }
  feed.cost_figures = ctl.per_factor_ms;
}

}  // namespace

void take_store_reply(StoreFeed& feed, PreviewController& ctl, FrameCache& cache, StoreReply& reply) {
  if (auto* f = std::get_if<FrameReply>(&reply.body)) {
    take_loaded_frame(feed, ctl, cache, f->frame);
  } else if (auto* m = std::get_if<MissingReply>(&reply.body)) {
    // No usable frame there (another size, a damaged file): the next
    // save of the key writes over it.
    for (const FrameKey key : m->keys) {
      ctl.store_pending.erase(key);
      feed.on_disk.erase(key);
    }
  } else if (auto* l = std::get_if<ListedReply>(&reply.body)) {
    take_store_listing(feed, ctl, cache, std::move(l->keys));
  } else if (auto* t = std::get_if<TrimmedReply>(&reply.body)) {
    // Written again when the cache holds them anew near the playhead.
    for (const FrameKey key : t->keys) feed.on_disk.erase(key);
  } else if (auto* s = std::get_if<SavedReply>(&reply.body)) {
    feed.on_disk.insert(s->key);
    look_again(feed, s->key);
    sat_inc(feed.saved_frames);
    sat_add_to(feed.saved_bytes, s->saved_bytes);
  } else if (auto* o = std::get_if<OpenedReply>(&reply.body)) {
    feed.opened = true;
    // The preload is over: what it did not send is asked for, or rendered.
    for (const FrameKey key : feed.preloading) {
      if (ctl.store_pending.erase(key) != 0) look_again(feed, key);
    }
    feed.preloading = {};
    log_line("INFO", "S9 disque : flux ouvert pour « " + (feed.stream ? feed.stream->comp_key : std::string()) +
                         " », " + std::to_string(o->frames_sent) + " image(s) préchargée(s)");
  }
}

void take_store_listing(StoreFeed& feed, PreviewController& ctl, const FrameCache& cache,
                        std::vector<FrameKey> keys) {
  // The loads that follow in the same tick, before any producer, ask for
  // those it holds of the window as it is now.
  for (const FrameKey key : feed.awaiting_listing) ctl.store_pending.erase(key);
  feed.awaiting_listing = {};
  feed.loads_basis.reset();
  // The preload goes through the listing in its order from the focus on,
  // wrapping round.
  feed.preloading = {};
  const size_t from = feed.preload_from ? static_cast<size_t>(std::lower_bound(keys.begin(), keys.end(),
                                                                               FrameKey{*feed.preload_from, 0},
                                                                               listing_less) -
                                                              keys.begin())
                                        : 0;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(keys.size(), feed.preload_count));
  for (size_t i = 0; i < count; ++i) {
    const FrameKey key = keys[(from + i) % keys.size()];
    if (contains_frame(cache, key) || ctl.store_pending.count(key) != 0) continue;
    ctl.store_pending.insert(key);
    feed.preloading.push_back(key);
  }
  feed.on_disk.take_listing(std::move(keys));
  feed.listed = true;
}

void reset_preview_for_new_cache(StoreFeed& feed, PreviewController& ctl, FrameCache& cache,
                                 const StoreStreamIdentity& identity) {
  if (!feed.started) {
    start_store(feed);
  } else if (feed.handle.live()) {
    feed.handle.raise_generation();
  }
  feed.stream = identity;
  feed.opened = false;
  feed.listed = false;
  feed.listing_awaited = false;
  feed.awaiting_listing = {};
  feed.on_disk.clear();
  feed.loads_basis.reset();
  tell_store_focus(feed, ctl, cache);
  OpenStreamJob job{identity.project_path, identity.comp_key, cache.frame_limit, std::nullopt, load_size_of(ctl)};
  if (auto focus = frame_key_of(ctl, ctl.playhead.frame)) job.focus_value = focus->value;
  feed.preload_from = job.focus_value;
  feed.preload_count = job.preload_count;
  feed.preloading = {};
  (void)feed.handle.send(std::move(job));
  // Frames cached before the stream opened (rendered before a save) belong to it too.
  rebuild_store_queue(cache);
}

void request_store_loads(StoreFeed& feed, PreviewController& ctl, const FrameCache& cache) {
  if (!feed.stream || !feed.handle.live() || !ctl.timing || ctl.frame_count <= 0) return;
  const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
  const int64_t span = b.last - b.first + 1;
  if (span <= 0) return;
  const int64_t considered = std::min<int64_t>(span, static_cast<int64_t>(std::max<uint64_t>(cache.frame_limit, 1)));
  const LoopWindow now{b, loop_entry(ctl.playhead.frame, b), considered};
  // Before the store said what it holds, nothing is asked of it; the
  // window's frames wait for its word, once.
  if (!feed.listed) {
    if (feed.listing_awaited) return;
    feed.listing_awaited = true;
    for (int64_t o = 0; o < considered; ++o) {
      const std::optional<FrameKey> key = frame_key_of(ctl, loop_window_frame(now, o));
      if (!key || contains_frame(cache, *key) || ctl.store_pending.count(*key)) continue;
      ctl.store_pending.insert(*key);
      feed.awaiting_listing.push_back(*key);
    }
    return;
  }
  const StoreFeed::LoadsBasis basis{ctl.timing, b, considered};

  // The window's offsets to look at, in window order once sorted.
  std::vector<int64_t> offsets;
  std::optional<WindowMove> move;
  if (feed.loads_basis == basis && cache.key_changes.can_follow(feed.loads_cache_seen)) {
    move = loop_window_move(LoopWindow{b, feed.loads_start, considered}, now);
  }
  if (!move) {
    sat_inc(feed.load_passes);
    feed.loads_held.clear();
    offsets.resize(static_cast<size_t>(considered));
    for (int64_t i = 0; i < considered; ++i) offsets[static_cast<size_t>(i)] = i;
  } else {
    if (move->entered.count == 0 && feed.looked_again.empty() && feed.loads_held.empty() &&
        cache.key_changes.cursor() == feed.loads_cache_seen) {
      feed.loads_start = now.start;
      return;
    }
    for (const FrameRun& run : move->left) {
      feed.loads_held.erase(feed.loads_held.lower_bound(run.first), feed.loads_held.upper_bound(run.last));
    }
    auto look_at = [&](int64_t f) {
      if (const std::optional<int64_t> o = loop_window_offset(now, f)) offsets.push_back(*o);
    };
    for (const FrameRun& run : move->entered) {
      for (int64_t f = run.first; f <= run.last; ++f) look_at(f);
    }
    auto look_at_key = [&](FrameKey key) {
      if (const std::optional<int64_t> f = frame_of_key(ctl, key)) look_at(*f);
    };
    cache.key_changes.follow(feed.loads_cache_seen, [&](FrameKey key, KeyChange) { look_at_key(key); });
    for (const FrameKey key : feed.looked_again) look_at_key(key);
    for (const int64_t f : feed.loads_held) look_at(f);
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  }

  LoadJob job;
  job.size = load_size_of(ctl);
  for (const int64_t o : offsets) {
    const int64_t f = loop_window_frame(now, o);
    sat_inc(feed.load_frames_looked_at);
    std::optional<FrameKey> key = frame_key_of(ctl, f);
    const bool awaited = key && ctl.store_pending.count(*key) != 0;
    const bool held = key && !awaited && !contains_frame(cache, *key) && ctl.room_refused.holds_back(cache, *key);
    if (held) {
      feed.loads_held.insert(f);
    } else if (!feed.loads_held.empty()) {
      feed.loads_held.erase(f);
    }
    if (!key || held || awaited || contains_frame(cache, *key) || !feed.on_disk.contains(*key)) {
      continue;
    }
    job.keys.push_back(*key);
  }
  if (!job.keys.empty()) {
    const std::vector<FrameKey> keys = job.keys;
    if (!feed.handle.send(std::move(job))) {
      // Not sent: the whole window is asked again on the next tick.
      feed.loads_basis.reset();
      feed.looked_again.clear();
      return;
    }
    ctl.store_pending.insert(keys.begin(), keys.end());
  }
  feed.loads_basis = basis;
  feed.loads_start = now.start;
  feed.loads_cache_seen = cache.key_changes.cursor();
  feed.looked_again.clear();
}

void store_feed_tick(StoreFeed& feed, PreviewController& ctl, FrameCache& cache,
                     const PreviewTickReport& report) {
  std::optional<StoreStreamIdentity> wanted = wanted_stream(feed, ctl, report);
  if (report.pinned_changed) switch_cost_profiles(feed, ctl);
  if (feed.purged && wanted != feed.purged) feed.purged.reset();
  if (wanted && wanted == feed.purged) wanted.reset();
  if (wanted != feed.stream) {
    close_stream(feed, ctl);
    if (wanted) reset_preview_for_new_cache(feed, ctl, cache, *wanted);
  }
  if (!feed.handle.live()) return;
  tell_store_focus(feed, ctl, cache);
  take_replies(feed, ctl, cache);
  if (!feed.stream) return;
  request_store_loads(feed, ctl, cache);
  requeue_near_playhead(feed, ctl, cache);
  post_writes(feed, cache);
}

void note_cost_figures(StoreFeed& feed, const PreviewController& ctl) {
  if (feed.cost_key) feed.cost_figures = ctl.per_factor_ms;
}

void purge_store(StoreFeed& feed, PreviewController& ctl) {
  start_store(feed);
  feed.purged = feed.stream;
  close_stream(feed, ctl);
  (void)feed.handle.send(PurgeJob{});
}

void save_cost_profile_at_teardown(StoreFeed& feed, PreviewController& ctl) {
  if (feed.cost_key) save_cost_figures(*feed.cost_key, ctl.per_factor_ms);
  ctl.per_factor_ms = {};
  feed.cost_figures = {};
}

void begin_store_finish(StoreFeed& feed) {
  feed.finish_deadline = std::chrono::steady_clock::now() + kStoreFinishBound;
  feed.handle.begin_finish();
}

void shut_down_store(StoreFeed& feed) {
  if (feed.handle.live()) {
    if (!feed.finish_deadline) begin_store_finish(feed);
    sat_add_to(feed.saved_frames, feed.handle.wait_finished(*feed.finish_deadline));
    // Saves answered before the quit that the last tick did not take.
    while (std::optional<StoreReply> reply = feed.handle.take_reply()) {
      if (std::holds_alternative<SavedReply>(reply->body)) sat_inc(feed.saved_frames);
    }
  }
  if (feed.started && feed.root) {
    log_line("INFO", "S9 disque : " + std::to_string(feed.loaded_frames) + " image(s) rechargée(s) du disque, " +
                         std::to_string(feed.saved_frames) + " écrite(s)");
  }
  feed.handle.stop();
  stop_cleanup_worker();
}

}  // namespace vel
