#include "store/frame_store.h"

#include <sys/stat.h>

#include <algorithm>

#include "cache/buffer_pool.h"
#include "cache/pack_worker.h"
#include "core/file_replace.h"
#include "store/frame_file.h"
#include "store/frame_file_io.h"
#include "store/store_names.h"

namespace vel {

namespace {

void set_gauge(const LoadContext& ctx, uint64_t bytes) {
  if (ctx.gauge) ctx.gauge->store(bytes, std::memory_order_seq_cst);
}

// The identity of a regular file (symbolic links followed); none for
// anything else or an unreadable status. `exists` tells whether something
// was there at all.
std::optional<FileIdentity> regular_file_identity(const fs::path& path, bool& exists) {
  struct stat st {};
  exists = ::stat(path.c_str(), &st) == 0;
  if (!exists || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                      static_cast<uint32_t>(st.st_mtim.tv_nsec)};
}

std::optional<LoadedFrame> lookup_loaded(LoadContext& ctx, FrameKey key, const FileIdentity& identity) {
  ++ctx.stamp;
  auto it = ctx.loaded.find(key);
  if (it == ctx.loaded.end() || !(it->second.identity == identity)) return std::nullopt;
  std::optional<PixelPayload> live = it->second.payload.upgrade();
  if (!live) return std::nullopt;
  it->second.stamp = ctx.stamp;
  return LoadedFrame{key, std::move(*live), it->second.time, it->second.width, it->second.height};
}

void remember_loaded(LoadContext& ctx, FrameKey key, const DecodedFrame& frame, const FileIdentity& identity) {
  if (ctx.loaded.size() >= kLoadedTableLimit) {
    std::erase_if(ctx.loaded, [](const auto& e) { return e.second.payload.expired(); });
  }
  if (ctx.loaded.size() >= kLoadedTableLimit) {
    auto oldest = ctx.loaded.begin();
    for (auto it = ctx.loaded.begin(); it != ctx.loaded.end(); ++it) {
      if (it->second.stamp < oldest->second.stamp) oldest = it;
    }
    ctx.loaded.erase(oldest);
  }
  ++ctx.stamp;
  ctx.loaded[key] = LoadedEntry{frame.time, ctx.stamp, frame.pixels.downgrade(), identity, frame.width, frame.height};
}

// Reads `path` (already known as a regular file of `identity`) into the
// context's buffer, taking a pooled buffer for it when one is to be had.
bool read_into_context(const fs::path& path, const FileIdentity& identity, LoadContext& ctx) {
  if (identity.size > kMaxFrameFileBytes) return false;
  set_gauge(ctx, std::max<uint64_t>(ctx.read_buffer.capacity(), identity.size));
  if (std::optional<ByteBuffer> pooled = take_pooled_buffer(identity.size, identity.size * 2)) {
    ctx.read_buffer = std::move(*pooled);
    set_gauge(ctx, ctx.read_buffer.capacity());
  }
  return read_file_limited(path, kMaxFrameFileBytes, ctx.read_buffer).ok();
}

// Decodes the context's buffer as a frame file of `key`, publishing the
// decode's memory in the gauge, and remembers it.
std::optional<DecodedFrame> decode_context_buffer(LoadContext& ctx, FrameKey key, const FileIdentity& identity) {
  uint64_t pixels = 0;
  if (ctx.read_buffer.size() >= 20) {
    pixels = uint64_t{load_u32_le(&ctx.read_buffer[12])} * load_u32_le(&ctx.read_buffer[16]);
    pixels = pixels > kMaxRawFrameBytes ? 0 : pixels * 4;
  }
  set_gauge(ctx, ctx.read_buffer.capacity() + pixels);
  std::optional<DecodedFrame> frame = parse_frame_file(ctx.read_buffer);
  if (!frame || !(frame->key == key)) return std::nullopt;
  remember_loaded(ctx, key, *frame, identity);
  return frame;
}

std::optional<LoadedFrame> load_through_alias(const fs::path& stream_dir, FrameKey key, const AliasRecord& alias,
                                              LoadContext& ctx) {
  if (!(alias.key == key) || alias.target == key) return std::nullopt;
  bool exists = false;
  const fs::path target_path = stream_dir / frame_file_name(alias.target);
  std::optional<FileIdentity> identity = regular_file_identity(target_path, exists);
  if (!identity) return std::nullopt;
  if (std::optional<LoadedFrame> hit = lookup_loaded(ctx, alias.target, *identity)) {
    return LoadedFrame{key, std::move(hit->pixels), alias.time, hit->width, hit->height};
  }
  if (!read_into_context(target_path, *identity, ctx)) return std::nullopt;
  std::optional<DecodedFrame> target = decode_context_buffer(ctx, alias.target, *identity);
  if (!target) return std::nullopt;
  return LoadedFrame{key, std::move(target->pixels), alias.time, target->width, target->height};
}

std::optional<LoadedFrame> load_uncounted(const fs::path& stream_dir, FrameKey key, LoadContext& ctx, bool& exists) {
  const fs::path path = stream_dir / frame_file_name(key);
  std::optional<FileIdentity> identity = regular_file_identity(path, exists);
  if (!identity) return std::nullopt;
  if (std::optional<LoadedFrame> hit = lookup_loaded(ctx, key, *identity)) return hit;
  if (!read_into_context(path, *identity, ctx)) return std::nullopt;
  if (std::optional<AliasRecord> alias = parse_alias_file(ctx.read_buffer)) {
    return load_through_alias(stream_dir, key, *alias, ctx);
  }
  std::optional<DecodedFrame> frame = decode_context_buffer(ctx, key, *identity);
  if (!frame) return std::nullopt;
  return LoadedFrame{key, std::move(frame->pixels), frame->time, frame->width, frame->height};
}

// A side of `side` pixels at downsample `d`, rounded down or up.
bool side_fits(uint32_t side, uint32_t comp_side, uint32_t d) {
  const uint32_t down = std::max<uint32_t>(comp_side / d, 1);
  const uint32_t up = comp_side / d + (comp_side % d != 0 ? 1 : 0);
  return side == down || side == up;
}

}  // namespace

bool load_size_fits(const LoadSize& size, uint32_t width, uint32_t height) {
  const uint32_t d = std::max<uint32_t>(size.downsample, 1);
  return side_fits(width, size.comp_width, d) && side_fits(height, size.comp_height, d);
}

void reset_load_context(LoadContext& ctx) {
  ctx.directory.reset();
  ctx.loaded.clear();
  ctx.rejected.clear();
  std::vector<uint8_t>().swap(ctx.read_buffer);
}

bool aliases_last_written(FrameKey key, const StoredFrame& frame, const LastWritten& last) {
  const auto* raw = std::get_if<RgbaFrame>(&frame);
  const auto* packed = std::get_if<PackedFrame>(&frame);
  const WrittenKind kind = raw ? WrittenKind::Raw : WrittenKind::Packed;
  const uint32_t width = raw ? raw->width : packed->width;
  const uint32_t height = raw ? raw->height : packed->height;
  if (last.kind != kind || last.key == key || last.width != width || last.height != height) return false;
  std::optional<PixelPayload> live = last.payload.upgrade();
  return live && same_payload(*live, raw ? raw->pixels : packed->packed);
}

uint64_t frame_write_bound(FrameKey key, const StoredFrame& frame, const LastWritten& last) {
  if (aliases_last_written(key, frame, last)) return kAliasFileBytes;
  const auto* raw = std::get_if<RgbaFrame>(&frame);
  const uint64_t payload = raw ? pack_capacity(raw->pixels.size()) : std::get<PackedFrame>(frame).packed.size();
  return kFrameHeaderBytes + payload + kFrameCheckBytes;
}

std::optional<uint64_t> store_frame(const fs::path& stream_dir, FrameKey key, const StoredFrame& frame,
                                    LastWritten& last, std::unordered_set<FrameKey, FrameKeyHasher>& replace) {
  if (!replace.contains(key) && frame_file_exists(stream_dir, key)) return uint64_t{0};
  const auto* raw = std::get_if<RgbaFrame>(&frame);
  const auto* packed = std::get_if<PackedFrame>(&frame);
  const PixelPayload& payload = raw ? raw->pixels : packed->packed;
  const WrittenKind kind = raw ? WrittenKind::Raw : WrittenKind::Packed;
  const uint32_t width = raw ? raw->width : packed->width;
  const uint32_t height = raw ? raw->height : packed->height;
  const double time = raw ? raw->time : packed->time;

  if (aliases_last_written(key, frame, last)) {
    // The record stays on the frame with pixels: every alias names a real file.
    std::optional<uint64_t> written = write_alias_file(stream_dir, key, time, last.key);
    if (written) replace.erase(key);
    return written;
  }
  std::optional<uint64_t> written =
      raw ? write_raw_frame_file(stream_dir, key, *raw) : write_packed_frame_file(stream_dir, key, *packed);
  if (!written) return std::nullopt;
  last = LastWritten{payload.downgrade(), key, width, height, kind};
  replace.erase(key);
  return written;
}

std::optional<LoadedFrame> load_frame_file(const fs::path& stream_dir, FrameKey key, LoadContext& ctx,
                                           const std::optional<LoadSize>& size) {
  if (!ctx.directory || *ctx.directory != stream_dir) {
    reset_load_context(ctx);
    ctx.directory = stream_dir;
  }
  bool exists = false;
  std::optional<LoadedFrame> frame = load_uncounted(stream_dir, key, ctx, exists);
  if (frame && size && !load_size_fits(*size, frame->width, frame->height)) frame.reset();
  if (frame) {
    ctx.rejected.erase(key);
  } else if (exists) {
    ctx.rejected.insert(key);
  }
  std::vector<uint8_t> buffer = std::move(ctx.read_buffer);
  ctx.read_buffer = {};
  if (buffer.capacity() > 0) return_pooled_buffer(std::move(buffer));
  set_gauge(ctx, 0);
  return frame;
}

void touch_last_used(const fs::path& stream_dir) {
  std::error_code ec;
  if (!fs::is_directory(stream_dir, ec)) return;
  // A fresh empty file each time: its modification time is the use, and a
  // link planted under the marker's name is replaced, never written through.
  (void)replace_file(stream_dir / kLastUsedFile, std::span<const uint8_t>());
}

}  // namespace vel
