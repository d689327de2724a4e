// Typed calls over animatable properties: the Stream, Keyframe and Dynamic
// Stream suites. Stream references are the caller's to dispose (OwnedStream
// does it on every path); every stream value the host hands out is disposed
// inside the call that read it. Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

// A host stream value reduced to its kind and up to four numbers: x, y, z
// for the 3-D kinds, x, y for the 2-D kinds, the value for 1-D.
enum class StreamKind : uint8_t {
  None,
  ThreeD,
  ThreeDSpatial,
  TwoD,
  TwoDSpatial,
  OneD,
  Color,
  LayerId,
  MaskId,
  Mask,
  TextDocument,
};
struct StreamValue {
  StreamKind kind = StreamKind::None;
  std::array<double, 4> n{};
  friend bool operator==(const StreamValue&, const StreamValue&) = default;
};

// The host's stream type number as a kind; marker and arbitrary-data types
// (and numbers outside the set) are an internal "Unknown enum value" error.
Result<StreamKind, AeError> stream_kind_from_type(int32_t type);

Status<AeError> dispose_stream(StreamRefH stream);

// A stream reference disposed when it goes out of scope. It holds its own
// acquisition of the Stream suite, taken before the reference was, so the
// means to give it back can never be missing. A failed disposal there is
// not reported: the caller has nothing left to do about it.
class OwnedStream {
 public:
  OwnedStream() = default;
  OwnedStream(OwnedStream&& o) noexcept
      : s_(std::exchange(o.s_, nullptr)), suite_(std::exchange(o.suite_, nullptr)) {}
  OwnedStream& operator=(OwnedStream&& o) noexcept {
    if (this != &o) {
      reset();
      s_ = std::exchange(o.s_, nullptr);
      suite_ = std::exchange(o.suite_, nullptr);
    }
    return *this;
  }
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;
  ~OwnedStream() { reset(); }
  StreamRefH get() const { return s_; }
  void reset();

 private:
  friend struct OwnedStreamMaker;
  OwnedStream(StreamRefH s, const void* suite) : s_(s), suite_(suite) {}
  StreamRefH s_ = nullptr;
  const void* suite_ = nullptr;  // the acquired Stream suite table
};

// One of the layer's own streams (0 anchor, 1 position, 2 scale, 3 rotation,
// 4 opacity).
Result<OwnedStream, AeError> new_layer_stream(PluginId plugin_id, LayerH layer, int32_t which);
Result<bool, AeError> expression_enabled(PluginId plugin_id, StreamRefH stream);
// The value at layer time 0, before expressions.
Result<StreamValue, AeError> stream_value_at_start(PluginId plugin_id, StreamRefH stream);

Result<int32_t, AeError> stream_num_keyframes(StreamRefH stream);
// In composition time.
Result<HostTime, AeError> keyframe_time(StreamRefH stream, int32_t index);
Result<StreamValue, AeError> keyframe_value(PluginId plugin_id, StreamRefH stream, int32_t index);
// The host's incoming and outgoing interpolation numbers; the Keyframe
// suite is kept for the process.
Result<std::pair<int32_t, int32_t>, AeError> keyframe_interpolation(StreamRefH stream, int32_t index);
struct KeyEase {
  double speed = 0;
  double influence = 0;
};
// Incoming and outgoing temporal ease of one dimension.
Result<std::pair<KeyEase, KeyEase>, AeError> keyframe_temporal_ease(StreamRefH stream, int32_t index,
                                                                    int32_t dimension);

// The property tree (Dynamic Stream suite).
Result<bool, AeError> is_separation_leader(StreamRefH stream);
Result<bool, AeError> dimensions_separated(StreamRefH leader);
Result<OwnedStream, AeError> layer_root_stream(PluginId plugin_id, LayerH layer);
Result<int32_t, AeError> streams_in_group(StreamRefH group);
Result<OwnedStream, AeError> stream_child(PluginId plugin_id, StreamRefH group, int32_t index);
// A name that fills the host's buffer without a terminating zero is
// refused as InvalidParms.
Result<std::string, AeError> stream_match_name(StreamRefH stream);
Result<bool, AeError> stream_is_modified(StreamRefH stream);

}  // namespace vel
