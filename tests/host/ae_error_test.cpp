#include "host/ae_error.h"

#include <gtest/gtest.h>

#include "hostsdk/types.h"

namespace vel {
namespace {

struct Named {
  int32_t code;
  const char* name;
};

TEST(AeError, KnownCodesPrintTheirVariantName) {
  const Named table[] = {
      {A_Err_GENERIC, "Generic"},
      {A_Err_STRUCT, "Struct"},
      {A_Err_PARAMETER, "Parameter"},
      {A_Err_ALLOC, "OutOfMemory"},
      {A_Err_WRONG_THREAD, "WrongThread"},
      {A_Err_CONST_PROJECT_MODIFICATION, "ConstProjectModification"},
      {A_Err_MISSING_SUITE, "MissingSuite"},
      {A_Err_NOT_IN_CACHE_OR_COMPUTE_PENDING, "NotInCacheOrComputePending"},
      {A_Err_PROJECT_LOAD_FATAL, "ProjectLoadFatal"},
      {A_Err_EFFECT_APPLY_FATAL, "EffectApplyFatal"},
      {PF_Err_INTERNAL_STRUCT_DAMAGED, "InternalStructDamaged"},
      {PF_Err_INVALID_INDEX, "InvalidIndex"},
      {PF_Err_UNRECOGNIZED_PARAM_TYPE, "UnrecognizedParameterType"},
      {PF_Err_INVALID_CALLBACK, "InvalidCallback"},
      {PF_Err_BAD_CALLBACK_PARAM, "BadCallbackParameter"},
      {PF_Err_INTERRUPT_CANCEL, "InterruptCancel"},
      {PF_Err_CANNOT_PARSE_KEYFRAME_TEXT, "CannotParseKeyframeText"},
      {PF_Err_INVALID_PARMS, "InvalidParms"},
  };
  for (const auto& row : table) {
    AeError e = map_ae_error(row.code);
    EXPECT_EQ(e.name(), row.name) << row.code;
    EXPECT_NE(e.kind(), AeErrorKind::Internal) << row.code;
    EXPECT_EQ(to_string(e), row.name);
  }
}

TEST(AeError, CodesOutsideTheSetAreInternalWithTheCodeInTheText) {
  const struct {
    int32_t code;
    const char* text;
  } table[] = {
      {7, "Unknown enum value Error: 7"},
      {9999, "Unknown enum value Error: 9999"},
      {-1, "Unknown enum value Error: -1"},
      {0, "Unknown enum value Error: 0"},
      {INT32_MIN, "Unknown enum value Error: -2147483648"},
  };
  for (const auto& row : table) {
    AeError e = map_ae_error(row.code);
    EXPECT_EQ(e.kind(), AeErrorKind::Internal);
    EXPECT_EQ(e.name(), row.text);
  }
}

TEST(AeError, CheckTreatsOnlyZeroAsSuccess) {
  EXPECT_TRUE(check_ae(A_Err_NONE).ok());
  auto st = check_ae(A_Err_ALLOC);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error(), AeError(AeErrorKind::OutOfMemory));
}

}  // namespace
}  // namespace vel
