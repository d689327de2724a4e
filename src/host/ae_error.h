// AeError: the one error type of the host access layer. Every host call's
// non-zero code becomes one of these; it prints as its variant name, which
// callers put into their own texts ("suite Item: MissingSuite").
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "core/result.h"

namespace vel {

enum class AeErrorKind : uint8_t {
  Generic,
  Struct,
  Parameter,
  OutOfMemory,
  WrongThread,
  ConstProjectModification,
  MissingSuite,
  NotInCacheOrComputePending,
  ProjectLoadFatal,
  EffectApplyFatal,
  InternalStructDamaged,
  InvalidIndex,
  UnrecognizedParameterType,
  InvalidCallback,
  BadCallbackParameter,
  InterruptCancel,
  CannotParseKeyframeText,
  InvalidParms,
  // Not a host code: a code outside the known set, or a fault of this layer
  // (an unexpected stream type, a handle the host answered null for). Carries
  // its own text.
  Internal,
};

class AeError {
 public:
  constexpr AeError(AeErrorKind kind) : kind_(kind) {}  // NOLINT: a kind is an error
  static AeError internal(std::string text) {
    AeError e(AeErrorKind::Internal);
    e.text_ = std::move(text);
    return e;
  }

  AeErrorKind kind() const { return kind_; }
  // The variant name ("Generic", "MissingSuite", …); for an internal error,
  // its text.
  std::string name() const;

  friend bool operator==(const AeError& a, const AeError& b) { return a.kind_ == b.kind_ && a.text_ == b.text_; }

 private:
  AeErrorKind kind_;
  std::string text_;
};

std::string to_string(const AeError& e);
std::ostream& operator<<(std::ostream& os, const AeError& e);

// A host code mapped to its error. Meant for non-zero codes: any code
// outside the known set, 0 included, is the internal error
// "Unknown enum value Error: <code>".
AeError map_ae_error(int32_t code);

// 0 is success; anything else is its error.
Status<AeError> check_ae(int32_t code);

}  // namespace vel
