// Each suite the stand-in host implements lives in its own file and
// publishes its function table here.
#pragma once

#include <string>

#include "hostsdk/types.h"
#include "suites/suite_registry.h"

struct AEGP_MemorySuite1;

namespace sim {

void publish_register_suite(SuiteRegistry& r);
void publish_command_suite(SuiteRegistry& r);
void publish_utility_suite(SuiteRegistry& r);
void publish_memory_suite(SuiteRegistry& r);
// The Memory suite's table, for a host that makes handles itself.
const AEGP_MemorySuite1* memory_suite_table();
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
// "AEGP IO Out Suite" 7 and "PF World Suite" 2, as the host serves them to
// an output module outside a render (suite_io_out.cpp).
void publish_output_module_suites(SuiteRegistry& r);

// A new host memory handle holding `bytes`, as the Memory suite makes them.
AEGP_MemHandle new_mem_handle(const void* bytes, size_t size);
// The same, holding `text` as NUL-terminated UTF-16.
AEGP_MemHandle new_utf16_handle(const std::string& text);

}  // namespace sim
