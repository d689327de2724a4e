#include "store/stream_frames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/dir_fd.h"
#include "store/store_names.h"

namespace vel {

namespace {

uint64_t sat_add64(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

DirFd open_stream(const fs::path& root, const fs::path& stream_dir) {
  DirFd root_fd = open_dir_followed(root);
  if (!root_fd.ok()) return {};
  DirFd key_fd = open_dir_at(root_fd.get(), stream_dir.parent_path().filename().native());
  if (!key_fd.ok()) return {};
  return open_dir_at(key_fd.get(), stream_dir.filename().native());
}

}  // namespace

uint64_t StreamFrames::total() const { return sat_add64(frame_bytes, other_bytes); }

void StreamFrames::put(FrameKey key, uint64_t size) {
  auto [it, added] = sizes.try_emplace(key, size);
  if (added) {
    by_time.insert(TimedKey::of(key));
  } else {
    frame_bytes -= std::min(frame_bytes, it->second);
    it->second = size;
  }
  frame_bytes = sat_add64(frame_bytes, size);
}

void StreamFrames::drop(FrameKey key) {
  auto it = sizes.find(key);
  if (it == sizes.end()) return;
  frame_bytes -= std::min(frame_bytes, it->second);
  sizes.erase(it);
  by_time.erase(TimedKey::of(key));
}

FreedFrames take_farthest_frames(StreamFrames& frames, uint64_t needed, const StoreFocus& focus,
                                 std::optional<FrameKey> nearer) {
  FreedFrames freed;
  if (!focus.focus) return freed;
  const std::optional<int64_t> bound =
      nearer ? std::optional(distance_from_focus(*focus.focus, focus.range, *nearer)) : std::nullopt;
  while (freed.bytes < needed) {
    std::optional<TimedKey> far = farthest_key_from(*focus.focus, focus.range, frames.by_time);
    if (!far || (bound && distance_from_focus(*focus.focus, focus.range, far->key) <= *bound)) break;
    const uint64_t size = frames.sizes.at(far->key);
    freed.frames.emplace_back(far->key, size);
    freed.bytes = sat_add64(freed.bytes, size);
    frames.drop(far->key);
  }
  return freed;
}

void put_back(StreamFrames& frames, const FreedFrames& freed) {
  for (const auto& [key, size] : freed.frames) frames.put(key, size);
}

StreamFrames measure_stream_frames(const fs::path& root, const fs::path& stream_dir) {
  StreamFrames out;
  DirFd dir = open_stream(root, stream_dir);
  if (!dir.ok()) return out;
  for (const std::string& name : folder_names(dir.get())) {
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_size <= 0) continue;
    const auto size = static_cast<uint64_t>(st.st_size);
    std::optional<FrameKey> key = S_ISREG(st.st_mode) ? parse_frame_file_name(name) : std::nullopt;
    // Only a file of the name the store writes for its key is ever removed
    // as that frame; any other counts without a key.
    if (key && frame_file_name(*key) != name) key.reset();
    if (key) {
      out.put(*key, size);
    } else {
      out.other_bytes = sat_add64(out.other_bytes, size);
    }
  }
  return out;
}

bool remove_frame_file(const fs::path& root, const fs::path& stream_dir, FrameKey key) {
  DirFd dir = open_stream(root, stream_dir);
  if (!dir.ok()) return false;
  const std::string name = frame_file_name(key);
  struct stat st {};
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) return false;
  return ::unlinkat(dir.get(), name.c_str(), 0) == 0 || errno == ENOENT;
}

}  // namespace vel
