#include "memout/output_consumer.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "memout/manifest.h"

namespace vel {

namespace {

// Every access below goes to the header through the descriptor and to the
// payload under the copy's guard: the producer may cut the file at any
// moment, between any check and any use, and none of it faults.

// Best effort: tells the producer to stop while its file still holds the
// header to say so.
void close_output(const SharedMemorySegment& segment, std::memory_order order) {
  (void)segment.store_word(HeaderWord::Closed, 1, order);
}

// A take that went wrong after it held the slot: the pixels are dropped, the
// producer told to stop, the slot handed back.
Err<MemoutError> refuse_held_slot(const SharedMemorySegment& segment, std::vector<uint8_t>& pixels,
                                  MemoutError error) {
  pixels.clear();
  close_output(segment, std::memory_order_release);
  (void)segment.store_word(HeaderWord::SlotState, kSlotFree);
  return Err<MemoutError>{std::move(error)};
}

OutputFrameMeta parse_slot_frame(const uint8_t (&bytes)[kSlotFrameBytes], uint64_t& payload_length) {
  std::memcpy(&payload_length, bytes, sizeof payload_length);
  OutputFrameMeta meta;
  std::memcpy(&meta, bytes + sizeof payload_length, sizeof meta);
  return meta;
}

}  // namespace

MemoryOutputConsumer& MemoryOutputConsumer::operator=(MemoryOutputConsumer&& other) noexcept {
  if (this != &other) {
    release();
    segment_ = std::move(other.segment_);
    contract_ = other.contract_;
    token_ = other.token_;
    mapping_name_ = std::move(other.mapping_name_);
    manifest_path_ = std::move(other.manifest_path_);
    output_path_ = std::move(other.output_path_);
    received_ = std::move(other.received_);
    frames_expected_ = other.frames_expected_;
    frames_received_ = other.frames_received_;
    still_since_ = other.still_since_;
    made_ = other.made_;
    cut_before_take_ = other.cut_before_take_;
  }
  return *this;
}

MemoryOutputConsumer::~MemoryOutputConsumer() { release(); }

void MemoryOutputConsumer::release() noexcept {
  // A moved-from consumer holds no mapping and owns nothing.
  if (!segment_.mapped()) return;
  close_output(segment_, std::memory_order_seq_cst);
  if (!manifest_path_.empty()) unlink(manifest_path_.c_str());
  segment_ = SharedMemorySegment();  // removes the name, then unmaps
  received_.clear();
}

MemoutResult<MemoryOutputConsumer> create_memory_output(std::string_view output_path, const OutputRequest& req) {
  const SegmentIdentity id = next_segment_identity();
  uint64_t capacity = 0;
  if (!req.null_mode) {
    auto c = rgba8_capacity(req.width, req.height);
    if (!c) return Err<MemoutError>{c.error()};
    capacity = *c;
  }
  Manifest m;
  m.version = 1;
  m.token = id.token;
  m.mapping_name = id.name;
  m.output_path = std::string(output_path);
  m.capacity = capacity;
  m.range_start = req.range_start;
  m.range_end = req.range_end;
  m.step = req.step;
  m.key_scale = req.key_scale;
  m.width = req.width;
  m.height = req.height;
  m.mode = req.null_mode ? ManifestMode::Null : ManifestMode::Memory;
  if (auto valid = validate_output_contract(m, output_path); !valid) return Err<MemoutError>{valid.error()};
  auto manifest_path = manifest_path_for_output(output_path);
  if (!manifest_path) return Err<MemoutError>{manifest_path.error()};

  auto mapped = map_shared_memory(id.name, kSegmentHeaderBytes + capacity, true);
  if (!mapped) return Err<MemoutError>{mapped.error()};
  MemoryOutputConsumer consumer;
  consumer.segment_ = std::move(*mapped);  // from here on, a failure removes the name
  // The file was made zero-filled; only the identity is written.
  SegmentHeader identity{};
  std::memcpy(identity.magic, kSegmentMagic, sizeof identity.magic);
  std::memcpy(identity.token, id.token.data(), sizeof identity.token);
  identity.capacity = capacity;
  constexpr uint64_t kIdentityBytes = offsetof(SegmentHeader, slot_state);
  if (auto written = consumer.segment_.write_exact(0, reinterpret_cast<const uint8_t*>(&identity), kIdentityBytes);
      !written) {
    return Err<MemoutError>{written.error()};
  }

  if (auto made = consumer.segment_.file_status()) consumer.made_ = *made;
  if (auto written = write_manifest_file(*manifest_path, m); !written) return Err<MemoutError>{written.error()};
  consumer.manifest_path_ = *manifest_path;

  auto count = output_frame_count(req.range_start, req.range_end);
  if (!count) return Err<MemoutError>{count.error()};
  consumer.contract_ = contract_from_manifest(m);
  consumer.token_ = id.token;
  consumer.mapping_name_ = id.name;
  consumer.output_path_ = std::string(output_path);
  consumer.frames_expected_ = *count;
  consumer.received_.assign((*count + 63) / 64, 0);
  return consumer;
}

MemoutResult<std::optional<OutputFrameMeta>> take_slot_frame(MemoryOutputConsumer& consumer,
                                                             std::vector<uint8_t>& pixels) {
  const SharedMemorySegment& segment = consumer.segment();
  // A shrunk segment is refused before its slot is taken.
  auto refuse = [&segment](const MemoutError& error) {
    close_output(segment, std::memory_order_release);
    return Err<MemoutError>{error};
  };
  auto changed = [&segment, &pixels] {
    return refuse_held_slot(segment, pixels,
                            MemoutError{MemoutErrorKind::InvalidData, 0, "shared-memory segment changed under the frame"});
  };
  // The look that opens the bracket around the copy. A cut that takes no
  // page (one byte off the end, and back) raises no fault and leaves the
  // header as it was; the bytes past the cut come back zeroed all the same.
  // Only the file's status tells: its length, and its change time, which a
  // cut always moves.
  auto look = segment.file_status();
  if (!look) return refuse(look.error());
  if (look->size < 0 || static_cast<uint64_t>(look->size) < segment.mapped_length()) {
    return refuse(MemoutError{MemoutErrorKind::InvalidData, 0, "shared-memory mapping is too short"});
  }
  auto closed = segment.load_word(HeaderWord::Closed);
  if (!closed) return refuse(closed.error());
  if (*closed != 0) return memout_fail(MemoutErrorKind::BrokenPipe, "consumer closed");
  auto state = segment.load_word(HeaderWord::SlotState);
  if (!state) return refuse(state.error());
  if (*state != kSlotReady) {
    // The first empty slot once the producer set the unlinked word (after
    // its last change of the file's status: the name's removal, its pages
    // made writable) gives the status the first frame is held to.
    // The producer holds its first frame until the watched word: the status
    // is taken after that word's own write, which moves the file's times,
    // and before any frame can be published.
    if (*state == kSlotFree && !consumer.still_since_) {
      auto unlinked = segment.load_word(HeaderWord::Unlinked);
      if (unlinked && *unlinked != 0) {
        if (segment.store_word(HeaderWord::Watched, 1)) {
          if (auto now = segment.file_status()) consumer.still_since_ = *now;
        }
      }
    }
    return std::optional<OutputFrameMeta>();
  }
  // Cut since the host released the frame before (or since it made the
  // segment): this one may have lost bytes before this look. Told after the
  // record's own checks (receive_output_frame), which name a hostile
  // producer's fault better.
  if (consumer.still_since_) {
    consumer.cut_before_take_ = *look != *consumer.still_since_;
  } else if (consumer.made_) {
    consumer.cut_before_take_ = look->size != consumer.made_->size || look->mtime_s != consumer.made_->mtime_s ||
                                look->mtime_ns != consumer.made_->mtime_ns;
  } else {
    consumer.cut_before_take_ = false;
  }
  // Ready stays ready: the producer waits until the slot is free. The slot
  // is claimed only after the copy, since the claim, written through the
  // descriptor, moves the file's times itself and must not fall inside the
  // bracket.
  // One read of each producer-written value; only the locals are used below.
  uint8_t slot_frame[kSlotFrameBytes];
  if (auto read = segment.read_exact(kSlotFrameOffset, slot_frame, sizeof slot_frame); !read) {
    return refuse_held_slot(segment, pixels, read.error());
  }
  uint64_t length = 0;
  const OutputFrameMeta meta = parse_slot_frame(slot_frame, length);
  const uint64_t capacity = consumer.contract().capacity;  // ours, not the header's
  if (length > capacity) {
    return refuse_held_slot(segment, pixels,
                            MemoutError{MemoutErrorKind::InvalidData, 0, "shared-memory payload exceeds capacity"});
  }
  try {
    if (pixels.capacity() < length) pixels.reserve(std::max<uint64_t>({length, pixels.capacity() * 2, 8}));
    pixels.resize(length);
  } catch (const std::exception&) {
    (void)segment.store_word(HeaderWord::SlotState, kSlotFree);
    return memout_fail(MemoutErrorKind::OutOfMemory, "pixel allocation failed");
  }
  // A file cut under the copy answers short instead of faulting.
  if (length > 0) {
    if (auto read = segment.copy_out(kSegmentHeaderBytes, pixels.data(), length); !read) {
      return refuse_held_slot(segment, pixels, read.error());
    }
  }
  // A file cut and grown again under the copy gave back zeroed pages, with
  // no fault to tell: the header went with them, and "ready" with it.
  auto still = segment.load_word(HeaderWord::SlotState);
  if (!still || *still != kSlotReady) {
    pixels.clear();
    close_output(segment, std::memory_order_release);
    return still ? memout_invalid("shared-memory slot changed during the copy") : Err<MemoutError>{still.error()};
  }
  // The look that closes the bracket: the file still covers the slot, and
  // nothing moved its status since the first.
  auto after = segment.file_status();
  if (!after) return refuse_held_slot(segment, pixels, after.error());
  if (after->size < 0 || static_cast<uint64_t>(after->size) < segment.mapped_length()) {
    return refuse_held_slot(segment, pixels,
                            MemoutError{MemoutErrorKind::InvalidData, 0, "shared-memory mapping is too short"});
  }
  if (*after != *look) return changed();
  if (auto held = segment.store_word(HeaderWord::SlotState, kSlotReading); !held) {
    pixels.clear();
    return refuse(held.error());
  }
  if (auto freed = segment.store_word(HeaderWord::SlotState, kSlotFree); !freed) {
    pixels.clear();
    return Err<MemoutError>{freed.error()};
  }
  // The host's own writes moved the times: the next frame is held to the
  // status they left. The producer's stores through its mapping move them
  // only when they fault a page in, which it did before the unlinked word
  // (unless the system swapped the segment out since).
  auto left = segment.file_status();
  if (left) {
    consumer.still_since_ = *left;
  } else {
    consumer.still_since_.reset();
  }
  return std::optional<OutputFrameMeta>(meta);
}

MemoutResult<std::optional<DeliveredFrame>> receive_output_frame(MemoryOutputConsumer& consumer,
                                                                 std::vector<uint8_t>& pixels) {
  auto taken = take_slot_frame(consumer, pixels);
  if (!taken) return Err<MemoutError>{taken.error()};
  if (!taken->has_value()) return std::optional<DeliveredFrame>();
  const OutputFrameMeta meta = **taken;
  const uint64_t length = pixels.size();

  auto refuse = [&](const char* text) -> MemoutResult<std::optional<DeliveredFrame>> {
    pixels.clear();
    close_output(consumer.segment(), std::memory_order_release);
    return memout_invalid(text);
  };
  if (meta.time_scale > 0xFFFFFFFFu) return refuse("time scale overflow");
  if (meta.width > 0xFFFFFFFFu) return refuse("width overflow");
  if (meta.height > 0xFFFFFFFFu) return refuse("height overflow");
  if (meta.mode != kFrameModePixels && meta.mode != kFrameModeNull) return refuse("unknown output mode");
  if (meta.contract[0] != 1 || meta.contract[1] != 1 || meta.contract[2] != 0) {
    return refuse("unknown RGBA8 premultiplied metadata contract");
  }
  const OutputContract& c = consumer.contract();
  const bool null_frame = meta.mode == kFrameModeNull;
  int64_t time_value = 0;
  if (meta.frame < c.range_start || meta.frame > c.range_end || !checked_frame_time(meta.frame, c.step, time_value) ||
      time_value != meta.time_value || meta.time_scale != c.key_scale || meta.width != c.width ||
      meta.height != c.height || null_frame != c.null_mode || length != c.capacity) {
    return refuse("frame does not belong to this output contract");
  }
  int64_t index = 0;
  if (__builtin_sub_overflow(meta.frame, c.range_start, &index) || index < 0) return refuse("invalid frame index");
  const auto word = static_cast<uint64_t>(index) / 64;
  const uint64_t bit = uint64_t{1} << (static_cast<uint64_t>(index) % 64);
  std::vector<uint64_t>& received = consumer.received_;
  if (word >= received.size()) return refuse("frame bitmap overflow");
  if (received[word] & bit) return refuse("duplicate output frame");
  if (consumer.cut_before_take_) return refuse("shared-memory segment changed under the frame");
  received[word] |= bit;
  ++consumer.frames_received_;

  DeliveredFrame f;
  f.frame = meta.frame;
  f.time_value = meta.time_value;
  f.publish_ns = meta.publish_ns;
  f.slot_wait_ns = meta.slot_wait_ns;
  f.copy_ns = meta.copy_ns;
  f.time_scale = static_cast<uint32_t>(meta.time_scale);
  f.width = static_cast<uint32_t>(meta.width);
  f.height = static_cast<uint32_t>(meta.height);
  f.null_frame = null_frame;
  return std::optional<DeliveredFrame>(f);
}

bool all_frames_received(const MemoryOutputConsumer& consumer) {
  return consumer.frames_received() == consumer.frames_expected();
}

MemoutResult<OutputCompletion> checked_output_completion(const MemoryOutputConsumer& consumer) {
  // A shrunk segment will never complete: the output is refused, and the
  // reader falls back.
  const SharedMemorySegment& segment = consumer.segment();
  if (auto whole = segment.check_whole(); !whole) return Err<MemoutError>{whole.error()};
  // Finished first: the producer publishes its last frame before it says
  // so, and an empty slot seen after the word is then truly the end.
  auto finished = segment.load_word(HeaderWord::Finished);
  if (!finished) return Err<MemoutError>{finished.error()};
  auto state = segment.load_word(HeaderWord::SlotState);
  if (!state) return Err<MemoutError>{state.error()};
  if (*finished == 0 || *state != kSlotFree) return OutputCompletion::Running;
  return all_frames_received(consumer) ? OutputCompletion::Complete : OutputCompletion::Incomplete;
}

OutputCompletion output_completion(const MemoryOutputConsumer& consumer) {
  auto checked = checked_output_completion(consumer);
  return checked ? *checked : OutputCompletion::Incomplete;
}

void close_memory_output(MemoryOutputConsumer& consumer) {
  close_output(consumer.segment(), std::memory_order_seq_cst);
}

}  // namespace vel
