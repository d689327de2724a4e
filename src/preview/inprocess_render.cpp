#include "preview/inprocess_render.h"

#include <string>

#include "cache/buffer_pool.h"
#include "core/machine.h"

namespace vel {

namespace {
double ms_since(uint64_t t0) {
  const uint64_t t1 = mono_ns();
  return t1 > t0 ? static_cast<double>(t1 - t0) / 1e6 : 0.0;
}
}  // namespace

Result<HostPixels> host_pixels_of(const WorldView& w) {
  HostPixels p;
  switch (w.bits_per_channel) {
    case 8:
      p.depth = SourceDepth::Bpc8;
      break;
    case 16:
      p.depth = SourceDepth::Bpc16;
      break;
    case 32:
      p.depth = SourceDepth::Bpc32;
      break;
    default:
      return err("unsupported world depth " + std::to_string(w.bits_per_channel));
  }
  p.base = w.base;
  p.width = w.width;
  p.height = w.height;
  p.row_bytes = w.row_bytes;
  p.alpha = w.premultiplied ? AlphaKind::Premultiplied : AlphaKind::Straight;
  return p;
}

Result<PixelPayload> convert_to_payload(const HostPixels& pixels) {
  auto len = checked_rgba_length(pixels);
  if (!len) return err(len.error());
  // A pooled buffer a little larger than needed is fine: the cache counts
  // payloads by capacity, and the pool keeps at most a few.
  auto buffer = take_pooled_buffer(len.value(), len.value() + len.value() / 4);
  if (!buffer) return err("convert: no memory for " + std::to_string(len.value()) + " bytes");
  if (auto st = convert_to_rgba(pixels, buffer->data(), buffer->size()); !st) {
    return_pooled_buffer(std::move(*buffer));
    return err(st.error());
  }
  return PixelPayload::adopt(std::move(*buffer));
}

Result<RenderOptions, GrabError> render_options_for(const RenderRequest& req) {
  if (req.item == nullptr) return Err{GrabError::no_active_comp()};
  auto opts = RenderOptions::for_item(req.item, req.plugin_id);
  if (!opts) return Err{GrabError::render_failed("render options: " + to_string(opts.error()))};
  if (auto st = opts.value().set_time(req.key.value, req.key.scale); !st) {
    return Err{GrabError::render_failed("render time: " + to_string(st.error()))};
  }
  if (auto st = opts.value().set_downsample(req.downsample); !st) {
    return Err{GrabError::render_failed("render downsample: " + to_string(st.error()))};
  }
  if (auto st = opts.value().set_depth(req.depth_bpc); !st) {
    return Err{GrabError::render_failed("render depth: " + to_string(st.error()))};
  }
  return std::move(opts.value());
}

Result<GrabbedFrame, GrabError> render_frame_sync(const RenderRequest& req) {
  auto opts = render_options_for(req);
  if (!opts) return Err{opts.error()};
  const uint64_t t0 = mono_ns();
  auto frame = render_and_checkout_frame(opts.value());
  if (!frame) {
    if (frame.error().kind() == AeErrorKind::InterruptCancel) return Err{GrabError::cancelled()};
    return Err{GrabError::render_failed("render: " + to_string(frame.error()))};
  }
  const double render_ms = ms_since(t0);
  auto world = frame.value().world();
  if (!world) return Err{GrabError::render_failed("world: " + to_string(world.error()))};
  auto pixels = host_pixels_of(world.value());
  if (!pixels) return Err{GrabError::render_failed(pixels.error())};
  const uint64_t t1 = mono_ns();
  auto payload = convert_to_payload(pixels.value());
  if (!payload) return Err{GrabError::render_failed(payload.error())};
  GrabbedFrame g;
  g.width = pixels.value().width;
  g.height = pixels.value().height;
  g.pixels = std::move(payload.value());
  g.downsample = req.downsample;
  g.time = req.key.scale != 0 ? static_cast<double>(req.key.value) / req.key.scale : 0.0;
  g.source_depth = pixels.value().depth;
  g.render_ms = render_ms;
  g.convert_ms = ms_since(t1);
  return g;
}

}  // namespace vel
