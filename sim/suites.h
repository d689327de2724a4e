// Each suite the stand-in host implements lives in its own file and
// publishes its function table here.
#pragma once

#include <string>

#include "hostsdk/types.h"
#include "suite_registry.h"

namespace sim {

void publish_register_suite(SuiteRegistry& r);
void publish_command_suite(SuiteRegistry& r);
void publish_utility_suite(SuiteRegistry& r);
void publish_memory_suite(SuiteRegistry& r);
void publish_proj_suite(SuiteRegistry& r);
void publish_item_suite(SuiteRegistry& r);
void publish_comp_suite(SuiteRegistry& r);
void publish_layer_suite(SuiteRegistry& r);
void publish_render_options_suite(SuiteRegistry& r);
void publish_render_suite(SuiteRegistry& r);
void publish_world_suite(SuiteRegistry& r);
void publish_render_async_suite(SuiteRegistry& r);
void publish_workspace_panel_suite(SuiteRegistry& r);
void publish_footage_suite(SuiteRegistry& r);
void publish_mask_suite(SuiteRegistry& r);
void publish_effect_suite(SuiteRegistry& r);
void publish_stream_suite(SuiteRegistry& r);
void publish_keyframe_suite(SuiteRegistry& r);
void publish_dynamic_stream_suite(SuiteRegistry& r);

// A new host memory handle holding `bytes`, as the Memory suite makes them.
AEGP_MemHandle new_mem_handle(const void* bytes, size_t size);
// The same, holding `text` as NUL-terminated UTF-16.
AEGP_MemHandle new_utf16_handle(const std::string& text);

}  // namespace sim
