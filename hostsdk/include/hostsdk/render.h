/* The host's render side: render options, synchronous frame renders with
 * their checked-out worlds, the world accessors, the project-change
 * timestamp, and the asynchronous render manager. Plain C11; no logic.
 *
 * World pixels: four channels per pixel in memory order alpha, red, green,
 * blue. Per channel: 8 bpc an unsigned byte 0..255; 16 bpc an unsigned
 * 16-bit integer in host byte order, 0..32768; 32 bpc a float, 0.0..1.0
 * nominal (values outside may occur). Rows start `row_bytes` apart; a row
 * holds at least width pixels and may be padded. Alpha is straight or
 * premultiplied as the world says. */
#ifndef HOSTSDK_RENDER_H
#define HOSTSDK_RENDER_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Types shared by the render suites --------------------------------- */

/* A render request in the making: item, time, downsample, world type. Owned
 * by whoever created it; dispose it once. */
typedef struct _AEGP_RenderOptions* AEGP_RenderOptionsH;
/* A checked-out rendered frame: holds its world until checked in. */
typedef struct _AEGP_FrameReceipt* AEGP_FrameReceiptH;

/* Depth of a world. */
typedef A_long AEGP_WorldType;
#define AEGP_WorldType_NONE 0
#define AEGP_WorldType_8 1  /* 8 bits per channel */
#define AEGP_WorldType_16 2 /* 16 bits per channel, 0..32768 */
#define AEGP_WorldType_32 3 /* 32-bit float per channel */

/* How a world's colour channels relate to its alpha. */
typedef A_long AEGP_AlphaKind;
#define AEGP_Alpha_STRAIGHT 0
#define AEGP_Alpha_PREMULTIPLIED 1

/* The project-change timestamp: equal stamps mean no change of the project
 * happened between the two reads. Compare every word; no order is implied. */
typedef struct AEGP_TimeStamp {
  A_u_long a[4];
} AEGP_TimeStamp;

/* ---- Render Options suite ------------------------------------------------ */
#define kAEGPRenderOptionsSuite "AEGP Render Options Suite"
#define kAEGPRenderOptionsSuiteVersion4 4

typedef struct AEGP_RenderOptionsSuite4 {
  /* New options for `item` (a composition): time 0, downsample 1×1, world
   * type 8 bpc. Fails with a parameter error for an item that is not a
   * composition; *optionsPH is then null. */
  A_Err (*AEGP_NewFromItem)(AEGP_PluginID plugin_id, AEGP_ItemH item, AEGP_RenderOptionsH* optionsPH);
  /* Frees the options. Never fails for options this suite made. */
  A_Err (*AEGP_Dispose)(AEGP_RenderOptionsH options);
  /* The composition time to render. A time with scale 0 is a parameter error. */
  A_Err (*AEGP_SetTime)(AEGP_RenderOptionsH options, A_Time time);
  A_Err (*AEGP_GetTime)(AEGP_RenderOptionsH options, A_Time* timeP);
  /* Downsample factors, each at least 1: the rendered world is
   * ceil(width / x) × ceil(height / y). A factor below 1 is a parameter error. */
  A_Err (*AEGP_SetDownsampleFactor)(AEGP_RenderOptionsH options, A_short x, A_short y);
  A_Err (*AEGP_GetDownsampleFactor)(AEGP_RenderOptionsH options, A_short* xP, A_short* yP);
  /* Depth of the world to render into (AEGP_WorldType_8/16/32). */
  A_Err (*AEGP_SetWorldType)(AEGP_RenderOptionsH options, AEGP_WorldType type);
  A_Err (*AEGP_GetWorldType)(AEGP_RenderOptionsH options, AEGP_WorldType* typeP);
} AEGP_RenderOptionsSuite4;

/* ---- Render suite -------------------------------------------------------- */
#define kAEGPRenderSuite "AEGP Render Suite"
#define kAEGPRenderSuiteVersion8 8

typedef struct AEGP_RenderSuite8 {
  /* Renders the frame the options describe, on the calling thread (the
   * host's main thread only), and checks it out: *receiptPH holds the world
   * until AEGP_CheckinFrame. On failure *receiptPH is null and nothing needs
   * checking in. */
  A_Err (*AEGP_RenderAndCheckoutFrame)(AEGP_RenderOptionsH options, AEGP_FrameReceiptH* receiptPH);
  /* Gives a checked-out frame back; its world is gone afterwards. Each
   * receipt is checked in exactly once. */
  A_Err (*AEGP_CheckinFrame)(AEGP_FrameReceiptH receipt);
  /* The world of a checked-out frame, owned by the receipt (never dispose
   * it); valid until the receipt is checked in. */
  A_Err (*AEGP_GetReceiptWorld)(AEGP_FrameReceiptH receipt, AEGP_WorldH* worldPH);
  /* The project-change timestamp as of now. Main thread only. */
  A_Err (*AEGP_GetCurrentTimestamp)(AEGP_TimeStamp* stampP);
} AEGP_RenderSuite8;

/* ---- World suite --------------------------------------------------------- */
#define kAEGPWorldSuite "AEGP World Suite"
#define kAEGPWorldSuiteVersion3 3

/* Accessors only; callable from any thread for a world the caller may use
 * (a checked-out world, or the world handed to an async completion while
 * the completion runs). None of them allocates or fails for a valid world. */
typedef struct AEGP_WorldSuite3 {
  A_Err (*AEGP_GetType)(AEGP_WorldH world, AEGP_WorldType* typeP);
  A_Err (*AEGP_GetSize)(AEGP_WorldH world, A_long* widthP, A_long* heightP);
  /* Bytes from the start of one row to the start of the next. */
  A_Err (*AEGP_GetRowBytes)(AEGP_WorldH world, A_u_long* row_bytesP);
  /* First byte of the top row. */
  A_Err (*AEGP_GetBaseAddr)(AEGP_WorldH world, void** baseP);
  A_Err (*AEGP_GetAlphaKind)(AEGP_WorldH world, AEGP_AlphaKind* kindP);
} AEGP_WorldSuite3;

/* ---- Render Async Manager suite ------------------------------------------ */
#define kAEGPRenderAsyncManagerSuite "AEGP Render Async Manager Suite"
#define kAEGPRenderAsyncManagerSuiteVersion1 1

/* Names one submitted request; never 0 for an accepted one. */
typedef A_u_longlong AEGP_AsyncRequestId;

/* Called exactly once for every accepted request, on a thread of the host's
 * (never the main thread), also for cancelled requests. `cancelled` is
 * non-zero when the request was cancelled before it finished; `render_err`
 * is the render's error code. `world` is null when cancelled or failed;
 * otherwise it is the host's and valid only until the callback returns:
 * copy what you need. The callback must not call the Render or Render
 * Options suites; its return value is ignored. */
typedef A_Err (*AEGP_AsyncFrameReadyCallback)(void* refcon, AEGP_AsyncRequestId request_id, A_Boolean cancelled,
                                              A_Err render_err, AEGP_WorldH world);

typedef struct AEGP_RenderAsyncManagerSuite1 {
  /* Queues a render of the frame the options describe (copied: the caller
   * may dispose them at once). Main thread only. On success *request_idP is
   * the request's id and `callback` will be called once with `refcon`; on
   * failure it will never be called. */
  A_Err (*AEGP_SubmitFrameRequest)(AEGP_PluginID plugin_id, AEGP_RenderOptionsH options,
                                   AEGP_AsyncFrameReadyCallback callback, void* refcon,
                                   AEGP_AsyncRequestId* request_idP);
  /* Asks the host to drop a pending request; its callback still comes, with
   * `cancelled` set unless the render had already finished. Cancelling an id
   * that is unknown or already completed does nothing and returns 0. Main
   * thread only. */
  A_Err (*AEGP_CancelRequest)(AEGP_AsyncRequestId request_id);
} AEGP_RenderAsyncManagerSuite1;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_RENDER_H */
