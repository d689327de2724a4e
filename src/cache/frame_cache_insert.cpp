// Admission of frames into the cache: validation of produced frames, the
// budget test, replacement rules and deduplication against the last payload.
#include <cstring>
#include <utility>

#include "cache/archive.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/payload_accounting.h"
#include "core/machine.h"

namespace vel {

namespace {

constexpr uint64_t kDedupMaxBytes = 1'048'576;
constexpr uint64_t kArchiveRecountNs = 1'000'000'000;

// Frames of identical content arrive back to back (a held frame rendered
// again, a still composition); sharing the payload counts it once.
bool same_bytes_sampled(const PixelPayload& a, const PixelPayload& b) {
  const size_t len = a.size();
  const size_t step = std::max<size_t>(len / 64, 1);
  const uint8_t* pa = a.data();
  const uint8_t* pb = b.data();
  for (size_t off = 0; off < len; off += step) {
    if (pa[off] != pb[off]) return false;
  }
  return len == 0 || std::memcmp(pa, pb, len) == 0;
}

uint64_t own_bytes(const FrameCache& cache, const CachedFrame* entry) {
  if (entry == nullptr) return 0;
  const PixelPayload& p = entry->payload();
  return cache_sole_holder(cache, p) ? p.capacity() : 0;
}

// Keeps the keys still in the index, once each at their latest position: a
// key evicted and inserted again must not pile up duplicates.
void compact_insertion_fifo(FrameCache& cache) {
  std::unordered_map<FrameKey, size_t, FrameKeyHasher> last_at;
  for (size_t i = 0; i < cache.insertion_fifo.size(); ++i) last_at[cache.insertion_fifo[i]] = i;
  std::deque<FrameKey> kept;
  for (size_t i = 0; i < cache.insertion_fifo.size(); ++i) {
    FrameKey k = cache.insertion_fifo[i];
    if (last_at[k] == i && cache.index.contains(k)) kept.push_back(k);
  }
  cache.insertion_fifo = std::move(kept);
}

}  // namespace

bool frame_fits_budget(FrameCache& cache, const CachedFrame* entry, uint64_t n) {
  const uint64_t need = sat_sub(n, own_bytes(cache, entry));
  const uint64_t limit = cache_byte_limit(cache);
  if (sat_add(need, cache.used_bytes) <= limit) return true;
  if (!cache.archive.empty()) {
    const uint64_t now = mono_ns();
    if (!cache.archive_stamp_ns || sat_sub(now, *cache.archive_stamp_ns) >= kArchiveRecountNs) {
      refresh_archive_bytes(cache);
    }
  }
  return sat_add(need, sat_sub(cache.used_bytes, cache.archive_bytes)) <= limit;
}

bool upgrade_fits_budget(FrameCache& cache, FrameKey key, uint32_t wanted_width) {
  if (cache.index.empty()) return true;
  auto it = cache.index.find(key);
  if (it == cache.index.end()) return true;
  const uint64_t cw = it->second.width();
  if (cw >= wanted_width) return true;
  if (cw == 0) return false;
  const uint64_t factor = (wanted_width + cw - 1) / cw;
  const uint64_t new_height = uint64_t{it->second.height()} * factor;
  if (new_height > UINT32_MAX) return false;
  const uint64_t pixels = new_height * wanted_width;
  if (pixels >= (uint64_t{1} << 62)) return false;
  return frame_fits_budget(cache, &it->second, pixels * 4);
}

void insert_frame(FrameCache& cache, FrameKey key, RgbaFrame frame) {
  reclaim_released_payloads(cache, kSettleBatch);
  const uint64_t n = frame.pixels.capacity();

  if (auto it = cache.index.find(key); it != cache.index.end()) {
    const uint32_t cw = it->second.width();
    const uint32_t ch = it->second.height();
    const bool larger = frame.width > cw || (frame.width == cw && frame.height > ch);
    if (larger) {
      if (!frame_fits_budget(cache, &it->second, n)) return;
      uint64_t allowance = kArchiveEvictionAllowance;
      // The archive eviction never touches the index, so `it` stays valid.
      while (sat_sub(sat_add(n, cache.used_bytes), own_bytes(cache, &it->second)) > cache_byte_limit(cache)) {
        if (!evict_from_archive(cache, allowance)) return;
      }
    }
    if (cw > frame.width) {
      sat_inc(cache.narrower_rejects);
      return;
    }
  }

  const size_t len = frame.pixels.size();
  if (cache.last_payload && !same_payload(cache.last_payload, frame.pixels) && cache.last_payload.size() == len &&
      len <= kDedupMaxBytes && same_bytes_sampled(cache.last_payload, frame.pixels)) {
    frame.pixels = cache.last_payload;
    sat_inc(cache.dedup_hits);
    cache.dedup_bytes = sat_add(cache.dedup_bytes, len);
  }

  sat_inc(cache.insert_count);
  if (cache.unpack_queue) cancel_unpack_key(*cache.unpack_queue, key);
  cache.last_payload = frame.pixels;
  ++cache.generation;
  queue_frame_for_store(cache, key);

  std::optional<CachedFrame> old = replace_cache_entry(cache, key, CachedFrame(std::move(frame)));
  cache.key_changes.note(key, old ? KeyChange::Replaced : KeyChange::Came);
  const TimedKey timed = TimedKey::of(key);
  if (old) {
    drop_cache_entry(cache, std::move(*old));
    cache.pack_candidates.insert(timed);
  } else {
    cache.insertion_fifo.push_back(key);
    cache.all_frames.insert(timed);
    cache.pack_candidates.insert(timed);
    if (cache.insertion_fifo.size() > sat_add(sat_add(cache.index.size(), cache.index.size()), 64)) {
      compact_insertion_fifo(cache);
    }
  }
  enforce_cache_budget(cache);
}

OfferAnswer offer_rendered_frame(FrameCache& cache, FrameKey key, RgbaFrame frame) {
  if (key.scale == 0 || frame.width == 0 || frame.height == 0) return OfferAnswer::Invalid;
  const unsigned __int128 expected = static_cast<unsigned __int128>(frame.width) * frame.height * 4;
  if (expected != frame.pixels.size()) return OfferAnswer::Invalid;
  if (auto it = cache.index.find(key); it != cache.index.end()) {
    const uint32_t cw = it->second.width();
    const uint32_t ch = it->second.height();
    const bool grows = frame.width >= cw && frame.height >= ch && (frame.width != cw || frame.height != ch);
    if (!grows) return OfferAnswer::NotLarger;
  }
  const uint32_t width = frame.width;
  const uint32_t height = frame.height;
  frame.time = static_cast<double>(key.value) / static_cast<double>(key.scale);
  const uint64_t generation = cache.generation;
  insert_frame(cache, key, std::move(frame));
  // A growing frame that insert_frame turned away found no room for its
  // bytes (a narrower one never comes this far); one it took and the
  // budget put out again was the farthest from the playhead.
  if (cache.generation == generation) return OfferAnswer::NoRoom;
  auto it = cache.index.find(key);
  if (it == cache.index.end() || it->second.width() != width || it->second.height() != height) {
    return OfferAnswer::NoRoom;
  }
  return OfferAnswer::Stored;
}

bool cache_rendered_frame(FrameCache& cache, FrameKey key, RgbaFrame frame) {
  return offer_rendered_frame(cache, key, std::move(frame)) == OfferAnswer::Stored;
}

}  // namespace vel
