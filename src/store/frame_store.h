// Saving and loading single frames of one stream folder, on the store
// thread only: saves write each key once and alias a frame whose pixels are
// the very buffer of the last frame written; loads share frames that are
// still alive instead of decoding them again, follow aliases one level, and
// remember which files they rejected so that the next save replaces them.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "cache/cached_frame.h"
#include "cache/frame_key.h"
#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"

namespace vel {

namespace fs = std::filesystem;

inline constexpr size_t kLoadedTableLimit = 256;

// A frame to save: raw pixels, or the cache's packed form.
using StoredFrame = std::variant<RgbaFrame, PackedFrame>;

enum class WrittenKind { None, Raw, Packed };

// The last frame actually written with pixels in the stream: the target of
// the next alias.
struct LastWritten {
  WeakPixelPayload payload;
  FrameKey key;
  uint32_t width = 0;
  uint32_t height = 0;
  WrittenKind kind = WrittenKind::None;
};

struct FileIdentity {
  uint64_t size = 0;
  int64_t mtime_sec = 0;
  uint32_t mtime_nsec = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct LoadedEntry {
  double time = 0.0;
  uint64_t stamp = 0;
  WeakPixelPayload payload;
  FileIdentity identity;
  uint32_t width = 0;
  uint32_t height = 0;
};

struct LoadedFrame {
  FrameKey key;
  PixelPayload pixels;
  double time = 0.0;
  uint32_t width = 0;
  uint32_t height = 0;
};

struct LoadContext {
  std::optional<fs::path> directory;
  std::vector<uint8_t> read_buffer;  // normally empty between loads
  std::unordered_map<FrameKey, LoadedEntry, FrameKeyHasher> loaded;
  uint64_t stamp = 0;
  std::atomic<uint64_t>* gauge = nullptr;  // the store's load gauge, when one is shared
  // Keys whose file exists but a load refused (truncated, corrupt, a bad
  // alias): the next save of such a key writes over the file.
  std::unordered_set<FrameKey, FrameKeyHasher> rejected;
};

// The size a loaded frame must have: the composition's at the downsample
// the preview asks for. Each side may be rounded either way: the host rounds
// a downsampled side up, and a pool frame reduced once more rounds it down.
// A frame of any other size was made by a worker that rendered another
// picture (a template that crops or stretches), or at another downsample,
// and is never loaded.
struct LoadSize {
  uint32_t comp_width = 0;
  uint32_t comp_height = 0;
  uint32_t downsample = 1;
};
bool load_size_fits(const LoadSize& size, uint32_t width, uint32_t height);

// Forgets the folder, the table, the rejected keys and the read buffer.
void reset_load_context(LoadContext& ctx);

// Saves one frame under `key`; answers the bytes written (0 when the key's
// file already exists and is not in `replace`, leaving it and `last`
// untouched). A written key leaves `replace`.
std::optional<uint64_t> store_frame(const fs::path& stream_dir, FrameKey key, const StoredFrame& frame,
                                    LastWritten& last, std::unordered_set<FrameKey, FrameKeyHasher>& replace);

// Whether saving `frame` under `key` writes an alias of the last frame
// written: the very same pixel buffer, another key, the same kind and size.
bool aliases_last_written(FrameKey key, const StoredFrame& frame, const LastWritten& last);

// The most bytes saving `frame` under `key` writes: an alias's, or a frame
// file's with the largest payload packing may give.
uint64_t frame_write_bound(FrameKey key, const StoredFrame& frame, const LastWritten& last);

// The key's frame from the stream folder; none for a missing, unreadable,
// oversized or corrupt file, a file of another key, a broken alias, or a
// frame that does not fit `size` (when given). A refused file is replaced by
// the next save of its key. Never logs. The load gauge holds the bytes in
// use while it runs, 0 after.
std::optional<LoadedFrame> load_frame_file(const fs::path& stream_dir, FrameKey key, LoadContext& ctx,
                                           const std::optional<LoadSize>& size = std::nullopt);

// Writes an empty ".last_used" in the folder when it is one; errors ignored.
void touch_last_used(const fs::path& stream_dir);

}  // namespace vel
