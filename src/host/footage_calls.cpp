#include "host/footage_calls.h"

#include "host/suite_access.h"

namespace vel {

Result<FootageH, AeError> main_footage_from_item(ItemH item) {
  VEL_TRY_SUITE(footage, AEGP_FootageSuite11);
  AEGP_FootageH f = nullptr;
  if (auto st = check_ae(footage->GetMainFootageFromItem(item, &f)); !st) return Err{st.error()};
  if (!f) return Err{AeError::internal("GetMainFootageFromItem: null footage")};
  return f;
}

FootageSignature footage_signature(FootageH footage) {
  if (!footage) return FootageSignature::Unknown;
  auto suite = keep_suite<AEGP_FootageSuite11>();
  if (!suite) return FootageSignature::Unknown;
  AEGP_FootageSignature sig = AEGP_FootageSignature_NONE;
  if (suite.value()->GetFootageSignature(footage, &sig) != A_Err_NONE) return FootageSignature::Unknown;
  return sig == AEGP_FootageSignature_SOLID ? FootageSignature::Solid : FootageSignature::Other;
}

Result<ColorArgb, AeError> solid_footage_color(ItemH item, bool proxy) {
  VEL_TRY_SUITE(footage, AEGP_FootageSuite11);
  AEGP_ColorVal c{};
  if (auto st = check_ae(footage->GetSolidFootageColor(item, proxy ? 1 : 0, &c)); !st) return Err{st.error()};
  return ColorArgb{c.alpha, c.red, c.green, c.blue};
}

}  // namespace vel
