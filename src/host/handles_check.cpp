// The handle aliases of handles.h must be the host's own types, so values
// pass through the typed calls without casts.
#include <type_traits>

#include "host/handles.h"
#include "host/suite_access.h"

namespace vel {
static_assert(std::is_same_v<ProjectH, AEGP_ProjectH>);
static_assert(std::is_same_v<ItemH, AEGP_ItemH>);
static_assert(std::is_same_v<CompH, AEGP_CompH>);
static_assert(std::is_same_v<LayerH, AEGP_LayerH>);
static_assert(std::is_same_v<FootageH, AEGP_FootageH>);
static_assert(std::is_same_v<WorldH, AEGP_WorldH>);
static_assert(std::is_same_v<PanelH, AEGP_PanelH>);
static_assert(std::is_same_v<MemHandle, AEGP_MemHandle>);
static_assert(std::is_same_v<EffectRefH, AEGP_EffectRefH>);
static_assert(std::is_same_v<StreamRefH, AEGP_StreamRefH>);
static_assert(std::is_same_v<PluginId, AEGP_PluginID>);
static_assert(std::is_same_v<CommandId, AEGP_Command>);
static_assert(sizeof(HostTime) == sizeof(A_Time) && alignof(HostTime) == alignof(A_Time));
static_assert(static_cast<int32_t>(ItemType::Comp) == AEGP_ItemType_COMP);
static_assert(static_cast<int32_t>(ItemType::Footage) == AEGP_ItemType_FOOTAGE);
static_assert(static_cast<int32_t>(ItemType::Folder) == AEGP_ItemType_FOLDER);
}  // namespace vel
