#include "host/suite_access.h"

#include <string>

#include "core/log.h"
#include "core/repeat_log.h"

namespace vel {
namespace {
std::atomic<const SPBasicSuite*> g_basic{nullptr};
}

void store_basic_suite(const SPBasicSuite* basic) { g_basic.store(basic, std::memory_order_release); }
const SPBasicSuite* stored_basic_suite() { return g_basic.load(std::memory_order_acquire); }

AeError report_missing_suite(const SuiteId& id) {
  std::string line = std::string("Suite not found: ") + id.struct_name + ", " + id.name_symbol + ", " + id.version_symbol;
  // A suite the host lacks is asked for again on every idle call: its line
  // is written once, and a summary with the count when it turns up.
  log_repeatable(id.struct_name, "ERROR", line, LogReach::FileAndSystem);
  return AeErrorKind::MissingSuite;
}

Result<const void*, AeError> acquire_raw_suite(const SPBasicSuite* basic, const SuiteId& id) {
  if (!basic || !basic->AcquireSuite) return Err{report_missing_suite(id)};
  const void* table = nullptr;
  SPErr rc = basic->AcquireSuite(id.name, id.version, &table);
  if (rc != 0) return Err{report_missing_suite(id)};
  if (!table) {
    // Success without a table: the host still counts an acquisition.
    release_raw_suite(basic, id);
    return Err{report_missing_suite(id)};
  }
  log_repeat_ended(id.struct_name);
  return table;
}

void release_raw_suite(const SPBasicSuite* basic, const SuiteId& id) {
  if (basic && basic->ReleaseSuite) basic->ReleaseSuite(id.name, id.version);
}

}  // namespace vel
