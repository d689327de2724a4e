/* "AEGP Comp Suite" 25: compositions. */
#ifndef HOSTSDK_COMP_SUITE_H
#define HOSTSDK_COMP_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPCompSuite "AEGP Comp Suite"
#define kAEGPCompSuiteVersion25 25

typedef struct AEGP_CompSuite25 {
  /* The composition of an item; null (and 0 returned) when the item is not
   * a composition. */
  A_Err (*GetCompFromItem)(AEGP_ItemH item, AEGP_CompH* comp);
  A_Err (*GetItemFromComp)(AEGP_CompH comp, AEGP_ItemH* item);
  /* Duration of one frame; the host does not reduce the fraction. */
  A_Err (*GetCompFrameDuration)(AEGP_CompH comp, A_Time* frame_duration);
  A_Err (*GetCompFramerate)(AEGP_CompH comp, A_FpLong* fps);
  A_Err (*GetCompBGColor)(AEGP_CompH comp, AEGP_ColorVal* color);
  /* Work area start, in composition time. */
  A_Err (*GetCompWorkAreaStart)(AEGP_CompH comp, A_Time* start);
  A_Err (*GetCompWorkAreaDuration)(AEGP_CompH comp, A_Time* duration);
  /* Sets both at once; refuses (non-zero, nothing changed) a range outside
   * the composition or of zero length. */
  A_Err (*SetCompWorkAreaStartAndDuration)(AEGP_CompH comp, const A_Time* start, const A_Time* duration);
} AEGP_CompSuite25;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_COMP_SUITE_H */
