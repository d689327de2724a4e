#include <string>

#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

// A chosen failure of "AcquireSuite <name>" refuses that suite's acquisition.
SPErr AcquireSuite(const char* name, A_long version, const void** suite) {
  if (suite) *suite = nullptr;
  if (A_Err e = host().faults.check((std::string("AcquireSuite ") + (name ? name : "")).c_str())) return e;
  return host().suites.acquire(name, version, suite);
}

SPErr ReleaseSuite(const char* name, A_long version) { return host().suites.release(name, version); }

}  // namespace

void install_suites(Host& h) {
  SuiteRegistry& r = h.suites;
  publish_register_suite(r);
  publish_command_suite(r);
  publish_utility_suite(r);
  publish_memory_suite(r);
  publish_proj_suite(r);
  publish_item_suite(r);
  publish_comp_suite(r);
  publish_layer_suite(r);
  publish_render_options_suite(r);
  publish_render_suite(r);
  publish_world_suite(r);
  publish_render_async_suite(r);
  publish_workspace_panel_suite(r);
  publish_footage_suite(r);
  publish_mask_suite(r);
  publish_effect_suite(r);
  publish_stream_suite(r);
  publish_keyframe_suite(r);
  publish_dynamic_stream_suite(r);
  publish_output_module_suites(r);
  h.basic.AcquireSuite = AcquireSuite;
  h.basic.ReleaseSuite = ReleaseSuite;
}

}  // namespace sim
