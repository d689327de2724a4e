// Typed calls over the host's project items (Item suite). Each acquires the
// suites it needs and releases them before returning; main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

// The item with focus; none when there is none.
Result<std::optional<ItemH>, AeError> active_item();
Result<ItemType, AeError> item_type(ItemH item);
// The item's name as UTF-8 (the host's UTF-16 handle is read and freed).
Result<std::string, AeError> item_name(ItemH item, PluginId plugin_id);
Result<int32_t, AeError> item_id(ItemH item);
Result<Dimensions, AeError> item_dimensions(ItemH item);
Result<HostTime, AeError> item_duration(ItemH item);
// The item's current time (a composition's playhead).
Result<HostTime, AeError> item_current_time(ItemH item);
// Walking the project's items; none past the last.
Result<std::optional<ItemH>, AeError> first_project_item(ProjectH project);
Result<std::optional<ItemH>, AeError> next_project_item(ProjectH project, ItemH item);

}  // namespace vel
