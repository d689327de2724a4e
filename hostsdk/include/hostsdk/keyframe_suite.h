/* "AEGP Keyframe Suite" 5: keyframes of a stream. */
#ifndef HOSTSDK_KEYFRAME_SUITE_H
#define HOSTSDK_KEYFRAME_SUITE_H

#include "hostsdk/stream_suite.h"
#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPKeyframeSuite "AEGP Keyframe Suite"
#define kAEGPKeyframeSuiteVersion5 5

typedef A_long AEGP_KeyframeIndex;

typedef A_long AEGP_KeyframeInterpolationType;
#define AEGP_KeyInterp_NONE 0
#define AEGP_KeyInterp_LINEAR 1
#define AEGP_KeyInterp_BEZIER 2
#define AEGP_KeyInterp_HOLD 3

/* Temporal ease of one dimension: speed in units per second, influence in
 * percent (0..100]. */
typedef struct AEGP_KeyframeEase {
  A_FpLong speed;
  A_FpLong influence;
} AEGP_KeyframeEase;

typedef struct AEGP_KeyframeSuite5 {
  /* Number of keyframes; 0 for a static stream. */
  A_Err (*GetStreamNumKFs)(AEGP_StreamRefH stream, A_long* num_kfs);
  A_Err (*GetKeyframeTime)(AEGP_StreamRefH stream, AEGP_KeyframeIndex index, AEGP_LTimeMode time_mode,
                           A_Time* time);
  /* A new value; the caller disposes it with the Stream suite's
   * DisposeStreamValue. */
  A_Err (*GetNewKeyframeValue)(AEGP_PluginID plugin_id, AEGP_StreamRefH stream, AEGP_KeyframeIndex index,
                               AEGP_StreamValue2* value);
  A_Err (*GetKeyframeInterpolation)(AEGP_StreamRefH stream, AEGP_KeyframeIndex index,
                                    AEGP_KeyframeInterpolationType* in_interp,
                                    AEGP_KeyframeInterpolationType* out_interp);
  /* Ease of dimension `dimension` (0-based); either out-pointer may be null. */
  A_Err (*GetKeyframeTemporalEase)(AEGP_StreamRefH stream, AEGP_KeyframeIndex index, A_long dimension,
                                   AEGP_KeyframeEase* in_ease, AEGP_KeyframeEase* out_ease);
} AEGP_KeyframeSuite5;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_KEYFRAME_SUITE_H */
