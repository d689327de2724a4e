// One in-process render through the host: the synchronous grab (render,
// check out, convert, check in) and the submission of an asynchronous one.
#pragma once

#include <cstdint>

#include "cache/frame_key.h"
#include "core/result.h"
#include "host/handles.h"
#include "host/render_calls.h"
#include "preview/grabbed_frame.h"

namespace vel {

struct RenderRequest {
  ItemH item = nullptr;  // the composition
  PluginId plugin_id = 0;
  FrameKey key;  // the frame's host time
  uint32_t downsample = 1;
  uint32_t depth_bpc = 8;
};

// The conversion's view of a host world; an error for an unknown depth.
Result<HostPixels> host_pixels_of(const WorldView& world);

// Converts a host world into a new pixel payload, in a buffer from the
// pixel buffer pool (every byte is overwritten). Fails on a bad view or when
// no buffer can be had; never throws. Any thread.
Result<PixelPayload> convert_to_payload(const HostPixels& pixels);

// Render options for the request (time, downsample, depth).
Result<RenderOptions, GrabError> render_options_for(const RenderRequest& req);

// Renders on the calling (main) thread and converts to RGBA8. The world is
// checked in on every path. NoActiveComp without an item.
Result<GrabbedFrame, GrabError> render_frame_sync(const RenderRequest& req);

}  // namespace vel
