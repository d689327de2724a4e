#include "simhost/host.h"

namespace sim {

Host& host() {
  static Host& h = *new Host();
  return h;
}

bool on_main_thread() {
  Host& h = host();
  if (std::this_thread::get_id() == h.main_thread) return true;
  h.wrong_thread_calls.fetch_add(1, std::memory_order_relaxed);
  return false;
}

}  // namespace sim
