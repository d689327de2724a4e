// A layer handle resolved against the current project: the snapshot keeps
// the layer alive while a suite call reads it. A handle of a layer that an
// edit removed resolves to nothing.
#pragma once

#include "simhost/host.h"
#include "suites/handles.h"

namespace sim {

struct LayerRef {
  ProjectSnapshot snap;
  const Layer* layer = nullptr;
  LayerAddress address;
};

inline LayerRef resolve_layer_at(LayerAddress a) {
  LayerRef ref;
  ref.snap = host().project.snapshot();
  ref.layer = find_layer(*ref.snap, a);
  ref.address = a;
  return ref;
}

inline LayerRef resolve_layer(AEGP_LayerH handle) {
  auto a = layer_kind_address(handle, HandleTag::layer);
  if (!a) return LayerRef{};
  return resolve_layer_at(*a);
}

// The composition a layer belongs to, in the same snapshot.
inline const Composition* layer_comp(const LayerRef& ref) {
  return ref.layer ? find_comp(*ref.snap, ref.address.comp_id) : nullptr;
}

}  // namespace sim
