#include "cache/unpack_queue.h"

#include <algorithm>
#include <limits>

namespace vel {

namespace {

// The queue's own time: truncated whole microseconds, not the rounded time
// of the cache's ordered sets.
int64_t queue_micros(FrameKey k) {
  if (k.scale == 0) return 0;
  return static_cast<int64_t>(k.value) * 1'000'000 / static_cast<int64_t>(k.scale);
}

uint64_t abs_diff(int64_t a, int64_t b) {
  return a >= b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b) : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

bool in_range(const MicrosRange& r, int64_t t) { return r.valid && r.start < r.end && t >= r.start && t < r.end; }

// Distance ahead of the playhead, wrapping at the end of the work range.
uint64_t forward_distance(const MicrosRange& r, int64_t t, int64_t f) {
  if (in_range(r, t) && in_range(r, f)) {
    const uint64_t span = abs_diff(r.end, r.start);
    // t − f lies in (−span, span): adding span when negative is the modulo.
    return t >= f ? abs_diff(t, f) : span - abs_diff(t, f);
  }
  return abs_diff(t, f);
}

// The shorter way round the loop: what scrubbing in either direction costs.
uint64_t loop_distance(const MicrosRange& r, int64_t t, int64_t f) {
  const uint64_t d = abs_diff(t, f);
  if (in_range(r, t) && in_range(r, f)) return std::min(d, abs_diff(r.end, r.start) - d);
  return d;
}

bool is_idle(const UnpackSlot& s) { return s.keys.empty() && s.state != UnpackSlotState::Running; }

void drop_idle_slots(UnpackQueue& q) { std::erase_if(q.slots, is_idle); }

void erase_key(std::vector<UnpackKey>& keys, FrameKey key) {
  std::erase_if(keys, [&](const UnpackKey& k) { return k.key == key; });
}

bool same_source(const UnpackSlot& s, const UnpackJob& j) {
  return s.width == j.width && s.height == j.height && same_payload(s.packed, j.packed);
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t out = 0;
  return __builtin_add_overflow(a, b, &out) ? std::numeric_limits<uint64_t>::max() : out;
}

}  // namespace

std::optional<std::pair<uint64_t, size_t>> unpack_job(const UnpackQueue& q, size_t index, const UnpackSlot& slot) {
  if (slot.keys.empty()) return std::nullopt;
  uint64_t best = std::numeric_limits<uint64_t>::max();
  for (const UnpackKey& k : slot.keys) {
    const uint64_t d = q.focus ? forward_distance(q.range, queue_micros(k.key), queue_micros(*q.focus)) : 0;
    best = std::min(best, d);
  }
  return std::make_pair(best, index);
}

SubmitOutcome submit_unpack_job(UnpackQueue& q, UnpackJob job, uint64_t limit) {
  std::lock_guard lock(q.mutex);
  if (q.stop) return SubmitOutcome::WorkerGone;
  uint64_t raw = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(job.width), static_cast<uint64_t>(job.height), &raw) ||
      __builtin_mul_overflow(raw, uint64_t{4}, &raw) || raw == 0) {
    return SubmitOutcome::Invalid;
  }
  uint64_t cost = 0;
  if (__builtin_add_overflow(job.packed.capacity(), raw, &cost) || cost > limit) return SubmitOutcome::Invalid;

  for (UnpackSlot& s : q.slots) {
    if (same_source(s, job)) {
      for (UnpackKey& k : s.keys) {
        if (k.key != job.key) continue;
        k.awaited = k.awaited || job.awaited;
        return SubmitOutcome::Queued;
      }
    } else {
      erase_key(s.keys, job.key);
    }
  }
  drop_idle_slots(q);

  size_t waiting_keys = 0;
  for (const UnpackSlot& s : q.slots) waiting_keys += s.keys.size();
  if (waiting_keys > kUnpackMaxWaitingKeys) return SubmitOutcome::NotNow;

  for (UnpackSlot& s : q.slots) {
    if (same_source(s, job)) {
      s.keys.push_back(UnpackKey{job.key, job.time, job.awaited});
      return SubmitOutcome::Queued;
    }
  }

  uint64_t total = cost;
  for (const UnpackSlot& s : q.slots) total = saturating_add(total, s.cost);
  if (q.slots.size() >= kUnpackMaxSlots || total > limit) return SubmitOutcome::NotNow;

  UnpackSlot slot;
  slot.keys.push_back(UnpackKey{job.key, job.time, job.awaited});
  slot.packed = std::move(job.packed);
  slot.width = job.width;
  slot.height = job.height;
  slot.sequence = ++q.sequence;
  slot.cost = cost;
  q.slots.push_back(std::move(slot));
  q.wake.notify_all();
  return SubmitOutcome::Queued;
}

std::optional<UnpackedFrame> take_unpacked_frame(UnpackQueue& q) {
  std::lock_guard lock(q.mutex);
  std::optional<std::pair<uint64_t, size_t>> best;
  for (size_t i = 0; i < q.slots.size(); ++i) {
    if (q.slots[i].state != UnpackSlotState::Done) continue;
    std::optional<std::pair<uint64_t, size_t>> rank = unpack_job(q, i, q.slots[i]);
    if (!rank) continue;
    if (!best || *rank < *best) best = rank;
  }
  if (!best) return std::nullopt;
  UnpackSlot& slot = q.slots[best->second];

  size_t pick = 0;
  if (q.focus) {
    const int64_t f = queue_micros(*q.focus);
    uint64_t nearest = std::numeric_limits<uint64_t>::max();
    for (size_t i = 0; i < slot.keys.size(); ++i) {
      const uint64_t d = forward_distance(q.range, queue_micros(slot.keys[i].key), f);
      if (d < nearest) {
        nearest = d;
        pick = i;
      }
    }
  }
  UnpackedFrame out{slot.packed, slot.keys[pick].key, slot.keys[pick].time, slot.result};
  slot.keys[pick] = slot.keys.back();
  slot.keys.pop_back();
  drop_idle_slots(q);
  return out;
}

void cancel_unpack_key(UnpackQueue& q, FrameKey key) {
  std::lock_guard lock(q.mutex);
  for (UnpackSlot& s : q.slots) erase_key(s.keys, key);
  drop_idle_slots(q);
}

void cancel_all_unpack_jobs(UnpackQueue& q) {
  std::lock_guard lock(q.mutex);
  for (UnpackSlot& s : q.slots) s.keys.clear();
  drop_idle_slots(q);
}

void focus_unpack_queue(UnpackQueue& q, FrameKey focus, MicrosRange range) {
  std::lock_guard lock(q.mutex);
  q.focus = focus;
  q.range = range;
  const int64_t f = queue_micros(focus);
  for (UnpackSlot& s : q.slots) {
    if (s.state != UnpackSlotState::Waiting) continue;
    std::erase_if(s.keys, [&](const UnpackKey& k) { return loop_distance(range, queue_micros(k.key), f) > kUnpackKeepMicros; });
  }
  drop_idle_slots(q);
}

bool has_pending_unpack_keys(UnpackQueue& q) {
  std::lock_guard lock(q.mutex);
  return std::any_of(q.slots.begin(), q.slots.end(), [](const UnpackSlot& s) { return !s.keys.empty(); });
}

uint64_t pending_unpack_bytes(UnpackQueue& q) {
  std::lock_guard lock(q.mutex);
  uint64_t total = 0;
  for (const UnpackSlot& s : q.slots) {
    const uint64_t packed = s.packed.capacity();
    total = saturating_add(total, s.cost > packed ? s.cost - packed : 0);
  }
  return total;
}

std::optional<UnpackWork> wait_for_unpack_work(UnpackQueue& q) {
  std::unique_lock lock(q.mutex);
  for (;;) {
    if (q.stop) return std::nullopt;
    std::optional<std::pair<uint64_t, size_t>> best;
    for (size_t i = 0; i < q.slots.size(); ++i) {
      if (q.slots[i].state != UnpackSlotState::Waiting) continue;
      std::optional<std::pair<uint64_t, size_t>> rank = unpack_job(q, i, q.slots[i]);
      if (rank && (!best || *rank < *best)) best = rank;
    }
    if (best) {
      UnpackSlot& slot = q.slots[best->second];
      slot.state = UnpackSlotState::Running;
      return UnpackWork{slot.sequence, slot.packed, slot.width, slot.height, slot.keys.front().time};
    }
    q.wake.wait(lock);
  }
}

bool finish_unpack_work(UnpackQueue& q, uint64_t sequence, std::optional<RgbaFrame> result) {
  std::lock_guard lock(q.mutex);
  bool awaited = false;
  for (UnpackSlot& s : q.slots) {
    if (s.sequence == sequence && s.state == UnpackSlotState::Running) {
      s.result = std::move(result);
      s.state = UnpackSlotState::Done;
      awaited = std::any_of(s.keys.begin(), s.keys.end(), [](const UnpackKey& k) { return k.awaited; });
      break;
    }
  }
  drop_idle_slots(q);
  return awaited;
}

void stop_unpack_queue(UnpackQueue& q) {
  {
    std::lock_guard lock(q.mutex);
    q.stop = true;
  }
  q.wake.notify_all();
}

}  // namespace vel
