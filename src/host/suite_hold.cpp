#include "host/suite_hold.h"

#include <utility>

#include "host/suite_access.h"

namespace vel {
namespace {

const SuiteId& suite_id(HostSuite suite) {
  switch (suite) {
    case HostSuite::Item: return SuiteTraits<AEGP_ItemSuite14>::id;
    case HostSuite::Comp: return SuiteTraits<AEGP_CompSuite25>::id;
    case HostSuite::Layer: return SuiteTraits<AEGP_LayerSuite13>::id;
    case HostSuite::Footage: return SuiteTraits<AEGP_FootageSuite11>::id;
    case HostSuite::Effect: return SuiteTraits<AEGP_EffectSuite4>::id;
    case HostSuite::LayerMask: return SuiteTraits<AEGP_LayerMaskSuite7>::id;
    case HostSuite::DynamicStream: return SuiteTraits<AEGP_DynamicStreamSuite5>::id;
    case HostSuite::Stream: return SuiteTraits<AEGP_StreamSuite11>::id;
    case HostSuite::Keyframe: return SuiteTraits<AEGP_KeyframeSuite5>::id;
    case HostSuite::Memory: return SuiteTraits<AEGP_MemorySuite1>::id;
  }
  return SuiteTraits<AEGP_MemorySuite1>::id;
}

}  // namespace

Result<SuiteHold, AeError> SuiteHold::acquire(HostSuite suite) {
  const SuiteId& id = suite_id(suite);
  auto raw = acquire_raw_suite(stored_basic_suite(), id);
  if (!raw) return Err{raw.error()};
  return SuiteHold(&id);
}

SuiteHold::SuiteHold(SuiteHold&& o) noexcept : id_(std::exchange(o.id_, nullptr)) {}

SuiteHold& SuiteHold::operator=(SuiteHold&& o) noexcept {
  if (this != &o) {
    if (id_) release_raw_suite(stored_basic_suite(), *id_);
    id_ = std::exchange(o.id_, nullptr);
  }
  return *this;
}

SuiteHold::~SuiteHold() {
  if (id_) release_raw_suite(stored_basic_suite(), *id_);
}

}  // namespace vel
