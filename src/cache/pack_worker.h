// The pack worker ("velocinta-pack") and the cache side of its link: start,
// send one job without waiting, poll one result without waiting.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "cache/pack_link.h"
#include "cache/worker_registry.h"

namespace vel {

// L × 110 / 100 + 24: room for the u32 header and any LZ4 block of L bytes.
uint64_t pack_capacity(uint64_t raw_len);

// The packed form of `pixels` (u32 LE length, then one LZ4 block) at its
// exact length; none when the frame is too long, memory is short or
// compression fails. Never logs, never aborts.
std::optional<std::vector<uint8_t>> pack_pixels(std::span<const uint8_t> pixels);

// The packed form of `pixels`: u32 LE length, then one LZ4 block; its
// capacity is exactly its length. Empty, after logging "cache: compression
// allocation failed; retaining raw frame", when the frame is too long, memory
// is short or compression fails; never aborts.
std::vector<uint8_t> pack_frame(std::span<const uint8_t> pixels);

// The packed form of `pixels` compressed in `scratch` (at least as long as
// the pixels) and copied out at its exact length, when it is shorter than
// the pixels; an empty vector when it would not be; none when the frame is
// too long, the scratch too short or memory is short.
std::optional<std::vector<uint8_t>> pack_pixels_smaller(std::span<const uint8_t> pixels, std::span<uint8_t> scratch);

// What the pack worker sends back for a frame: pack_pixels_smaller with a
// scratch buffer taken from the pixel buffer pool and given back to it, so
// that the worker does not leave a freed compression buffer behind in its
// thread's allocator arena for every frame it packs. Empty, after logging
// "cache: compression allocation failed; retaining raw frame", when packing
// failed; empty without a word when the packed form would not be shorter
// (the frame stays raw either way).
std::vector<uint8_t> pack_pooled(std::span<const uint8_t> pixels);

// Body of "velocinta-pack": packs every job received with pack_pooled,
// returns freed frame memory to the system when enough was let go
// (release_freed_frame_memory), and sends back (key, the same pixels, packed
// bytes); returns when the channel closes.
void pack_worker_loop(const std::shared_ptr<PackChannel>& channel);

// Starts the worker through `registry`; none when the registry refuses it
// (the registry has logged why).
std::optional<PackLink> start_pack_worker(BackgroundWorkerRegistry& registry = BackgroundWorkerRegistry::process());

// Hands a job over without waiting. Marks a job in flight with 2 × the
// packing capacity as bytes in flight; a closed channel drops the job and
// clears both.
void send_pack_job(PackLink& link, FrameKey key, RgbaFrame frame);

// One finished result, never waiting. A result, or the worker's departure,
// clears the job-in-flight flag and the bytes in flight.
std::optional<PackResult> receive_pack_result(PackLink& link);

}  // namespace vel
