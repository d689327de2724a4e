// Suite acquisition by published name and version, for the host access
// layer only (this header brings in the host's declarations). Every
// acquisition is released on every path by SuiteGuard, except the few
// suites kept for the process.
#pragma once

#include <atomic>
#include <utility>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/basic_suite_store.h"
#include "hostsdk/basic_suite.h"
#include "hostsdk/command_suite.h"
#include "hostsdk/comp_suite.h"
#include "hostsdk/dynamic_stream_suite.h"
#include "hostsdk/effect_suite.h"
#include "hostsdk/footage_suite.h"
#include "hostsdk/item_suite.h"
#include "hostsdk/keyframe_suite.h"
#include "hostsdk/layer_suite.h"
#include "hostsdk/mask_suite.h"
#include "hostsdk/memory_suite.h"
#include "hostsdk/proj_suite.h"
#include "hostsdk/register_suite.h"
#include "hostsdk/stream_suite.h"
#include "hostsdk/utility_suite.h"
#include "hostsdk/workspace_panel_suite.h"

namespace vel {

// What identifies a suite, and the names the "Suite not found" line shows.
struct SuiteId {
  const char* name;         // published name, e.g. "AEGP Item Suite"
  A_long version;           // e.g. 14
  const char* struct_name;  // "AEGP_ItemSuite14"
  const char* name_symbol;  // "kAEGPItemSuite"
  const char* version_symbol;  // "kAEGPItemSuiteVersion14"
};

template <class S>
struct SuiteTraits;  // specialised below, one per suite table

// Declares the identity of a suite table. Usable by other files of this
// folder for the suites they declare (the render side).
#define VEL_DECLARE_SUITE(Struct, NameMacro, VersionMacro)                              \
  template <>                                                                            \
  struct SuiteTraits<Struct> {                                                           \
    static constexpr SuiteId id{NameMacro, VersionMacro, #Struct, #NameMacro, #VersionMacro}; \
  }

VEL_DECLARE_SUITE(AEGP_RegisterSuite6, kAEGPRegisterSuite, kAEGPRegisterSuiteVersion6);
VEL_DECLARE_SUITE(AEGP_CommandSuite1, kAEGPCommandSuite, kAEGPCommandSuiteVersion1);
VEL_DECLARE_SUITE(AEGP_UtilitySuite13, kAEGPUtilitySuite, kAEGPUtilitySuiteVersion13);
VEL_DECLARE_SUITE(AEGP_MemorySuite1, kAEGPMemorySuite, kAEGPMemorySuiteVersion1);
VEL_DECLARE_SUITE(AEGP_ItemSuite14, kAEGPItemSuite, kAEGPItemSuiteVersion14);
VEL_DECLARE_SUITE(AEGP_CompSuite25, kAEGPCompSuite, kAEGPCompSuiteVersion25);
VEL_DECLARE_SUITE(AEGP_ProjSuite9, kAEGPProjSuite, kAEGPProjSuiteVersion9);
VEL_DECLARE_SUITE(AEGP_WorkspacePanelSuite1, kAEGPWorkspacePanelSuite, kAEGPWorkspacePanelSuiteVersion1);
VEL_DECLARE_SUITE(AEGP_LayerSuite13, kAEGPLayerSuite, kAEGPLayerSuiteVersion13);
VEL_DECLARE_SUITE(AEGP_LayerSuite15, kAEGPLayerSuite, kAEGPLayerSuiteVersion15);
VEL_DECLARE_SUITE(AEGP_FootageSuite11, kAEGPFootageSuite, kAEGPFootageSuiteVersion11);
VEL_DECLARE_SUITE(AEGP_EffectSuite4, kAEGPEffectSuite, kAEGPEffectSuiteVersion4);
VEL_DECLARE_SUITE(AEGP_LayerMaskSuite7, kAEGPLayerMaskSuite, kAEGPLayerMaskSuiteVersion7);
VEL_DECLARE_SUITE(AEGP_DynamicStreamSuite5, kAEGPDynamicStreamSuite, kAEGPDynamicStreamSuiteVersion5);
VEL_DECLARE_SUITE(AEGP_StreamSuite11, kAEGPStreamSuite, kAEGPStreamSuiteVersion11);
VEL_DECLARE_SUITE(AEGP_KeyframeSuite5, kAEGPKeyframeSuite, kAEGPKeyframeSuiteVersion5);

// Logs "Suite not found: <struct>, <name symbol>, <version symbol>" at ERROR
// and to the system log, and gives the MissingSuite error. Repeats of the
// same suite are counted, not written, until an acquisition succeeds.
AeError report_missing_suite(const SuiteId& id);

// Untyped acquisition: the table, or MissingSuite after one "Suite not
// found" line. A host that answers success with a null table is given its
// acquisition back and counts as missing.
Result<const void*, AeError> acquire_raw_suite(const SPBasicSuite* basic, const SuiteId& id);
void release_raw_suite(const SPBasicSuite* basic, const SuiteId& id);

// One acquisition, released when the guard goes out of scope (moved-from
// guards release nothing).
template <class S>
class SuiteGuard {
 public:
  SuiteGuard(const SPBasicSuite* basic, const S* table) : basic_(basic), table_(table) {}
  SuiteGuard(SuiteGuard&& o) noexcept : basic_(o.basic_), table_(std::exchange(o.table_, nullptr)) {}
  SuiteGuard& operator=(SuiteGuard&& o) noexcept {
    if (this != &o) {
      reset();
      basic_ = o.basic_;
      table_ = std::exchange(o.table_, nullptr);
    }
    return *this;
  }
  SuiteGuard(const SuiteGuard&) = delete;
  SuiteGuard& operator=(const SuiteGuard&) = delete;
  ~SuiteGuard() { reset(); }

  const S* operator->() const { return table_; }
  const S& operator*() const { return *table_; }
  const S* get() const { return table_; }

  // Gives up ownership without releasing: for suites kept for the process.
  const S* keep() && { return std::exchange(table_, nullptr); }

 private:
  void reset() {
    if (table_) release_raw_suite(basic_, SuiteTraits<S>::id);
    table_ = nullptr;
  }
  const SPBasicSuite* basic_;
  const S* table_;
};

template <class S>
Result<SuiteGuard<S>, AeError> acquire_suite_from(const SPBasicSuite* basic) {
  auto raw = acquire_raw_suite(basic, SuiteTraits<S>::id);
  if (!raw) return Err{raw.error()};
  return SuiteGuard<S>(basic, static_cast<const S*>(raw.value()));
}

// Acquires through the basic suite stored at entry.
template <class S>
Result<SuiteGuard<S>, AeError> acquire_suite() {
  return acquire_suite_from<S>(stored_basic_suite());
}

// A suite acquired once and kept for the process in a slot readable from
// any thread. A failed acquisition leaves the slot empty, to be tried again
// on the next call (which must come from the main thread).
template <class S>
std::atomic<const S*>& kept_suite_slot() {
  static std::atomic<const S*>& slot = *new std::atomic<const S*>(nullptr);
  return slot;
}

template <class S>
Result<const S*, AeError> keep_suite() {
  auto& slot = kept_suite_slot<S>();
  if (const S* s = slot.load(std::memory_order_acquire)) return s;
  auto guard = acquire_suite<S>();
  if (!guard) return Err{guard.error()};
  const S* expected = nullptr;
  const S* table = guard.value().get();
  if (!slot.compare_exchange_strong(expected, table, std::memory_order_acq_rel)) return expected;  // guard releases ours
  return std::move(guard.value()).keep();
}

// Every acquisition of a call site's suite goes through one of these; a
// missing suite's error is the one the caller gets.
#define VEL_TRY_SUITE(var, Suite)               \
  auto var##_acq = ::vel::acquire_suite<Suite>(); \
  if (!var##_acq) return ::vel::Err{var##_acq.error()}; \
  const auto& var = var##_acq.value()

}  // namespace vel
