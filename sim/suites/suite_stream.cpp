#include "hostsdk/stream_suite.h"

#include "project/keyframe_eval.h"
#include "suites/layer_time.h"
#include "suites/stream_ref.h"
#include "suites/suites.h"

namespace sim {
namespace {

A_Err GetNewLayerStream(AEGP_PluginID, AEGP_LayerH layer, AEGP_LayerStream which, AEGP_StreamRefH* stream) {
  SIM_FAULT_POINT();
  if (!stream) return A_Err_PARAMETER;
  *stream = nullptr;
  LayerRef ref = resolve_layer(layer);
  if (!ref.layer || which < AEGP_LayerStream_ANCHORPOINT || which > AEGP_LayerStream_OPACITY) return A_Err_PARAMETER;
  *stream = stream_ref_handle(host().streams.issue(StreamRec{ref.address, StreamRec::Kind::layer_stream, which}));
  return A_Err_NONE;
}

A_Err DisposeStream(AEGP_StreamRefH stream) {
  SIM_FAULT_POINT();
  auto id = handle_id(stream, HandleTag::stream);
  if (!id) return A_Err_PARAMETER;
  return host().streams.release(*id) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err GetStreamType(AEGP_StreamRefH stream, AEGP_StreamType* type) {
  SIM_FAULT_POINT();
  if (!type) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t) return A_Err_PARAMETER;
  *type = stream_type_of(t->rec);
  return A_Err_NONE;
}

A_Err GetNewStreamValue(AEGP_PluginID, AEGP_StreamRefH stream, AEGP_LTimeMode time_mode, const A_Time* time,
                        A_Boolean /*pre_expression: expressions are never evaluated*/, AEGP_StreamValue2* value) {
  SIM_FAULT_POINT();
  if (!time || !value || time->scale == 0) return A_Err_PARAMETER;
  if (time_mode != kLayerTime && time_mode != kCompTime) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t || !t->prop) return A_Err_PARAMETER;
  const double seconds = time_mode == kCompTime ? static_cast<double>(time->value) / time->scale
                                                : comp_seconds_of_layer_time(*time, *t->layer.layer);
  hand_out_value(t->id, stream, stream_type_of(t->rec), property_value_at(*t->prop, seconds), value);
  return A_Err_NONE;
}

A_Err DisposeStreamValue(AEGP_StreamValue2* value) {
  SIM_FAULT_POINT();
  if (!value) return A_Err_PARAMETER;
  auto id = handle_id(value->stream, HandleTag::stream);
  if (!id) return A_Err_PARAMETER;
  if (!host().stream_values.release_one(*id)) return A_Err_PARAMETER;
  value->stream = nullptr;
  return A_Err_NONE;
}

A_Err GetExpressionState(AEGP_PluginID, AEGP_StreamRefH stream, A_Boolean* enabled) {
  SIM_FAULT_POINT();
  if (!enabled) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t) return A_Err_PARAMETER;
  *enabled = t->prop && !t->prop->expression.empty() && t->prop->expression_enabled;
  return A_Err_NONE;
}

const AEGP_StreamSuite11 kSuite = {GetNewLayerStream,  DisposeStream,      GetStreamType,
                                   GetNewStreamValue,  DisposeStreamValue, GetExpressionState};

}  // namespace

void publish_stream_suite(SuiteRegistry& r) { r.publish(kAEGPStreamSuite, kAEGPStreamSuiteVersion11, &kSuite); }

}  // namespace sim
