// Reading one transform property of a layer through the host, and turning
// what was read into an animated value of the comp model. Every problem
// becomes a text in the layer's `unsupported` list; nothing here fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/handles.h"
#include "host/stream_calls.h"
#include "raster/comp_model.h"

namespace vel {

struct RawKeyframe {
  double t = 0;  // composition time, seconds
  StreamValue value;
  Interpolation interp = Interpolation::Linear;
  std::optional<TemporalEase> ease_in;  // both present or both absent
  std::optional<TemporalEase> ease_out;
  std::optional<KeySides> sides;  // absent when a side is unknown
};

struct StreamFailed {};
using StreamCapture = std::variant<StreamFailed, StreamValue, std::vector<RawKeyframe>>;

// The host's layer-stream numbers.
enum LayerStreamNumber : int32_t { kStreamAnchor = 0, kStreamPosition = 1, kStreamScale = 2, kStreamRotation = 3, kStreamOpacity = 4 };

// The property `stream` of `layer` as the host holds it before expressions.
// The stream reference and every suite are released on every path.
StreamCapture read_layer_stream(PluginId plugin_id, LayerH layer, int32_t stream, const std::string& name,
                                std::vector<std::string>& unsupported);

// The interpolation of a key from the host's incoming and outgoing numbers
// (1 linear, 2 bezier, 3 hold; anything else unknown).
Interpolation key_interpolation(int32_t in, int32_t out);

// What was read, as the model keeps it (pure: the rules only).
AnimatedScalar scalar_from_capture(const StreamCapture& capture, const std::string& name,
                                   std::vector<std::string>& unsupported);
AnimatedVec2 vec2_from_capture(const StreamCapture& capture, const std::string& name, double neutral_z,
                               std::vector<std::string>& unsupported);

// read_layer_stream, then the matching conversion.
AnimatedScalar capture_keyframed_scalar(PluginId plugin_id, LayerH layer, int32_t stream, const std::string& name,
                                        std::vector<std::string>& unsupported);
AnimatedVec2 capture_keyframed_vec2(PluginId plugin_id, LayerH layer, int32_t stream, const std::string& name,
                                    double neutral_z, std::vector<std::string>& unsupported);

// A host time in seconds; a scale of 0 is never a valid time and counts as
// 0 rather than a division by zero.
inline double host_seconds(HostTime t) {
  return t.scale == 0 ? 0.0 : static_cast<double>(t.value) / static_cast<double>(t.scale);
}

// a + b in seconds, divided once: the nearest double to the exact sum. None
// for a zero scale or when the exact fraction leaves 53 bits.
inline std::optional<double> host_time_sum_seconds(HostTime a, HostTime b) {
  if (a.scale == 0 || b.scale == 0) return std::nullopt;
  int64_t num = 0;
  if (__builtin_add_overflow(int64_t{a.value} * b.scale, int64_t{b.value} * a.scale, &num)) return std::nullopt;
  const uint64_t den = uint64_t{a.scale} * b.scale;
  constexpr int64_t kExact = int64_t{1} << 53;
  if (num > kExact || num < -kExact || den > uint64_t{kExact}) return std::nullopt;
  return static_cast<double>(num) / static_cast<double>(den);
}

// "field_error(" + inner + ")".
inline std::string field_error(const std::string& inner) { return "field_error(" + inner + ")"; }

}  // namespace vel
