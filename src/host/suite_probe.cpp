#include "host/suite_probe.h"

#include <atomic>

#include "host/suite_access.h"

namespace vel {
namespace {
std::atomic<bool> g_project_suite_missing{false};

template <class S>
size_t missing() {
  auto guard = acquire_suite<S>();  // released at once
  return guard ? 0 : 1;
}
}  // namespace

size_t probe_host_suites() {
  size_t n = missing<AEGP_MemorySuite1>() + missing<AEGP_CompSuite25>() + missing<AEGP_ItemSuite14>() +
             missing<AEGP_LayerSuite13>() + missing<AEGP_CommandSuite1>() + missing<AEGP_FootageSuite11>() +
             missing<AEGP_UtilitySuite13>() + missing<AEGP_RegisterSuite6>();
  const size_t project = missing<AEGP_ProjSuite9>();
  g_project_suite_missing.store(project != 0, std::memory_order_relaxed);
  return n + project + missing<AEGP_StreamSuite11>() + missing<AEGP_KeyframeSuite5>() + missing<AEGP_EffectSuite4>();
}

bool project_suite_missing_at_probe() { return g_project_suite_missing.load(std::memory_order_relaxed); }

}  // namespace vel
