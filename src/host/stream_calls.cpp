#include "host/stream_calls.h"

#include <cstring>

#include "host/suite_access.h"
#include "host/utf_text.h"

namespace vel {

Result<StreamKind, AeError> stream_kind_from_type(int32_t type) {
  switch (type) {
    case AEGP_StreamType_NO_DATA: return StreamKind::None;
    case AEGP_StreamType_ThreeD_SPATIAL: return StreamKind::ThreeDSpatial;
    case AEGP_StreamType_ThreeD: return StreamKind::ThreeD;
    case AEGP_StreamType_TwoD_SPATIAL: return StreamKind::TwoDSpatial;
    case AEGP_StreamType_TwoD: return StreamKind::TwoD;
    case AEGP_StreamType_OneD: return StreamKind::OneD;
    case AEGP_StreamType_COLOR: return StreamKind::Color;
    case AEGP_StreamType_LAYER_ID: return StreamKind::LayerId;
    case AEGP_StreamType_MASK_ID: return StreamKind::MaskId;
    case AEGP_StreamType_MASK: return StreamKind::Mask;
    case AEGP_StreamType_TEXT_DOCUMENT: return StreamKind::TextDocument;
    default: return Err{AeError::internal("Unknown enum value AEGP_StreamType: " + std::to_string(type))};
  }
}

namespace {

StreamValue reduce_value(StreamKind kind, const AEGP_StreamVal2& v) {
  StreamValue out;
  out.kind = kind;
  switch (kind) {
    case StreamKind::ThreeD:
    case StreamKind::ThreeDSpatial: out.n = {v.three_d.x, v.three_d.y, v.three_d.z, 0}; break;
    case StreamKind::TwoD:
    case StreamKind::TwoDSpatial: out.n = {v.two_d.x, v.two_d.y, 0, 0}; break;
    case StreamKind::OneD: out.n = {v.one_d, 0, 0, 0}; break;
    case StreamKind::Color: out.n = {v.color.alpha, v.color.red, v.color.green, v.color.blue}; break;
    case StreamKind::LayerId:
    case StreamKind::MaskId: out.n = {static_cast<double>(v.id), 0, 0, 0}; break;
    default: break;
  }
  return out;
}

// Reads a value the host hands out through `fetch`, reduces it and gives it
// back: the host's value is disposed on every path once it was handed out.
template <class Fetch>
Result<StreamValue, AeError> read_and_dispose(const AEGP_StreamSuite11& streams, StreamRefH stream, Fetch fetch) {
  AEGP_StreamType type = AEGP_StreamType_NO_DATA;
  if (auto st = check_ae(streams.GetStreamType(stream, &type)); !st) return Err{st.error()};
  auto kind = stream_kind_from_type(type);
  if (!kind) return Err{kind.error()};
  AEGP_StreamValue2 value{};
  if (auto st = check_ae(fetch(&value)); !st) return Err{st.error()};
  StreamValue reduced = reduce_value(kind.value(), value.val);
  if (auto st = check_ae(streams.DisposeStreamValue(&value)); !st) return Err{st.error()};
  return reduced;
}

}  // namespace

// Builds owned references: takes the Stream suite first, then lets `make`
// ask for the reference; whatever the host handed out is owned, even beside
// an error.
struct OwnedStreamMaker {
  template <class Make>
  static Result<OwnedStream, AeError> make(const char* call, Make make) {
    auto streams = acquire_suite<AEGP_StreamSuite11>();
    if (!streams) return Err{streams.error()};
    AEGP_StreamRefH s = nullptr;
    A_Err rc = make(&s);
    if (!s) {
      if (auto st = check_ae(rc); !st) return Err{st.error()};
      return Err{AeError::internal(std::string(call) + ": null stream")};
    }
    OwnedStream owned(s, std::move(streams.value()).keep());
    if (auto st = check_ae(rc); !st) return Err{st.error()};
    return owned;
  }
};

void OwnedStream::reset() {
  if (!suite_) return;
  const auto* streams = static_cast<const AEGP_StreamSuite11*>(std::exchange(suite_, nullptr));
  if (StreamRefH s = std::exchange(s_, nullptr)) streams->DisposeStream(s);
  release_raw_suite(stored_basic_suite(), SuiteTraits<AEGP_StreamSuite11>::id);
}

Status<AeError> dispose_stream(StreamRefH stream) {
  VEL_TRY_SUITE(streams, AEGP_StreamSuite11);
  return check_ae(streams->DisposeStream(stream));
}

Result<OwnedStream, AeError> new_layer_stream(PluginId plugin_id, LayerH layer, int32_t which) {
  VEL_TRY_SUITE(streams, AEGP_StreamSuite11);
  return OwnedStreamMaker::make("GetNewLayerStream", [&](AEGP_StreamRefH* s) {
    return streams->GetNewLayerStream(plugin_id, layer, which, s);
  });
}

Result<bool, AeError> expression_enabled(PluginId plugin_id, StreamRefH stream) {
  VEL_TRY_SUITE(streams, AEGP_StreamSuite11);
  A_Boolean on = 0;
  if (auto st = check_ae(streams->GetExpressionState(plugin_id, stream, &on)); !st) return Err{st.error()};
  return on != 0;
}

Result<StreamValue, AeError> stream_value_at_start(PluginId plugin_id, StreamRefH stream) {
  VEL_TRY_SUITE(streams, AEGP_StreamSuite11);
  const A_Time zero{0, 100};
  return read_and_dispose(*streams, stream, [&](AEGP_StreamValue2* v) {
    return streams->GetNewStreamValue(plugin_id, stream, AEGP_LTimeMode_LayerTime, &zero, 1, v);
  });
}

Result<int32_t, AeError> stream_num_keyframes(StreamRefH stream) {
  VEL_TRY_SUITE(keys, AEGP_KeyframeSuite5);
  A_long n = 0;
  if (auto st = check_ae(keys->GetStreamNumKFs(stream, &n)); !st) return Err{st.error()};
  return n;
}

Result<HostTime, AeError> keyframe_time(StreamRefH stream, int32_t index) {
  VEL_TRY_SUITE(keys, AEGP_KeyframeSuite5);
  A_Time t{0, 0};
  if (auto st = check_ae(keys->GetKeyframeTime(stream, index, AEGP_LTimeMode_CompTime, &t)); !st) {
    return Err{st.error()};
  }
  return HostTime{t.value, t.scale};
}

Result<StreamValue, AeError> keyframe_value(PluginId plugin_id, StreamRefH stream, int32_t index) {
  VEL_TRY_SUITE(keys, AEGP_KeyframeSuite5);
  VEL_TRY_SUITE(streams, AEGP_StreamSuite11);
  return read_and_dispose(*streams, stream,
                          [&](AEGP_StreamValue2* v) { return keys->GetNewKeyframeValue(plugin_id, stream, index, v); });
}

Result<std::pair<int32_t, int32_t>, AeError> keyframe_interpolation(StreamRefH stream, int32_t index) {
  auto keys = keep_suite<AEGP_KeyframeSuite5>();
  if (!keys) return Err{keys.error()};
  AEGP_KeyframeInterpolationType in = AEGP_KeyInterp_NONE, out = AEGP_KeyInterp_NONE;
  if (auto st = check_ae(keys.value()->GetKeyframeInterpolation(stream, index, &in, &out)); !st) {
    return Err{st.error()};
  }
  return std::pair<int32_t, int32_t>{in, out};
}

Result<std::pair<KeyEase, KeyEase>, AeError> keyframe_temporal_ease(StreamRefH stream, int32_t index,
                                                                    int32_t dimension) {
  VEL_TRY_SUITE(keys, AEGP_KeyframeSuite5);
  AEGP_KeyframeEase in{}, out{};
  if (auto st = check_ae(keys->GetKeyframeTemporalEase(stream, index, dimension, &in, &out)); !st) {
    return Err{st.error()};
  }
  return std::pair<KeyEase, KeyEase>{{in.speed, in.influence}, {out.speed, out.influence}};
}

Result<bool, AeError> is_separation_leader(StreamRefH stream) {
  VEL_TRY_SUITE(dyn, AEGP_DynamicStreamSuite5);
  A_Boolean leader = 0;
  if (auto st = check_ae(dyn->IsSeparationLeader(stream, &leader)); !st) return Err{st.error()};
  return leader != 0;
}

Result<bool, AeError> dimensions_separated(StreamRefH leader) {
  VEL_TRY_SUITE(dyn, AEGP_DynamicStreamSuite5);
  A_Boolean separated = 0;
  if (auto st = check_ae(dyn->AreDimensionsSeparated(leader, &separated)); !st) return Err{st.error()};
  return separated != 0;
}

Result<OwnedStream, AeError> layer_root_stream(PluginId plugin_id, LayerH layer) {
  VEL_TRY_SUITE(dyn, AEGP_DynamicStreamSuite5);
  return OwnedStreamMaker::make("GetNewStreamRefForLayer",
                                [&](AEGP_StreamRefH* s) { return dyn->GetNewStreamRefForLayer(plugin_id, layer, s); });
}

Result<int32_t, AeError> streams_in_group(StreamRefH group) {
  VEL_TRY_SUITE(dyn, AEGP_DynamicStreamSuite5);
  A_long n = 0;
  if (auto st = check_ae(dyn->GetNumStreamsInGroup(group, &n)); !st) return Err{st.error()};
  return n;
}

Result<OwnedStream, AeError> stream_child(PluginId plugin_id, StreamRefH group, int32_t index) {
  VEL_TRY_SUITE(dyn, AEGP_DynamicStreamSuite5);
  return OwnedStreamMaker::make("GetNewStreamRefByIndex", [&](AEGP_StreamRefH* s) {
    return dyn->GetNewStreamRefByIndex(plugin_id, group, index, s);
  });
}

Result<std::string, AeError> stream_match_name(StreamRefH stream) {
  VEL_TRY_SUITE(dyn, AEGP_DynamicStreamSuite5);
  char buf[AEGP_MAX_STREAM_MATCH_NAME_SIZE] = {};
  if (auto st = check_ae(dyn->GetMatchName(stream, buf)); !st) return Err{st.error()};
  const void* nul = std::memchr(buf, 0, sizeof buf);
  if (!nul) return Err{AeError(AeErrorKind::InvalidParms)};
  return utf8_lossy(std::string_view(buf, static_cast<size_t>(static_cast<const char*>(nul) - buf)));
}

Result<bool, AeError> stream_is_modified(StreamRefH stream) {
  VEL_TRY_SUITE(dyn, AEGP_DynamicStreamSuite5);
  A_Boolean modified = 0;
  if (auto st = check_ae(dyn->GetStreamIsModified(stream, &modified)); !st) return Err{st.error()};
  return modified != 0;
}

}  // namespace vel
