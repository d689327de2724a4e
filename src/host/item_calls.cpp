#include "host/item_calls.h"

#include "host/mem_text.h"
#include "host/suite_access.h"

namespace vel {

namespace {
std::optional<ItemH> none_if_null(AEGP_ItemH item) {
  if (!item) return std::nullopt;
  return item;
}
}  // namespace

Result<std::optional<ItemH>, AeError> active_item() {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  AEGP_ItemH item = nullptr;
  if (auto st = check_ae(items->GetActiveItem(&item)); !st) return Err{st.error()};
  return none_if_null(item);
}

Result<ItemType, AeError> item_type(ItemH item) {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  AEGP_ItemType type = AEGP_ItemType_NONE;
  if (auto st = check_ae(items->GetItemType(item, &type)); !st) return Err{st.error()};
  return static_cast<ItemType>(type);
}

Result<std::string, AeError> item_name(ItemH item, PluginId plugin_id) {
  // The Memory suite first: a name handle must never be taken without the
  // means to free it.
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  AEGP_MemHandle name = nullptr;
  if (auto st = check_ae(items->GetItemName(plugin_id, item, &name)); !st) {
    if (name) mem->FreeMemHandle(name);
    return Err{st.error()};
  }
  return take_utf16_text(*mem, name);
}

Result<int32_t, AeError> item_id(ItemH item) {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  A_long id = 0;
  if (auto st = check_ae(items->GetItemID(item, &id)); !st) return Err{st.error()};
  return id;
}

Result<Dimensions, AeError> item_dimensions(ItemH item) {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  Dimensions d;
  if (auto st = check_ae(items->GetItemDimensions(item, &d.width, &d.height)); !st) return Err{st.error()};
  return d;
}

Result<HostTime, AeError> item_duration(ItemH item) {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  A_Time t{0, 0};
  if (auto st = check_ae(items->GetItemDuration(item, &t)); !st) return Err{st.error()};
  return HostTime{t.value, t.scale};
}

Result<HostTime, AeError> item_current_time(ItemH item) {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  A_Time t{0, 0};
  if (auto st = check_ae(items->GetItemCurrentTime(item, &t)); !st) return Err{st.error()};
  return HostTime{t.value, t.scale};
}

Result<std::optional<ItemH>, AeError> first_project_item(ProjectH project) {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  AEGP_ItemH item = nullptr;
  if (auto st = check_ae(items->GetFirstProjItem(project, &item)); !st) return Err{st.error()};
  return none_if_null(item);
}

Result<std::optional<ItemH>, AeError> next_project_item(ProjectH project, ItemH item) {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  AEGP_ItemH next = nullptr;
  if (auto st = check_ae(items->GetNextProjItem(project, item, &next)); !st) return Err{st.error()};
  return none_if_null(next);
}

}  // namespace vel
