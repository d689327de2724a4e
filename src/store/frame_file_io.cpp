#include "store/frame_file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <new>

#include "core/file_replace.h"
#include "store/frame_file.h"
#include "store/store_names.h"
#include "store/store_tree.h"

namespace vel {

std::optional<uint64_t> write_file_atomically(const fs::path& dir, const std::string& name,
                                              std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  if (!replace_file(dir / name, {head, tail})) return std::nullopt;
  return uint64_t{head.size()} + tail.size();
}

bool frame_file_exists(const fs::path& stream_dir, FrameKey key) {
  struct stat st {};
  return ::stat((stream_dir / frame_file_name(key)).c_str(), &st) == 0;
}

std::optional<uint64_t> write_frame_file(const fs::path& stream_dir, FrameKey key, std::span<const uint8_t> header,
                                         std::span<const uint8_t> payload) {
  const FrameCheck check = frame_check({header, payload});
  const fs::path path = stream_dir / frame_file_name(key);
  bool written = replace_file(path, {header, payload, check}).ok();
  struct stat st {};
  if (!written && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    // A folder under a frame's name is no frame and never becomes one: a
    // load refuses it and a rename cannot replace it, so it would cost a
    // render and a failed write in every run. It goes when it holds nothing
    // but what the store writes; anything else in it is not the store's.
    const DirFd dir = open_dir_followed(stream_dir);
    written = dir.ok() && remove_store_folder(dir.get(), path.filename().native()) &&
              replace_file(path, {header, payload, check}).ok();
  }
  if (!written) return std::nullopt;
  return uint64_t{header.size()} + payload.size() + check.size();
}

std::optional<uint64_t> write_raw_frame_file(const fs::path& stream_dir, FrameKey key, const RgbaFrame& frame) {
  std::optional<std::vector<uint8_t>> payload = pack_frame_payload(frame);
  if (!payload || key.scale == 0 || !std::isfinite(frame.time) ||
      payload->size() > std::numeric_limits<uint32_t>::max()) {
    return std::nullopt;
  }
  const FrameHeader header =
      vnf3_header(key, frame.width, frame.height, frame.time, static_cast<uint32_t>(payload->size()));
  return write_frame_file(stream_dir, key, header, *payload);
}

std::optional<uint64_t> write_packed_frame_file(const fs::path& stream_dir, FrameKey key, const PackedFrame& frame) {
  const std::optional<uint64_t> raw = raw_frame_bytes(frame.width, frame.height);
  const std::span<const uint8_t> payload = frame.packed.bytes();
  if (!raw || payload.size() < 4) return std::nullopt;
  if (payload.size() > kMaxPackedPayloadBytes || load_u32_le(payload.data()) != *raw) return std::nullopt;
  if (!lz4_block_decodes_to(payload.subspan(4), *raw)) return std::nullopt;
  if (key.scale == 0 || !std::isfinite(frame.time)) return std::nullopt;
  const FrameHeader header =
      vnf3_header(key, frame.width, frame.height, frame.time, static_cast<uint32_t>(payload.size()));
  return write_frame_file(stream_dir, key, header, payload);
}

std::optional<uint64_t> write_alias_file(const fs::path& stream_dir, FrameKey key, double time, FrameKey target) {
  if (!std::isfinite(time) || key.scale == 0 || target.scale == 0) return std::nullopt;
  const auto bytes = vnf4_bytes(key, time, target);
  return write_frame_file(stream_dir, key, bytes, {});
}

std::vector<FrameKey> list_stored_keys(const fs::path& stream_dir) {
  std::vector<FrameKey> keys;
  std::error_code ec;
  fs::directory_iterator it(stream_dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (auto key = parse_frame_file_name(it->path().filename().native())) keys.push_back(*key);
  }
  return keys;
}

}  // namespace vel
