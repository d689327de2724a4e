/* "AEGP Layer Mask Suite" 7: masks of a layer. */
#ifndef HOSTSDK_MASK_SUITE_H
#define HOSTSDK_MASK_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPLayerMaskSuite "AEGP Layer Mask Suite"
#define kAEGPLayerMaskSuiteVersion7 7

typedef struct AEGP_LayerMaskSuite7 {
  A_Err (*GetLayerNumMasks)(AEGP_LayerH layer, A_long* num_masks);
} AEGP_LayerMaskSuite7;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_MASK_SUITE_H */
