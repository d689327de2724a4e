#include "host.h"
#include "suites.h"

namespace sim {
namespace {

SPErr AcquireSuite(const char* name, A_long version, const void** suite) {
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
  h.basic.AcquireSuite = AcquireSuite;
  h.basic.ReleaseSuite = ReleaseSuite;
}

}  // namespace sim
