// Stream references as the stand-in host hands them out: a ledger id in the
// handle, resolved against the current project on every call.
#pragma once

#include <optional>

#include "hostsdk/stream_suite.h"
#include "suites/layer_ref.h"

namespace sim {

inline AEGP_StreamRefH stream_ref_handle(uint64_t id) { return make_handle<AEGP_StreamRefH>(HandleTag::stream, static_cast<uint32_t>(id)); }

struct StreamTarget {
  uint64_t id = 0;
  StreamRec rec;
  LayerRef layer;
  const Property* prop = nullptr;  // for a layer stream
};

// A live reference whose layer still exists; none otherwise.
inline std::optional<StreamTarget> resolve_stream(AEGP_StreamRefH handle) {
  auto id = handle_id(handle, HandleTag::stream);
  if (!id) return std::nullopt;
  auto rec = host().streams.find(*id);
  if (!rec) return std::nullopt;
  StreamTarget t{*id, *rec, resolve_layer_at(rec->layer), nullptr};
  if (!t.layer.layer) return std::nullopt;
  if (rec->kind == StreamRec::Kind::layer_stream) {
    const Transform& tr = t.layer.layer->transform;
    const Property* props[] = {&tr.anchor, &tr.position, &tr.scale, &tr.rotation, &tr.opacity};
    t.prop = props[rec->index];
  }
  return t;
}

// The host's type of a layer stream: anchor and position are spatial 3-D
// values, scale a 3-D value, rotation and opacity one number; groups hold
// no data.
inline AEGP_StreamType stream_type_of(const StreamRec& rec) {
  if (rec.kind != StreamRec::Kind::layer_stream) return AEGP_StreamType_NO_DATA;
  switch (rec.index) {
    case AEGP_LayerStream_ANCHORPOINT:
    case AEGP_LayerStream_POSITION: return AEGP_StreamType_ThreeD_SPATIAL;
    case AEGP_LayerStream_SCALE: return AEGP_StreamType_ThreeD;
    default: return AEGP_StreamType_OneD;
  }
}

// Fills `out` with `v` as a value of `type`, and counts it as handed out.
inline void hand_out_value(uint64_t stream_id, AEGP_StreamRefH handle, AEGP_StreamType type, const Vec3& v,
                           AEGP_StreamValue2* out) {
  *out = AEGP_StreamValue2{};
  out->stream = handle;
  if (type == AEGP_StreamType_OneD) out->val.one_d = v[0];
  else if (type != AEGP_StreamType_NO_DATA) out->val.three_d = AEGP_ThreeDVal{v[0], v[1], v[2]};
  host().stream_values.issue(stream_id);
}

}  // namespace sim
