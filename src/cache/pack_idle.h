// The idle tick's packing step: install at most one finished pack result,
// then hand the raw frame farthest from the playhead (beyond a minimum
// distance) to the pack worker.
#pragma once

#include <cstdint>
#include <optional>

#include "cache/frame_cache.h"
#include "cache/pack_link.h"
#include "cache/worker_registry.h"

namespace vel {

inline constexpr double kPackMinFrameDurations = 56.0;
inline constexpr uint32_t kPackExaminedPerTick = 32;

// The idle tick's minimum packing distance: 56 frame durations in seconds
// (a scale of 0 counts as 1).
double pack_min_distance_seconds(int64_t frame_duration_value, uint32_t frame_duration_scale);

// Largest raw frame worth packing: a quarter of clamp(budget, 16 MiB, 128 MiB).
uint64_t pack_max_frame_bytes(uint64_t budget_bytes);

// Once per idle tick with pack_min_distance_seconds, and with 0.0 right after
// a raster fill pass. Does nothing while packing is disabled or the frame
// packing switch is off.
void pack_idle_frames(FrameCache& cache, double min_distance_seconds);
// The same with the switch's value and the registry given.
void pack_idle_frames(FrameCache& cache, double min_distance_seconds, bool packing_switch,
                      BackgroundWorkerRegistry& registry);

// Installs one pack result as a packed entry when the key still holds the
// very pixels that were sent and lies beyond `tolerance_micros` from the
// focus; puts it back among the candidates when it came too near; otherwise
// drops it.
void install_pack_result(FrameCache& cache, PackResult result, int64_t tolerance_micros);

}  // namespace vel
