#include "host/ae_error.h"

#include "hostsdk/types.h"

namespace vel {

std::string AeError::name() const {
  switch (kind_) {
    case AeErrorKind::Generic: return "Generic";
    case AeErrorKind::Struct: return "Struct";
    case AeErrorKind::Parameter: return "Parameter";
    case AeErrorKind::OutOfMemory: return "OutOfMemory";
    case AeErrorKind::WrongThread: return "WrongThread";
    case AeErrorKind::ConstProjectModification: return "ConstProjectModification";
    case AeErrorKind::MissingSuite: return "MissingSuite";
    case AeErrorKind::NotInCacheOrComputePending: return "NotInCacheOrComputePending";
    case AeErrorKind::ProjectLoadFatal: return "ProjectLoadFatal";
    case AeErrorKind::EffectApplyFatal: return "EffectApplyFatal";
    case AeErrorKind::InternalStructDamaged: return "InternalStructDamaged";
    case AeErrorKind::InvalidIndex: return "InvalidIndex";
    case AeErrorKind::UnrecognizedParameterType: return "UnrecognizedParameterType";
    case AeErrorKind::InvalidCallback: return "InvalidCallback";
    case AeErrorKind::BadCallbackParameter: return "BadCallbackParameter";
    case AeErrorKind::InterruptCancel: return "InterruptCancel";
    case AeErrorKind::CannotParseKeyframeText: return "CannotParseKeyframeText";
    case AeErrorKind::InvalidParms: return "InvalidParms";
    case AeErrorKind::Internal: return text_;
  }
  return text_;
}

std::string to_string(const AeError& e) { return e.name(); }
std::ostream& operator<<(std::ostream& os, const AeError& e) { return os << e.name(); }

AeError map_ae_error(int32_t code) {
  switch (code) {
    case A_Err_GENERIC: return AeErrorKind::Generic;
    case A_Err_STRUCT: return AeErrorKind::Struct;
    case A_Err_PARAMETER: return AeErrorKind::Parameter;
    case A_Err_ALLOC: return AeErrorKind::OutOfMemory;
    case A_Err_WRONG_THREAD: return AeErrorKind::WrongThread;
    case A_Err_CONST_PROJECT_MODIFICATION: return AeErrorKind::ConstProjectModification;
    case A_Err_MISSING_SUITE: return AeErrorKind::MissingSuite;
    case A_Err_NOT_IN_CACHE_OR_COMPUTE_PENDING: return AeErrorKind::NotInCacheOrComputePending;
    case A_Err_PROJECT_LOAD_FATAL: return AeErrorKind::ProjectLoadFatal;
    case A_Err_EFFECT_APPLY_FATAL: return AeErrorKind::EffectApplyFatal;
    case PF_Err_INTERNAL_STRUCT_DAMAGED: return AeErrorKind::InternalStructDamaged;
    case PF_Err_INVALID_INDEX: return AeErrorKind::InvalidIndex;
    case PF_Err_UNRECOGNIZED_PARAM_TYPE: return AeErrorKind::UnrecognizedParameterType;
    case PF_Err_INVALID_CALLBACK: return AeErrorKind::InvalidCallback;
    case PF_Err_BAD_CALLBACK_PARAM: return AeErrorKind::BadCallbackParameter;
    case PF_Err_INTERRUPT_CANCEL: return AeErrorKind::InterruptCancel;
    case PF_Err_CANNOT_PARSE_KEYFRAME_TEXT: return AeErrorKind::CannotParseKeyframeText;
    case PF_Err_INVALID_PARMS: return AeErrorKind::InvalidParms;
    default: return AeError::internal("Unknown enum value Error: " + std::to_string(code));
  }
}

Status<AeError> check_ae(int32_t code) {
  if (code == A_Err_NONE) return ok_unit();
  return Err{map_ae_error(code)};
}

}  // namespace vel
