// Project handles are the item's id with a tag in the low bits, never a
// pointer: a handle of an item that an edit removed simply finds nothing, and
// a handle of the wrong kind is told apart from a right one.
#pragma once

#include <cstdint>
#include <optional>

#include "hostsdk/types.h"
#include "project/project_model.h"

namespace sim {

enum class HandleTag : uintptr_t {
  item = 1,
  comp = 2,
  project = 3,
  layer = 4,
  solid_item = 5,
  footage_item = 6,  // the footage item a layer shows
  footage = 7,       // the main footage of a solid or footage item
  stream = 8,        // a stream reference: a ledger id
  effect = 9,        // an effect reference: a ledger id
};

template <class H>
H make_handle(HandleTag tag, uint32_t id) {
  return reinterpret_cast<H>((static_cast<uintptr_t>(id) << 4) | static_cast<uintptr_t>(tag));
}

template <class H>
std::optional<uint32_t> handle_id(H handle, HandleTag tag) {
  auto bits = reinterpret_cast<uintptr_t>(handle);
  if (bits == 0 || (bits & 0xF) != static_cast<uintptr_t>(tag)) return std::nullopt;
  return static_cast<uint32_t>(bits >> 4);
}

inline AEGP_ItemH item_handle(uint32_t id) { return make_handle<AEGP_ItemH>(HandleTag::item, id); }
inline AEGP_CompH comp_handle(uint32_t id) { return make_handle<AEGP_CompH>(HandleTag::comp, id); }
inline AEGP_ProjectH project_handle() { return make_handle<AEGP_ProjectH>(HandleTag::project, 1); }

// A layer, and the solid footage item it shows, are addressed by their
// composition's id and their 0-based position in it.
struct LayerAddress {
  uint32_t comp_id = 0;
  uint32_t index = 0;
};
inline constexpr uint32_t kLayerIndexBits = 12;  // room for kMaxLayers

template <class H>
H layer_kind_handle(HandleTag tag, LayerAddress a) {
  auto bits = ((static_cast<uintptr_t>(a.comp_id) << kLayerIndexBits) | a.index) << 4;
  return reinterpret_cast<H>(bits | static_cast<uintptr_t>(tag));
}

template <class H>
std::optional<LayerAddress> layer_kind_address(H handle, HandleTag tag) {
  auto bits = reinterpret_cast<uintptr_t>(handle);
  if (bits == 0 || (bits & 0xF) != static_cast<uintptr_t>(tag)) return std::nullopt;
  bits >>= 4;
  return LayerAddress{static_cast<uint32_t>(bits >> kLayerIndexBits),
                      static_cast<uint32_t>(bits & ((1u << kLayerIndexBits) - 1))};
}

inline AEGP_LayerH layer_handle(LayerAddress a) { return layer_kind_handle<AEGP_LayerH>(HandleTag::layer, a); }
inline AEGP_ItemH solid_item_handle(LayerAddress a) { return layer_kind_handle<AEGP_ItemH>(HandleTag::solid_item, a); }

inline AEGP_ItemH footage_item_handle(LayerAddress a) {
  return layer_kind_handle<AEGP_ItemH>(HandleTag::footage_item, a);
}

// Item ids of solids sit above every composition's id, footage items above those.
inline A_long solid_item_id(LayerAddress a) {
  return static_cast<A_long>(0x100000u + (a.comp_id << kLayerIndexBits) + a.index);
}

inline A_long footage_item_id(LayerAddress a) {
  return static_cast<A_long>(0x40000000u + (a.comp_id << kLayerIndexBits) + a.index);
}

inline const Composition* find_comp(const Project& p, uint32_t id) {
  for (const Composition& c : p.comps) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

inline const Layer* find_layer(const Project& p, LayerAddress a) {
  const Composition* c = find_comp(p, a.comp_id);
  if (!c || a.index >= c->layers.size()) return nullptr;
  return &c->layers[a.index];
}

}  // namespace sim
