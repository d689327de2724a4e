// One acquisition of a host suite held by a caller outside the host access
// layer, for code that must tell "the suite is missing" apart from a failed
// call (the typed calls acquire their own suites as well).
#pragma once

#include <cstdint>

#include "core/result.h"
#include "host/ae_error.h"

namespace vel {

struct SuiteId;

enum class HostSuite : uint8_t { Item, Comp, Layer, Footage, Effect, LayerMask, DynamicStream, Stream, Keyframe, Memory };

// Released when it goes out of scope; moved-from holds release nothing.
class SuiteHold {
 public:
  // The acquisition, or MissingSuite after the "Suite not found" line.
  static Result<SuiteHold, AeError> acquire(HostSuite suite);

  SuiteHold(SuiteHold&& o) noexcept;
  SuiteHold& operator=(SuiteHold&& o) noexcept;
  SuiteHold(const SuiteHold&) = delete;
  SuiteHold& operator=(const SuiteHold&) = delete;
  ~SuiteHold();

 private:
  explicit SuiteHold(const SuiteId* id) : id_(id) {}
  const SuiteId* id_ = nullptr;
};

}  // namespace vel
