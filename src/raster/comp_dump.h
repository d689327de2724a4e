// The developer's view of what the raster renderer sees: the comp model of
// the active composition written as "velocinta_comp_dump.json" beside the
// plug-in's log, pretty-printed, replaced on every run.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/result.h"
#include "host/handles.h"
#include "raster/comp_model.h"

namespace vel {

// The dump document of `model` (schema 0), keys in their fixed order; an
// error text when a string is not UTF-8.
Result<std::string> comp_dump_text(const CompModel& model);

// Reads the active item and writes its dump into `log_dir` (none: the log
// directory could not be found). The path written, or the complete log
// message of the failure ("dump comp: …").
Result<std::filesystem::path> dump_comp_into(PluginId plugin_id, const std::optional<std::filesystem::path>& log_dir);

// The developer command: dump_comp_into the log directory; a failure is one
// ERROR line, a success logs nothing. Main thread.
void dump_comp(PluginId plugin_id);

}  // namespace vel
