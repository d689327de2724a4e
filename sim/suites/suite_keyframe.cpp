#include "hostsdk/keyframe_suite.h"

#include "suites/layer_time.h"
#include "suites/stream_ref.h"
#include "suites/suites.h"

namespace sim {
namespace {

// The key `index` of a layer stream; null for anything else.
const Keyframe* key_of(const StreamTarget& t, AEGP_KeyframeIndex index) {
  if (!t.prop || index < 0 || static_cast<size_t>(index) >= t.prop->keys.size()) return nullptr;
  return &t.prop->keys[static_cast<size_t>(index)];
}

A_Err GetStreamNumKFs(AEGP_StreamRefH stream, A_long* num) {
  SIM_FAULT_POINT();
  if (!num) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t) return A_Err_PARAMETER;
  *num = t->prop ? static_cast<A_long>(t->prop->keys.size()) : 0;
  return A_Err_NONE;
}

A_Err GetKeyframeTime(AEGP_StreamRefH stream, AEGP_KeyframeIndex index, AEGP_LTimeMode mode, A_Time* time) {
  SIM_FAULT_POINT();
  if (!time) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  const Keyframe* k = t ? key_of(*t, index) : nullptr;
  if (!k) return A_Err_PARAMETER;
  auto in_mode = time_in_mode(k->time, *t->layer.layer, mode);
  if (!in_mode) return A_Err_PARAMETER;
  *time = *in_mode;
  return A_Err_NONE;
}

A_Err GetNewKeyframeValue(AEGP_PluginID, AEGP_StreamRefH stream, AEGP_KeyframeIndex index, AEGP_StreamValue2* value) {
  SIM_FAULT_POINT();
  if (!value) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  const Keyframe* k = t ? key_of(*t, index) : nullptr;
  if (!k) return A_Err_PARAMETER;
  hand_out_value(t->id, stream, stream_type_of(t->rec), k->value, value);
  return A_Err_NONE;
}

AEGP_KeyframeInterpolationType interp_number(Interp i) {
  switch (i) {
    case Interp::bezier: return AEGP_KeyInterp_BEZIER;
    case Interp::hold: return AEGP_KeyInterp_HOLD;
    default: return AEGP_KeyInterp_LINEAR;
  }
}

A_Err GetKeyframeInterpolation(AEGP_StreamRefH stream, AEGP_KeyframeIndex index, AEGP_KeyframeInterpolationType* in,
                               AEGP_KeyframeInterpolationType* out) {
  SIM_FAULT_POINT();
  auto t = resolve_stream(stream);
  const Keyframe* k = t ? key_of(*t, index) : nullptr;
  if (!k) return A_Err_PARAMETER;
  if (in) *in = interp_number(k->in_interp);
  if (out) *out = interp_number(k->out_interp);
  return A_Err_NONE;
}

// A key without ease data on either side has none to report; one side
// without data reports a flat, uninfluenced side.
A_Err GetKeyframeTemporalEase(AEGP_StreamRefH stream, AEGP_KeyframeIndex index, A_long dimension,
                              AEGP_KeyframeEase* in, AEGP_KeyframeEase* out) {
  SIM_FAULT_POINT();
  auto t = resolve_stream(stream);
  const Keyframe* k = t ? key_of(*t, index) : nullptr;
  if (!k || dimension < 0) return A_Err_PARAMETER;
  // Spatial streams ease along their path: one temporal dimension.
  const bool spatial = stream_type_of(t->rec) == AEGP_StreamType_ThreeD_SPATIAL;
  const A_long dims = spatial ? 1 : t->prop->dims;
  if (dimension >= dims) return A_Err_PARAMETER;
  if (!k->ease_in && !k->ease_out) return A_Err_PARAMETER;
  const Ease flat{0, 0};
  if (in) *in = AEGP_KeyframeEase{k->ease_in.value_or(flat).speed, k->ease_in.value_or(flat).influence};
  if (out) *out = AEGP_KeyframeEase{k->ease_out.value_or(flat).speed, k->ease_out.value_or(flat).influence};
  return A_Err_NONE;
}

const AEGP_KeyframeSuite5 kSuite = {GetStreamNumKFs, GetKeyframeTime, GetNewKeyframeValue, GetKeyframeInterpolation,
                                    GetKeyframeTemporalEase};

}  // namespace

void publish_keyframe_suite(SuiteRegistry& r) { r.publish(kAEGPKeyframeSuite, kAEGPKeyframeSuiteVersion5, &kSuite); }

}  // namespace sim
