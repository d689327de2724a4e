#include "host/utility_calls.h"

#include <string>

#include "core/process_flags.h"
#include "host/mem_text.h"
#include "host/suite_access.h"

namespace vel {

Result<ScriptOutput, AeError> execute_script(PluginId plugin_id, std::string_view script) {
  // The host reads the script up to its first zero byte: refuse rather than
  // run a truncated program.
  if (script.find('\0') != std::string_view::npos) return Err{AeError(AeErrorKind::InvalidParms)};
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  VEL_TRY_SUITE(util, AEGP_UtilitySuite13);
  std::string text(script);
  AEGP_MemHandle result = nullptr, error = nullptr;
  A_Err rc = util->ExecuteScript(plugin_id, text.c_str(), 0, &result, &error);
  auto result_text = take_byte_text(*mem, result);
  auto error_text = take_byte_text(*mem, error);
  if (rc != A_Err_NONE) return Err{map_ae_error(rc)};
  if (!result_text) return Err{result_text.error()};
  if (!error_text) return Err{error_text.error()};
  return ScriptOutput{std::move(result_text.value()), std::move(error_text.value())};
}

namespace {
void early_idle_through_kept_suite() { (void)cause_idle_routines(); }
}  // namespace

Status<AeError> keep_utility_suite() {
  auto kept = keep_suite<AEGP_UtilitySuite13>();
  if (!kept) return Err{kept.error()};
  set_early_idle_caller(&early_idle_through_kept_suite);
  return ok_unit();
}

bool utility_suite_kept() { return kept_suite_slot<AEGP_UtilitySuite13>().load(std::memory_order_acquire) != nullptr; }

Status<AeError> cause_idle_routines() {
  const AEGP_UtilitySuite13* util = kept_suite_slot<AEGP_UtilitySuite13>().load(std::memory_order_acquire);
  if (!util) return Err{AeError(AeErrorKind::MissingSuite)};
  return check_ae(util->CauseIdleRoutinesToBeCalled());
}

namespace {
Result<bool, AeError> modal_through(const AEGP_UtilitySuite13& util) {
  A_Boolean shown = 0;
  if (auto st = check_ae(util.IsModalWindowShown(&shown)); !st) return Err{st.error()};
  return shown != 0;
}
}  // namespace

Result<bool, AeError> host_shows_modal() {
  // Asked on every idle tick: use the kept suite rather than acquire each time.
  if (const AEGP_UtilitySuite13* kept = kept_suite_slot<AEGP_UtilitySuite13>().load(std::memory_order_acquire))
    return modal_through(*kept);
  VEL_TRY_SUITE(util, AEGP_UtilitySuite13);
  return modal_through(*util);
}

Status<AeError> report_info(PluginId plugin_id, std::string_view text) {
  VEL_TRY_SUITE(util, AEGP_UtilitySuite13);
  std::string z(text.substr(0, text.find('\0')));
  return check_ae(util->ReportInfo(plugin_id, z.c_str()));
}

}  // namespace vel
