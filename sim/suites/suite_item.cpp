#include "hostsdk/item_suite.h"
#include "simhost/host.h"
#include "suites/handles.h"
#include "suites/suites.h"

namespace sim {
namespace {

// What an item handle names in the current project: a composition, or the
// solid footage item of one of its layers; the snapshot keeps it alive.
struct ItemRef {
  ProjectSnapshot snap;
  const Composition* comp = nullptr;
  const Solid* solid = nullptr;
  const Footage* footage = nullptr;
  LayerAddress address;
  bool found() const { return comp || solid || footage; }
  const std::string& name() const { return comp ? comp->name : solid ? solid->name : footage->name; }
  A_long width() const { return comp ? comp->width : solid ? solid->width : footage->width; }
  A_long height() const { return comp ? comp->height : solid ? solid->height : footage->height; }
};

ItemRef resolve(AEGP_ItemH item) {
  ItemRef ref;
  if (auto id = handle_id(item, HandleTag::item)) {
    ref.snap = host().project.snapshot();
    ref.comp = find_comp(*ref.snap, *id);
  } else if (auto a = layer_kind_address(item, HandleTag::solid_item)) {
    ref.snap = host().project.snapshot();
    const Layer* layer = find_layer(*ref.snap, *a);
    if (layer && layer->solid) {
      ref.solid = &*layer->solid;
      ref.address = *a;
    }
  } else if (auto f = layer_kind_address(item, HandleTag::footage_item)) {
    ref.snap = host().project.snapshot();
    const Layer* layer = find_layer(*ref.snap, *f);
    if (layer && layer->footage) {
      ref.footage = &*layer->footage;
      ref.address = *f;
    }
  }
  return ref;
}

// The project's items in order: every composition, then the solids their
// layers show, composition by composition.
std::vector<AEGP_ItemH> all_items(const Project& p) {
  std::vector<AEGP_ItemH> items;
  for (const Composition& c : p.comps) items.push_back(item_handle(c.id));
  for (const Composition& c : p.comps) {
    for (size_t i = 0; i < c.layers.size(); ++i) {
      if (c.layers[i].solid) items.push_back(solid_item_handle(LayerAddress{c.id, static_cast<uint32_t>(i)}));
    }
  }
  for (const Composition& c : p.comps) {
    for (size_t i = 0; i < c.layers.size(); ++i) {
      if (c.layers[i].footage) items.push_back(footage_item_handle(LayerAddress{c.id, static_cast<uint32_t>(i)}));
    }
  }
  return items;
}

A_Err GetFirstProjItem(AEGP_ProjectH project, AEGP_ItemH* item) {
  SIM_FAULT_POINT();
  if (!item || !handle_id(project, HandleTag::project)) return A_Err_PARAMETER;
  std::vector<AEGP_ItemH> items = all_items(*host().project.snapshot());
  *item = items.empty() ? nullptr : items.front();
  return A_Err_NONE;
}

A_Err GetNextProjItem(AEGP_ProjectH project, AEGP_ItemH item, AEGP_ItemH* next) {
  SIM_FAULT_POINT();
  if (!next || !handle_id(project, HandleTag::project)) return A_Err_PARAMETER;
  *next = nullptr;
  std::vector<AEGP_ItemH> items = all_items(*host().project.snapshot());
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i] == item) {
      if (i + 1 < items.size()) *next = items[i + 1];
      return A_Err_NONE;
    }
  }
  return A_Err_PARAMETER;
}

A_Err GetActiveItem(AEGP_ItemH* item) {
  SIM_FAULT_POINT();
  if (!item) return A_Err_PARAMETER;
  ProjectSnapshot snap = host().project.snapshot();
  *item = snap->active_comp ? item_handle(snap->comps[*snap->active_comp].id) : nullptr;
  return A_Err_NONE;
}

A_Err GetItemType(AEGP_ItemH item, AEGP_ItemType* type) {
  SIM_FAULT_POINT();
  if (!type) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.found()) return A_Err_PARAMETER;
  *type = ref.comp ? AEGP_ItemType_COMP : AEGP_ItemType_FOOTAGE;
  return A_Err_NONE;
}

A_Err GetItemName(AEGP_PluginID, AEGP_ItemH item, AEGP_MemHandle* name) {
  SIM_FAULT_POINT();
  if (!name) return A_Err_PARAMETER;
  *name = nullptr;
  ItemRef ref = resolve(item);
  if (!ref.found()) return A_Err_PARAMETER;
  *name = new_utf16_handle(ref.name());
  return A_Err_NONE;
}

A_Err GetItemID(AEGP_ItemH item, A_long* id) {
  SIM_FAULT_POINT();
  if (!id) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.found()) return A_Err_PARAMETER;
  *id = ref.comp ? static_cast<A_long>(ref.comp->id) : ref.solid ? solid_item_id(ref.address) : footage_item_id(ref.address);
  return A_Err_NONE;
}

A_Err GetItemDimensions(AEGP_ItemH item, A_long* width, A_long* height) {
  SIM_FAULT_POINT();
  if (!width || !height) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.found()) return A_Err_PARAMETER;
  *width = ref.width();
  *height = ref.height();
  return A_Err_NONE;
}

// A solid is a still: no duration, and its time stays at 0.
A_Err GetItemDuration(AEGP_ItemH item, A_Time* duration) {
  SIM_FAULT_POINT();
  if (!duration) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.found()) return A_Err_PARAMETER;
  *duration = ref.comp ? A_Time{ref.comp->duration.value, ref.comp->duration.scale} : A_Time{0, 1};
  return A_Err_NONE;
}

A_Err GetItemCurrentTime(AEGP_ItemH item, A_Time* time) {
  SIM_FAULT_POINT();
  if (!time) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.found()) return A_Err_PARAMETER;
  *time = ref.comp ? A_Time{ref.comp->current_time.value, ref.comp->current_time.scale} : A_Time{0, 1};
  return A_Err_NONE;
}

const AEGP_ItemSuite14 kSuite = {GetFirstProjItem,  GetNextProjItem, GetActiveItem,
                                 GetItemType,       GetItemName,     GetItemID,
                                 GetItemDimensions, GetItemDuration, GetItemCurrentTime};

}  // namespace

void publish_item_suite(SuiteRegistry& r) { r.publish(kAEGPItemSuite, kAEGPItemSuiteVersion14, &kSuite); }

}  // namespace sim
