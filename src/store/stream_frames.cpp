#include "store/stream_frames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/bounded_read.h"
#include "core/dir_fd.h"
#include "store/frame_file.h"
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

bool remove_frame_file_at(int dir, FrameKey key) {
  const std::string name = frame_file_name(key);
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) return false;
  return ::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
}

// The target of the alias file `name` of `key`; none when it is no alias of
// that key (another kind of file, a damaged one: the load refuses it).
std::optional<FrameKey> alias_target_at(int dir, const std::string& name, FrameKey key) {
  auto file = open_regular_file_at(dir, name, name);
  if (!file.ok()) return std::nullopt;
  std::vector<uint8_t> bytes;
  if (!read_open_file(file.value(), name, kAliasFileBytes, bytes).ok()) return std::nullopt;
  std::optional<AliasRecord> alias = parse_alias_file(bytes);
  if (!alias || !(alias->key == key) || alias->target == key) return std::nullopt;
  return alias->target;
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

void StreamFrames::put_alias(FrameKey key, uint64_t size, FrameKey target) {
  put(key, size);
  if (auto old = targets.find(key); old != targets.end()) {
    if (old->second == target) return;
    std::erase(aliases[old->second], key);
  }
  targets[key] = target;
  aliases[target].push_back(key);
}

void StreamFrames::drop(FrameKey key) {
  if (auto t = targets.find(key); t != targets.end()) {
    auto a = aliases.find(t->second);
    if (a != aliases.end() && (std::erase(a->second, key), a->second.empty())) aliases.erase(a);
    targets.erase(t);
  }
  if (auto a = aliases.find(key); a != aliases.end()) {
    for (FrameKey alias : a->second) targets.erase(alias);
    aliases.erase(a);
  }
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
  auto may_go = [&](FrameKey key) {
    return !(key == *focus.focus) && (!bound || distance_from_focus(*focus.focus, focus.range, key) > *bound);
  };
  auto take = [&](FrameKey key) {
    auto t = frames.targets.find(key);
    FreedFrame f{key, frames.sizes.at(key), t != frames.targets.end() ? std::optional(t->second) : std::nullopt};
    freed.bytes = sat_add64(freed.bytes, f.size);
    freed.frames.push_back(f);
    frames.drop(key);
  };
  // Frames kept for an alias that may not go, out of the walk until its end.
  std::vector<TimedKey> kept;
  while (freed.bytes < needed) {
    std::optional<TimedKey> far = farthest_key_from(*focus.focus, focus.range, frames.by_time);
    if (!far || !may_go(far->key)) break;
    auto a = frames.aliases.find(far->key);
    const std::vector<FrameKey> along = a != frames.aliases.end() ? a->second : std::vector<FrameKey>();
    if (!std::all_of(along.begin(), along.end(), may_go)) {
      frames.by_time.erase(*far);
      kept.push_back(*far);
      continue;
    }
    for (FrameKey alias : along) take(alias);
    take(far->key);
  }
  frames.by_time.insert(kept.begin(), kept.end());
  return freed;
}

void put_back(StreamFrames& frames, const FreedFrames& freed) {
  for (const FreedFrame& f : freed.frames) {
    if (f.target) {
      frames.put_alias(f.key, f.size, *f.target);
    } else {
      frames.put(f.key, f.size);
    }
  }
}

uint64_t disk_bytes(const struct stat& st) {
  constexpr uint64_t kBlockUnit = 512;  // st_blocks counts these, whatever the volume's block
  const auto blocks = static_cast<uint64_t>(st.st_blocks > 0 ? st.st_blocks : 0);
  return blocks > UINT64_MAX / kBlockUnit ? UINT64_MAX : blocks * kBlockUnit;
}

StreamFrames measure_stream_frames(const fs::path& root, const fs::path& stream_dir) {
  StreamFrames out;
  DirFd dir = open_stream(root, stream_dir);
  if (!dir.ok()) return out;
  for (const std::string& name : folder_names(dir.get())) {
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_size <= 0) continue;
    const uint64_t size = disk_bytes(st);
    std::optional<FrameKey> key = S_ISREG(st.st_mode) ? parse_frame_file_name(name) : std::nullopt;
    // Only a file of the name the store writes for its key is ever removed
    // as that frame; any other counts without a key.
    if (key && frame_file_name(*key) != name) key.reset();
    if (!key) {
      out.other_bytes = sat_add64(out.other_bytes, size);
    } else if (std::optional<FrameKey> target = st.st_size == kAliasFileBytes ? alias_target_at(dir.get(), name, *key)
                                                                               : std::nullopt) {
      out.put_alias(*key, size, *target);
    } else {
      out.put(*key, size);
    }
  }
  return out;
}

std::vector<FrameKey> remove_broken_aliases(const fs::path& root, const fs::path& stream_dir, StreamFrames& frames) {
  std::vector<FrameKey> broken;
  for (const auto& [alias, target] : frames.targets) {
    // Aliases are followed one level: one naming another alias is as broken.
    if (!frames.holds(target) || frames.targets.contains(target)) broken.push_back(alias);
  }
  if (broken.empty()) return broken;
  DirFd dir = open_stream(root, stream_dir);
  if (!dir.ok()) return {};
  std::erase_if(broken, [&](FrameKey key) { return !remove_frame_file_at(dir.get(), key); });
  for (FrameKey key : broken) frames.drop(key);
  return broken;
}

std::optional<uint64_t> frame_file_disk_bytes(const fs::path& root, const fs::path& stream_dir, FrameKey key) {
  DirFd dir = open_stream(root, stream_dir);
  if (!dir.ok()) return std::nullopt;
  struct stat st {};
  if (::fstatat(dir.get(), frame_file_name(key).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return disk_bytes(st);
}

bool remove_frame_file(const fs::path& root, const fs::path& stream_dir, FrameKey key) {
  DirFd dir = open_stream(root, stream_dir);
  return dir.ok() && remove_frame_file_at(dir.get(), key);
}

}  // namespace vel
