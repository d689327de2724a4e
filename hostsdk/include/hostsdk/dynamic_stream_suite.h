/* "AEGP Dynamic Stream Suite" 5: the property tree of a layer. */
#ifndef HOSTSDK_DYNAMIC_STREAM_SUITE_H
#define HOSTSDK_DYNAMIC_STREAM_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPDynamicStreamSuite "AEGP Dynamic Stream Suite"
#define kAEGPDynamicStreamSuiteVersion5 5

/* Size of a stream match-name buffer, terminating zero included. */
#define AEGP_MAX_STREAM_MATCH_NAME_SIZE 40

typedef struct AEGP_DynamicStreamSuite5 {
  /* A new reference to the layer's root group; disposed with the Stream
   * suite's DisposeStream. */
  A_Err (*GetNewStreamRefForLayer)(AEGP_PluginID plugin_id, AEGP_LayerH layer, AEGP_StreamRefH* root);
  A_Err (*GetNumStreamsInGroup)(AEGP_StreamRefH group, A_long* num_streams);
  /* A new reference to the child at `index`; disposed like the root. */
  A_Err (*GetNewStreamRefByIndex)(AEGP_PluginID plugin_id, AEGP_StreamRefH parent, A_long index,
                                  AEGP_StreamRefH* child);
  /* Writes the NUL-terminated match name into a buffer of
   * AEGP_MAX_STREAM_MATCH_NAME_SIZE bytes. */
  A_Err (*GetMatchName)(AEGP_StreamRefH stream, A_char* match_name);
  /* Non-zero when the stream differs from its default. */
  A_Err (*GetStreamIsModified)(AEGP_StreamRefH stream, A_Boolean* modified);
  /* Whether the stream leads a group whose dimensions can be separated. */
  A_Err (*IsSeparationLeader)(AEGP_StreamRefH stream, A_Boolean* leader);
  A_Err (*AreDimensionsSeparated)(AEGP_StreamRefH leader, A_Boolean* separated);
} AEGP_DynamicStreamSuite5;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_DYNAMIC_STREAM_SUITE_H */
