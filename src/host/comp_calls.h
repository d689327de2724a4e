// Typed calls over compositions (Comp suite, and the Layer suite for the
// layer count). Each acquires and releases its suites; main thread only.
#pragma once

#include <cstdint>
#include <optional>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

// The item's composition; none when the item is not a composition.
Result<std::optional<CompH>, AeError> comp_from_item(ItemH item);
Result<ItemH, AeError> item_from_comp(CompH comp);
// One frame's duration as the host gives it (not reduced).
Result<HostTime, AeError> comp_frame_duration(CompH comp);
Result<double, AeError> comp_framerate(CompH comp);
Result<ColorArgb, AeError> comp_bg_color(CompH comp);
Result<int32_t, AeError> comp_num_layers(CompH comp);

struct WorkArea {
  HostTime start;
  HostTime duration;
  friend bool operator==(const WorkArea&, const WorkArea&) = default;
};
Result<WorkArea, AeError> comp_work_area(CompH comp);
// Sets start and duration together; the host refuses a range outside the
// composition.
Status<AeError> set_comp_work_area(CompH comp, HostTime start, HostTime duration);

}  // namespace vel
