/* "AEGP Footage Suite" 11: the footage behind footage items. */
#ifndef HOSTSDK_FOOTAGE_SUITE_H
#define HOSTSDK_FOOTAGE_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPFootageSuite "AEGP Footage Suite"
#define kAEGPFootageSuiteVersion11 11

typedef A_long AEGP_FootageSignature;
#define AEGP_FootageSignature_NONE 0
#define AEGP_FootageSignature_MISSING 1
#define AEGP_FootageSignature_SOLID 2

typedef struct AEGP_FootageSuite11 {
  /* The item's main (non-proxy) footage; an error for a non-footage item. */
  A_Err (*GetMainFootageFromItem)(AEGP_ItemH item, AEGP_FootageH* footage);
  A_Err (*GetFootageSignature)(AEGP_FootageH footage, AEGP_FootageSignature* signature);
  /* Colour of a solid footage item (its proxy when `proxy`); an error for
   * any other item. */
  A_Err (*GetSolidFootageColor)(AEGP_ItemH item, A_Boolean proxy, AEGP_ColorVal* color);
} AEGP_FootageSuite11;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_FOOTAGE_SUITE_H */
