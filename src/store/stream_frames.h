// The frame files of the stream the store writes, with their sizes, so that
// the store stays under its cap with that stream counted: when a frame
// needs room, the frames farthest from the playhead (in the cache's order,
// cache/focus_distance.h) make way for it, and only for a frame nearer than
// they are. Store thread only.
#pragma once

#include <sys/stat.h>

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

// Sizes are the disk a file takes (its blocks), not its length: a store of
// small frames takes many times its bytes.
struct StreamFrames {
  std::set<TimedKey> by_time;
  std::unordered_map<FrameKey, uint64_t, FrameKeyHasher> sizes;
  // The aliases by the frame whose file holds their pixels, and back: an
  // alias is readable only while that file is there.
  std::unordered_map<FrameKey, std::vector<FrameKey>, FrameKeyHasher> aliases;
  std::unordered_map<FrameKey, FrameKey, FrameKeyHasher> targets;
  uint64_t frame_bytes = 0;  // the sum of `sizes`
  uint64_t other_bytes = 0;  // the stream's other files (markers, leftovers) when measured

  uint64_t total() const;
  bool holds(FrameKey key) const { return sizes.contains(key); }
  // Adds the key's file, or sets its new size.
  void put(FrameKey key, uint64_t size);
  // The same for an alias of `target`.
  void put_alias(FrameKey key, uint64_t size, FrameKey target);
  // Forgets the key's file, and its links as an alias or a target.
  void drop(FrameKey key);
};

struct FreedFrame {
  FrameKey key;
  uint64_t size = 0;
  std::optional<FrameKey> target;  // an alias's frame with pixels
};

// The frames taken out to make room, farthest first, each frame's aliases
// just before it, and their bytes.
struct FreedFrames {
  std::vector<FreedFrame> frames;
  uint64_t bytes = 0;
};

// Takes out of `frames` the frames farthest from the focus, one by one,
// until `needed` bytes are freed; never the focus's own frame, and, when
// `nearer` is given, only frames strictly farther from the focus than it.
// A frame goes with its aliases, which would name no file without it, and
// stays while one of them may not go. Stops short when no frame may go
// (without a focus none may). Pure.
FreedFrames take_farthest_frames(StreamFrames& frames, uint64_t needed, const StoreFocus& focus,
                                 std::optional<FrameKey> nearer);

// Puts back what take_farthest_frames took out.
void put_back(StreamFrames& frames, const FreedFrames& freed);

// The disk a file of this status takes: its blocks, not its length.
uint64_t disk_bytes(const struct stat& st);

// The files of `stream_dir` (root / key folder / stream folder), opened from
// `root` (a linked root followed, no link inside it), by the disk each
// takes, the aliases with their targets (a file of an alias's length is
// read, at most that many bytes, never through a link or a FIFO); empty
// when the folder cannot be opened (not made yet).
StreamFrames measure_stream_frames(const fs::path& root, const fs::path& stream_dir);

// Removes the aliases whose target is no frame file of the stream (a crash
// between the removal of a frame and of its aliases), from the folder and
// from `frames`: listed, they would count as on disk and never load.
// Answers their keys.
std::vector<FrameKey> remove_broken_aliases(const fs::path& root, const fs::path& stream_dir, StreamFrames& frames);

// The disk the key's frame file takes; none when its status cannot be read.
std::optional<uint64_t> frame_file_disk_bytes(const fs::path& root, const fs::path& stream_dir, FrameKey key);

// Removes the key's frame file from the stream folder, through the folders
// opened one by one without following a link, and only a regular file of
// the store's name. True when it is gone.
bool remove_frame_file(const fs::path& root, const fs::path& stream_dir, FrameKey key);

}  // namespace vel
