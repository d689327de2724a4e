#include "core/process_flags.h"

namespace vel {
namespace {
std::atomic<EarlyIdleCaller> g_caller{nullptr};
}

// Never destroyed: detached workers read them during exit.
std::atomic<bool>& modal_flag() {
  static std::atomic<bool>& f = *new std::atomic<bool>(false);
  return f;
}

std::atomic<bool>& dying_flag() {
  static std::atomic<bool>& f = *new std::atomic<bool>(false);
  return f;
}

void set_early_idle_caller(EarlyIdleCaller caller) { g_caller.store(caller, std::memory_order_release); }

void request_early_idle() {
  if (modal_flag().load(std::memory_order_relaxed) || dying_flag().load(std::memory_order_relaxed)) return;
  if (EarlyIdleCaller c = g_caller.load(std::memory_order_acquire)) c();
}

}  // namespace vel
