// Typed calls over footage items (Footage suite). Main thread only.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

Result<FootageH, AeError> main_footage_from_item(ItemH item);

enum class FootageSignature : uint8_t { Other = 0, Solid = 1, Unknown = 2 };
// Solid when the host calls the footage a solid, Other for any other
// signature, Unknown when there is no footage or the question could not be
// asked. The Footage suite is kept for the process.
FootageSignature footage_signature(FootageH footage);

// The solid's colour (its proxy's when `proxy`); an error for other items.
Result<ColorArgb, AeError> solid_footage_color(ItemH item, bool proxy);

}  // namespace vel
