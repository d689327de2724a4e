#include "host/suite_probe.h"

#include "host/suite_access.h"

namespace vel {
namespace {
template <class S>
size_t missing() {
  auto guard = acquire_suite<S>();  // released at once
  return guard ? 0 : 1;
}
}  // namespace

size_t probe_host_suites() {
  return missing<AEGP_MemorySuite1>() + missing<AEGP_CompSuite25>() + missing<AEGP_ItemSuite14>() +
         missing<AEGP_LayerSuite13>() + missing<AEGP_CommandSuite1>() + missing<AEGP_FootageSuite11>() +
         missing<AEGP_UtilitySuite13>() + missing<AEGP_RegisterSuite6>() + missing<AEGP_ProjSuite9>() +
         missing<AEGP_StreamSuite11>() + missing<AEGP_KeyframeSuite5>() + missing<AEGP_EffectSuite4>();
}

}  // namespace vel
