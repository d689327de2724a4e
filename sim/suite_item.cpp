#include "handles.h"
#include "host.h"
#include "hostsdk/item_suite.h"
#include "suites.h"

namespace sim {
namespace {

// The composition behind an item handle in the current project, with the
// snapshot that keeps it alive.
struct ItemRef {
  ProjectSnapshot snap;
  const Composition* comp = nullptr;
};

ItemRef resolve(AEGP_ItemH item) {
  ItemRef ref;
  auto id = handle_id(item, HandleTag::item);
  if (!id) return ref;
  ref.snap = host().project.snapshot();
  ref.comp = find_comp(*ref.snap, *id);
  return ref;
}

A_Err GetFirstProjItem(AEGP_ProjectH project, AEGP_ItemH* item) {
  if (!item || !handle_id(project, HandleTag::project)) return A_Err_PARAMETER;
  ProjectSnapshot snap = host().project.snapshot();
  *item = snap->comps.empty() ? nullptr : item_handle(snap->comps.front().id);
  return A_Err_NONE;
}

A_Err GetNextProjItem(AEGP_ProjectH project, AEGP_ItemH item, AEGP_ItemH* next) {
  if (!next || !handle_id(project, HandleTag::project)) return A_Err_PARAMETER;
  *next = nullptr;
  auto id = handle_id(item, HandleTag::item);
  if (!id) return A_Err_PARAMETER;
  ProjectSnapshot snap = host().project.snapshot();
  for (size_t i = 0; i < snap->comps.size(); ++i) {
    if (snap->comps[i].id == *id) {
      if (i + 1 < snap->comps.size()) *next = item_handle(snap->comps[i + 1].id);
      return A_Err_NONE;
    }
  }
  return A_Err_PARAMETER;
}

A_Err GetActiveItem(AEGP_ItemH* item) {
  if (!item) return A_Err_PARAMETER;
  ProjectSnapshot snap = host().project.snapshot();
  *item = snap->active_comp ? item_handle(snap->comps[*snap->active_comp].id) : nullptr;
  return A_Err_NONE;
}

A_Err GetItemType(AEGP_ItemH item, AEGP_ItemType* type) {
  if (!type) return A_Err_PARAMETER;
  if (!resolve(item).comp) return A_Err_PARAMETER;
  *type = AEGP_ItemType_COMP;
  return A_Err_NONE;
}

A_Err GetItemName(AEGP_PluginID, AEGP_ItemH item, AEGP_MemHandle* name) {
  if (!name) return A_Err_PARAMETER;
  *name = nullptr;
  ItemRef ref = resolve(item);
  if (!ref.comp) return A_Err_PARAMETER;
  *name = new_utf16_handle(ref.comp->name);
  return A_Err_NONE;
}

A_Err GetItemID(AEGP_ItemH item, A_long* id) {
  if (!id) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.comp) return A_Err_PARAMETER;
  *id = static_cast<A_long>(ref.comp->id);
  return A_Err_NONE;
}

A_Err GetItemDimensions(AEGP_ItemH item, A_long* width, A_long* height) {
  if (!width || !height) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.comp) return A_Err_PARAMETER;
  *width = ref.comp->width;
  *height = ref.comp->height;
  return A_Err_NONE;
}

A_Err GetItemDuration(AEGP_ItemH item, A_Time* duration) {
  if (!duration) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.comp) return A_Err_PARAMETER;
  *duration = A_Time{ref.comp->duration.value, ref.comp->duration.scale};
  return A_Err_NONE;
}

A_Err GetItemCurrentTime(AEGP_ItemH item, A_Time* time) {
  if (!time) return A_Err_PARAMETER;
  ItemRef ref = resolve(item);
  if (!ref.comp) return A_Err_PARAMETER;
  *time = A_Time{ref.comp->current_time.value, ref.comp->current_time.scale};
  return A_Err_NONE;
}

const AEGP_ItemSuite14 kSuite = {GetFirstProjItem,  GetNextProjItem, GetActiveItem,
                                 GetItemType,       GetItemName,     GetItemID,
                                 GetItemDimensions, GetItemDuration, GetItemCurrentTime};

}  // namespace

void publish_item_suite(SuiteRegistry& r) { r.publish(kAEGPItemSuite, kAEGPItemSuiteVersion14, &kSuite); }

}  // namespace sim
