// The disk store's part of the plug-in: which stream the preview reads and
// writes (the pinned composition at the project's saved state), the idle
// tick's feeding of the store from the cache's write queue, the loads of the
// work area's missing frames, the replies taken back into the cache, the
// purge, the cost profiles at a composition switch, and the stop at death.
// Main thread only.
#pragma once

#include <chrono>
#include <deque>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "cache/frame_cache.h"
#include "plugin/disk_keys.h"
#include "preview/preview_controller.h"
#include "store/cost_profile.h"
#include "store/store_worker.h"

namespace vel {

// Writes are posted while fewer jobs than this wait at the store thread.
inline constexpr uint64_t kStoreJobsWaiting = 4;
inline constexpr int kStoreWritesPerTick = 8;
inline constexpr int kStoreRepliesPerTick = 32;

// What one stream stands for. The frames of a project edited since its
// last save belong to no saved state: the stream is then closed and nothing
// is read or written until the project is saved again.
struct StoreStreamIdentity {
  uint64_t comp_id = 0;
  std::string comp_key;
  std::string project_path;
  int64_t size = 0;
  int64_t mtime_sec = 0;
  int64_t mtime_nsec = 0;
  friend bool operator==(const StoreStreamIdentity&, const StoreStreamIdentity&) = default;
};

struct StoreFeed {
  StoreHandle handle;
  bool started = false;
  bool project_unreadable = false;  // the host's project suite failed once: no stream this run
  bool project_seen = false;        // the project's file state was read once
  bool unsaved_edits = false;       // edited since the last save: no stream
  std::optional<std::filesystem::path> root;

  std::optional<StoreStreamIdentity> stream;  // none: closed
  std::optional<StoreStreamIdentity> purged;  // a purge closed it: not reopened while it stays the same
  bool opened = false;                        // the store thread answered the open
  std::optional<std::pair<uint64_t, std::string>> comp_name;  // (item id, name) as last read

  // The stream's frames on disk: as the store listed them at the opening,
  // with those saved since, less those it removed for room or could not
  // load. Only these are asked for: a frame the store does not hold is
  // rendered at once, never waited for. A frame is asked for whenever the
  // playhead's window lacks it and no answer for it is awaited
  // (`PreviewController::store_pending`), so that a frame the cache let go
  // comes from the disk again, not from a render.
  DiskKeys on_disk;
  bool listed = false;  // the store's listing of the stream came
  // What the opening asked the store to preload: up to this many of its
  // frames from this value on. The frames the preload sends are awaited
  // from the listing on, so that the loads do not ask for them a second
  // time behind it; those it did not send are looked at again once the
  // stream is open.
  std::optional<int32_t> preload_from;
  uint64_t preload_count = 0;
  std::vector<FrameKey> preloading;
  // Until it comes, the window's frames the cache lacked at the opening wait
  // for it (those it holds come from it); it answers at once for the rest.
  bool listing_awaited = false;
  std::vector<FrameKey> awaiting_listing;
  // Answered or saved since the last loads without the cache taking them:
  // a frame it had no room for, a frame written after the cache let it go.
  std::vector<FrameKey> looked_again;

  // What the loads last went by. Every frame of the playhead's window was
  // then cached, asked for, or held back for want of room (`loads_held`);
  // what can have changed since is the frames that came into the window,
  // the keys the cache noted, the keys to look at again and the frames held back,
  // and only those are looked at: a tick with nothing new goes through no
  // frame, a playhead stepping on through one. The whole window is gone
  // through when the basis changed or the playhead jumped. None: go
  // through it on the next tick.
  struct LoadsBasis {
    std::optional<CompFrameTiming> timing;
    WorkAreaFrames bounds;
    int64_t considered = 0;
    friend bool operator==(const LoadsBasis&, const LoadsBasis&) = default;
  };
  std::optional<LoadsBasis> loads_basis;
  int64_t loads_start = 0;      // the window's first frame
  KeyCursor loads_cache_seen;   // the cache's changes taken into account
  std::set<int64_t> loads_held;  // frames of the window held back for room
  uint64_t load_passes = 0;     // passes over the whole window for loads (saturating)
  uint64_t load_frames_looked_at = 0;  // frames of the window looked at for loads (saturating)

  std::optional<StoreFocus> told_focus;  // where the store thread was last told the preview stands
  // The frame the panel was last paused on when the frames nearest it went
  // to the store again; none while playing.
  std::optional<int64_t> paused_at;
  std::deque<FrameKey> near_writes;  // those frames, written before the cache's queue

  uint64_t loaded_frames = 0;  // taken into the cache from disk (saturating)
  uint64_t saved_frames = 0;
  uint64_t saved_bytes = 0;  // raw bytes minus bytes written
  std::optional<std::chrono::steady_clock::time_point> finish_deadline;  // set by the death hook

  // The figures of the composition in `cost_key`, as of the last tick.
  std::optional<std::string> cost_key;
  CostFigures cost_figures{};
};

// Opens, closes or keeps the stream for what the preview shows now, takes
// the store's replies into the cache, asks the store for the work area's
// frames the cache lacks, and hands it the cache's frames still to write.
// Before the producers, so that frames on disk are not rendered again. A
// loaded frame is shown at once only while the panel does not play.
void store_feed_tick(StoreFeed& feed, PreviewController& ctl, FrameCache& cache, const PreviewTickReport& report);

// After the producers: the figures of the composition shown, kept for the
// save at the next switch.
void note_cost_figures(StoreFeed& feed, const PreviewController& ctl);

// Starts the store when it is not live yet, else cancels what is in flight;
// then opens the stream of `identity`, preloading up to the cache's frame
// limit around the playhead.
void reset_preview_for_new_cache(StoreFeed& feed, PreviewController& ctl, FrameCache& cache,
                                 const StoreStreamIdentity& identity);

// One load job with the keys of the playhead's window that the store holds
// and that are neither cached nor awaited from it, in window order; the preview does not
// render them while they are awaited. Looks only at the frames that may
// have changed since the last call (`StoreFeed::loads_basis`).
void request_store_loads(StoreFeed& feed, PreviewController& ctl, const FrameCache& cache);

// One answer of the store taken into the feed, the controller and the cache.
void take_store_reply(StoreFeed& feed, PreviewController& ctl, FrameCache& cache, StoreReply& reply);

// The store's listing of the stream came: what it holds is on disk, the
// frames that waited for its word and are not among them are rendered, and
// those its preload sends are awaited.
void take_store_listing(StoreFeed& feed, PreviewController& ctl, const FrameCache& cache,
                        std::vector<FrameKey> keys);

// "Purge Velocinta": removes the whole store (starting the store thread
// for it when needed) and keeps the stream closed until what it stood for
// changes.
void purge_store(StoreFeed& feed, PreviewController& ctl);

// The preview closes: the composition's figures go to its cost profile and
// are cleared.
void save_cost_profile_at_teardown(StoreFeed& feed, PreviewController& ctl);

// A quit waits at most this long, from begin_store_finish, for the frames
// already handed to the store to reach the disk.
inline constexpr std::chrono::milliseconds kStoreFinishBound{2000};

// Death hook, first: the store takes no more jobs but writes the frames
// already handed to it while the rest of the plug-in shuts down.
void begin_store_finish(StoreFeed& feed);

// Death hook, later: waits for those writes within the bound, logs the
// store's summary, and stops its thread and the cleanup thread.
void shut_down_store(StoreFeed& feed);

}  // namespace vel
