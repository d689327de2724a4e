// Chosen failures of the stand-in host's calls, so a test can make any call
// (and any suite acquisition) answer a host error of its choice, inside or
// outside the documented set, at the n-th time it is made.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "hostsdk/types.h"

namespace sim {

class CallFaults {
 public:
  // From now on `call` fails with `code` after `skip` further calls went
  // through, `times` times in a row (0: for ever). Replaces an earlier plan
  // for the same call.
  void arm(const std::string& call, A_Err code, uint32_t skip = 0, uint32_t times = 0);
  void clear();
  // The error this call must answer, or 0 to go on. Counts the call.
  A_Err check(const char* call);
  // How many times `call` was made since the host started.
  uint64_t calls(const std::string& call) const;

 private:
  struct Plan {
    A_Err code = 0;
    uint32_t skip = 0;
    uint32_t times = 0;  // 0: for ever
    uint32_t failed = 0;
  };
  mutable std::mutex mu_;
  std::map<std::string, Plan> plans_;
  std::map<std::string, uint64_t> calls_;
};

// The first statement of every suite function: the call's chosen failure,
// if any, is its answer. The function's own name is the call's name.
#define SIM_FAULT_POINT()                                                   \
  do {                                                                      \
    if (A_Err sim_fault_ = ::sim::host().faults.check(__func__)) return sim_fault_; \
  } while (0)

}  // namespace sim
