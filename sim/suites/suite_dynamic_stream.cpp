#include <algorithm>
#include <cstring>

#include "hostsdk/dynamic_stream_suite.h"
#include "hostsdk/layer_suite.h"
#include "suites/stream_ref.h"
#include "suites/suites.h"

namespace sim {
namespace {

// The groups every layer's root holds, in order; a changed group the layer
// names beyond these becomes one more child.
constexpr const char* kRootGroups[] = {"ADBE Marker",       "ADBE Time Remapping", "ADBE Transform Group",
                                       "ADBE Mask Parade",  "ADBE Effect Parade",  "ADBE Layer Styles",
                                       "ADBE Audio Group"};

std::vector<std::string> root_children(const Layer& l) {
  std::vector<std::string> out(std::begin(kRootGroups), std::end(kRootGroups));
  for (const std::string& g : l.modified_groups) {
    if (std::find(out.begin(), out.end(), g) == out.end()) out.push_back(g);
  }
  return out;
}

bool group_modified(const Layer& l, const std::string& name) {
  if (name == "ADBE Time Remapping" && (l.switches & AEGP_LayerFlag_TIME_REMAPPING)) return true;
  return std::find(l.modified_groups.begin(), l.modified_groups.end(), name) != l.modified_groups.end();
}

A_Err GetNewStreamRefForLayer(AEGP_PluginID, AEGP_LayerH layer, AEGP_StreamRefH* root) {
  SIM_FAULT_POINT();
  if (!root) return A_Err_PARAMETER;
  *root = nullptr;
  LayerRef ref = resolve_layer(layer);
  if (!ref.layer) return A_Err_PARAMETER;
  *root = stream_ref_handle(host().streams.issue(StreamRec{ref.address, StreamRec::Kind::root_group, 0}));
  return A_Err_NONE;
}

A_Err GetNumStreamsInGroup(AEGP_StreamRefH group, A_long* num) {
  SIM_FAULT_POINT();
  if (!num) return A_Err_PARAMETER;
  auto t = resolve_stream(group);
  if (!t || t->rec.kind != StreamRec::Kind::root_group) return A_Err_PARAMETER;
  *num = static_cast<A_long>(root_children(*t->layer.layer).size());
  return A_Err_NONE;
}

A_Err GetNewStreamRefByIndex(AEGP_PluginID, AEGP_StreamRefH parent, A_long index, AEGP_StreamRefH* child) {
  SIM_FAULT_POINT();
  if (!child) return A_Err_PARAMETER;
  *child = nullptr;
  auto t = resolve_stream(parent);
  if (!t || t->rec.kind != StreamRec::Kind::root_group) return A_Err_PARAMETER;
  if (index < 0 || static_cast<size_t>(index) >= root_children(*t->layer.layer).size()) return A_Err_PARAMETER;
  *child = stream_ref_handle(host().streams.issue(StreamRec{t->rec.layer, StreamRec::Kind::child_group, index}));
  return A_Err_NONE;
}

// Copies at most the buffer's 40 bytes: a name that long arrives without
// its terminating zero, as a careless host would send it.
A_Err GetMatchName(AEGP_StreamRefH stream, A_char* match_name) {
  SIM_FAULT_POINT();
  if (!match_name) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t) return A_Err_PARAMETER;
  std::string name;
  switch (t->rec.kind) {
    case StreamRec::Kind::root_group: name = "ADBE Root Vectors Group"; break;
    case StreamRec::Kind::child_group: name = root_children(*t->layer.layer)[static_cast<size_t>(t->rec.index)]; break;
    case StreamRec::Kind::layer_stream: {
      static constexpr const char* kNames[] = {"ADBE Anchor Point", "ADBE Position", "ADBE Scale", "ADBE Rotate Z",
                                               "ADBE Opacity"};
      name = kNames[t->rec.index];
      break;
    }
  }
  std::memcpy(match_name, name.c_str(), std::min<size_t>(name.size() + 1, AEGP_MAX_STREAM_MATCH_NAME_SIZE));
  return A_Err_NONE;
}

A_Err GetStreamIsModified(AEGP_StreamRefH stream, A_Boolean* modified) {
  SIM_FAULT_POINT();
  if (!modified) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t) return A_Err_PARAMETER;
  *modified = 0;
  if (t->rec.kind == StreamRec::Kind::child_group) {
    *modified = group_modified(*t->layer.layer, root_children(*t->layer.layer)[static_cast<size_t>(t->rec.index)]);
  } else if (t->prop) {
    *modified = !t->prop->keys.empty() || !t->prop->expression.empty();
  }
  return A_Err_NONE;
}

// Only the position leads dimensions that can be separated.
A_Err IsSeparationLeader(AEGP_StreamRefH stream, A_Boolean* leader) {
  SIM_FAULT_POINT();
  if (!leader) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t) return A_Err_PARAMETER;
  *leader = t->rec.kind == StreamRec::Kind::layer_stream && t->rec.index == AEGP_LayerStream_POSITION;
  return A_Err_NONE;
}

A_Err AreDimensionsSeparated(AEGP_StreamRefH stream, A_Boolean* separated) {
  SIM_FAULT_POINT();
  if (!separated) return A_Err_PARAMETER;
  auto t = resolve_stream(stream);
  if (!t || t->rec.kind != StreamRec::Kind::layer_stream || t->rec.index != AEGP_LayerStream_POSITION) {
    return A_Err_PARAMETER;
  }
  *separated = t->prop->separated;
  return A_Err_NONE;
}

const AEGP_DynamicStreamSuite5 kSuite = {GetNewStreamRefForLayer, GetNumStreamsInGroup, GetNewStreamRefByIndex,
                                         GetMatchName,            GetStreamIsModified,  IsSeparationLeader,
                                         AreDimensionsSeparated};

}  // namespace

void publish_dynamic_stream_suite(SuiteRegistry& r) {
  r.publish(kAEGPDynamicStreamSuite, kAEGPDynamicStreamSuiteVersion5, &kSuite);
}

}  // namespace sim
