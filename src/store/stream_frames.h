// The frame files of the stream the store writes, with their sizes, so that
// the store stays under its cap with that stream counted: when a frame
// needs room, the frames farthest from the playhead (in the cache's order,
// cache/focus_distance.h) make way for it, and only for a frame nearer than
// they are. Store thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cache/focus_distance.h"
#include "cache/frame_key.h"

namespace vel {

namespace fs = std::filesystem;

// Where the preview stands, as the main thread last told the store.
struct StoreFocus {
  std::optional<FrameKey> focus;
  MicrosRange range;
  // The panel plays: the focus moves on by itself, and what lies just
  // behind it is the farthest of all only until the loop comes round.
  bool playing = false;
  friend bool operator==(const StoreFocus&, const StoreFocus&) = default;
};

struct StreamFrames {
  std::set<TimedKey> by_time;
  std::unordered_map<FrameKey, uint64_t, FrameKeyHasher> sizes;
  uint64_t frame_bytes = 0;  // the sum of `sizes`
  uint64_t other_bytes = 0;  // the stream's other files (markers, leftovers) when measured

  uint64_t total() const;
  bool holds(FrameKey key) const { return sizes.contains(key); }
  // Adds the key's file, or sets its new size.
  void put(FrameKey key, uint64_t size);
  void drop(FrameKey key);
};

// The frames taken out to make room, farthest first, and their bytes.
struct FreedFrames {
  std::vector<std::pair<FrameKey, uint64_t>> frames;
  uint64_t bytes = 0;
};

// Takes out of `frames` the frames farthest from the focus, one by one,
// until `needed` bytes are freed; never the focus's own frame, and, when
// `nearer` is given, only frames strictly farther from the focus than it.
// Stops short when no frame may go (without a focus none may). Pure.
FreedFrames take_farthest_frames(StreamFrames& frames, uint64_t needed, const StoreFocus& focus,
                                 std::optional<FrameKey> nearer);

// Puts back what take_farthest_frames took out.
void put_back(StreamFrames& frames, const FreedFrames& freed);

// The files of `stream_dir` (root / key folder / stream folder), opened from
// `root` (a linked root followed, no link inside it), by their own size;
// empty when the folder cannot be opened (not made yet).
StreamFrames measure_stream_frames(const fs::path& root, const fs::path& stream_dir);

// Removes the key's frame file from the stream folder, through the folders
// opened one by one without following a link, and only a regular file of
// the store's name. True when it is gone.
bool remove_frame_file(const fs::path& root, const fs::path& stream_dir, FrameKey key);

}  // namespace vel
