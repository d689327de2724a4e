/* "AEGP Stream Suite" 11: animatable properties of layers and their values. */
#ifndef HOSTSDK_STREAM_SUITE_H
#define HOSTSDK_STREAM_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPStreamSuite "AEGP Stream Suite"
#define kAEGPStreamSuiteVersion11 11

/* The layer's own streams. */
typedef A_long AEGP_LayerStream;
#define AEGP_LayerStream_ANCHORPOINT 0
#define AEGP_LayerStream_POSITION 1
#define AEGP_LayerStream_SCALE 2
#define AEGP_LayerStream_ROTATION 3
#define AEGP_LayerStream_OPACITY 4

typedef A_long AEGP_StreamType;
#define AEGP_StreamType_NO_DATA 0
#define AEGP_StreamType_ThreeD_SPATIAL 1
#define AEGP_StreamType_ThreeD 2
#define AEGP_StreamType_TwoD_SPATIAL 3
#define AEGP_StreamType_TwoD 4
#define AEGP_StreamType_OneD 5
#define AEGP_StreamType_COLOR 6
#define AEGP_StreamType_ARB 7
#define AEGP_StreamType_MARKER 8
#define AEGP_StreamType_LAYER_ID 9
#define AEGP_StreamType_MASK_ID 10
#define AEGP_StreamType_MASK 11
#define AEGP_StreamType_TEXT_DOCUMENT 12

/* How a time argument is read. */
typedef A_long AEGP_LTimeMode;
#define AEGP_LTimeMode_LayerTime 0
#define AEGP_LTimeMode_CompTime 1

typedef struct AEGP_ThreeDVal {
  A_FpLong x, y, z;
} AEGP_ThreeDVal;
typedef struct AEGP_TwoDVal {
  A_FpLong x, y;
} AEGP_TwoDVal;

/* A value of a stream; which member is meaningful follows the stream type
 * (layer and mask ids use `id`; the mask and text types carry no number
 * here). */
typedef union AEGP_StreamVal2 {
  AEGP_ThreeDVal three_d;
  AEGP_TwoDVal two_d;
  A_FpLong one_d;
  AEGP_ColorVal color;
  A_long id;
} AEGP_StreamVal2;

typedef struct AEGP_StreamValue2 {
  AEGP_StreamRefH stream; /* the stream the value came from */
  AEGP_StreamVal2 val;
} AEGP_StreamValue2;

typedef struct AEGP_StreamSuite11 {
  /* A new reference to one of the layer's own streams; the caller disposes
   * it with DisposeStream. */
  A_Err (*GetNewLayerStream)(AEGP_PluginID plugin_id, AEGP_LayerH layer, AEGP_LayerStream which,
                             AEGP_StreamRefH* stream);
  A_Err (*DisposeStream)(AEGP_StreamRefH stream);
  A_Err (*GetStreamType)(AEGP_StreamRefH stream, AEGP_StreamType* type);
  /* The value at `time`, before expressions when `pre_expression`. The
   * caller disposes the value with DisposeStreamValue. */
  A_Err (*GetNewStreamValue)(AEGP_PluginID plugin_id, AEGP_StreamRefH stream, AEGP_LTimeMode time_mode,
                             const A_Time* time, A_Boolean pre_expression, AEGP_StreamValue2* value);
  A_Err (*DisposeStreamValue)(AEGP_StreamValue2* value);
  /* Whether the stream has an expression that is switched on. */
  A_Err (*GetExpressionState)(AEGP_PluginID plugin_id, AEGP_StreamRefH stream, A_Boolean* enabled);
} AEGP_StreamSuite11;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_STREAM_SUITE_H */
