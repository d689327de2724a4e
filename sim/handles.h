// Project handles are the item's id with a tag in the low bits, never a
// pointer: a handle of an item that an edit removed simply finds nothing, and
// a handle of the wrong kind is told apart from a right one.
#pragma once

#include <cstdint>
#include <optional>

#include "hostsdk/types.h"
#include "project_model.h"

namespace sim {

enum class HandleTag : uintptr_t { item = 1, comp = 2, project = 3 };

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

inline const Composition* find_comp(const Project& p, uint32_t id) {
  for (const Composition& c : p.comps) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

}  // namespace sim
