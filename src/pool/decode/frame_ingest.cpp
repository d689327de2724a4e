#include "pool/decode/frame_ingest.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "bitmap/bitmap_image_rep.h"
#include "core/log.h"
#include "core/switches.h"
#include "pool/decode/decoded_image.h"
#include "pool/decode/frame_file_bounds.h"
#include "pool/decode/psd_decoder.h"
#include "pool/decode/still_file_read.h"
#include "pool/decode/tga_decoder.h"

namespace vel {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool extension_is_tga(const std::filesystem::path& path) {
  const std::string ext = path.extension().string();
  return ext.size() == 4 && (ext[1] | 0x20) == 't' && (ext[2] | 0x20) == 'g' && (ext[3] | 0x20) == 'a';
}

bool is_photoshop_file(std::span<const uint8_t> bytes) {
  return bytes.size() >= 4 && bytes[0] == '8' && bytes[1] == 'B' && bytes[2] == 'P' && bytes[3] == 'S';
}

// The decoder's buffer becomes the frame as it is when it already holds RGBA
// at the wanted size; otherwise it is sampled into a new buffer.
std::optional<RgbaFrame> frame_from_image(DecodedImage image, uint64_t step_left, double time_s) {
  if (image.bytes_per_pixel == 4 && step_left == 1) {
    if (image.width > UINT32_MAX || image.height > UINT32_MAX) {
      return_pooled_buffer(std::move(image.pixels));
      return std::nullopt;
    }
    RgbaFrame frame{PixelPayload::adopt(std::move(image.pixels)), time_s, static_cast<uint32_t>(image.width),
                    static_cast<uint32_t>(image.height)};
    return frame;
  }
  std::optional<RgbaFrame> frame =
      sample_to_rgba(image.pixels, image.width, image.height, image.width * image.bytes_per_pixel,
                     image.bytes_per_pixel, step_left, time_s, false);
  return_pooled_buffer(std::move(image.pixels));
  return frame;
}

// The bitmap lock, poisoned for good when a decode fails inside it.
struct BitmapLock {
  std::mutex mutex;
  bool poisoned = false;
};
BitmapLock& bitmap_lock() {
  static BitmapLock& lock = *new BitmapLock();
  return lock;
}

}  // namespace

const char* file_decode_outcome_name(FileDecodeOutcome outcome) {
  switch (outcome) {
    case FileDecodeOutcome::ReadFailed:
      return "ReadFailed";
    case FileDecodeOutcome::DecodeFailed:
      return "DecodeFailed";
    case FileDecodeOutcome::Decoded:
      return "Decoded";
    case FileDecodeOutcome::ForeignSize:
      return "ForeignSize";
    case FileDecodeOutcome::Oversize:
      return "Oversize";
    case FileDecodeOutcome::Unchanged:
      return "Unchanged";
  }
  return "ReadFailed";
}

std::optional<ByteBuffer> read_output_file(const std::filesystem::path& path) {
  return read_still_file(path, kFrameFileReadCeiling);
}

std::optional<RgbaFrame> sample_to_rgba(std::span<const uint8_t> bytes, uint64_t width, uint64_t height,
                                        uint64_t row_bytes, uint64_t bytes_per_pixel, uint64_t step, double time_s,
                                        bool straight_alpha) {
  if (width == 0 || height == 0 || (bytes_per_pixel != 3 && bytes_per_pixel != 4) || step == 0) return std::nullopt;
  if (width > UINT32_MAX || height > UINT32_MAX || row_bytes / bytes_per_pixel < width) return std::nullopt;
  unsigned __int128 last = static_cast<unsigned __int128>(height - 1) * row_bytes + width * bytes_per_pixel;
  if (last > bytes.size()) return std::nullopt;
  const uint64_t out_w = sampled_side(width, step), out_h = sampled_side(height, step);
  if (static_cast<unsigned __int128>(out_w) * out_h * 4 >= (static_cast<unsigned __int128>(1) << 62)) {
    return std::nullopt;
  }
  std::optional<ByteBuffer> buffer = take_image_buffer(out_w * out_h * 4);
  if (!buffer) return std::nullopt;
  uint8_t* out = buffer->data();
  for (uint64_t y = 0; y < out_h; ++y) {
    const uint8_t* row = bytes.data() + std::min(height - 1, y * step) * row_bytes;
    for (uint64_t x = 0; x < out_w; ++x, out += 4) {
      const uint8_t* px = row + std::min(width - 1, x * step) * bytes_per_pixel;
      if (bytes_per_pixel == 3) {
        out[0] = px[0], out[1] = px[1], out[2] = px[2], out[3] = 255;
      } else if (straight_alpha) {
        out[0] = premultiply(px[0], px[3]), out[1] = premultiply(px[1], px[3]), out[2] = premultiply(px[2], px[3]);
        out[3] = px[3];
      } else {
        std::memcpy(out, px, 4);
      }
    }
  }
  return RgbaFrame{PixelPayload::adopt(std::move(*buffer)), time_s, static_cast<uint32_t>(out_w),
                   static_cast<uint32_t>(out_h)};
}

std::optional<RgbaFrame> decode_with_bitmap_rep(std::span<const uint8_t> bytes, const std::filesystem::path& path,
                                                uint64_t step, double time_s,
                                                const std::optional<FrameDimensions>& requested,
                                                std::optional<FrameDimensions>* foreign) {
  BitmapLock& lock = bitmap_lock();
  std::lock_guard guard(lock.mutex);
  if (lock.poisoned) return std::nullopt;
  try {
    const std::unique_ptr<platform::BitmapImageRep> rep =
        platform::BitmapImageRep::init_with_data(bytes.data(), bytes.size());
    if (!rep) return std::nullopt;
    const int64_t w = rep->pixels_wide(), h = rep->pixels_high(), spp = rep->samples_per_pixel();
    const int64_t bits = rep->bits_per_sample(), row_bytes = rep->bytes_per_row();
    const bool planar = rep->is_planar();
    if (bits != 8 || planar || w < 1 || h < 1 || row_bytes < 1 || (spp != 3 && spp != 4)) {
      log_line("ERROR", "pool ingest: format non géré (" + std::to_string(w) + "x" + std::to_string(h) + ", " +
                            std::to_string(spp) + " samples, " + std::to_string(bits) +
                            " bits, planar=" + (planar ? "true" : "false") + ") : " + path.string());
      return std::nullopt;
    }
    if (foreign_size(static_cast<uint64_t>(w), static_cast<uint64_t>(h), requested)) {
      if (foreign && w <= UINT32_MAX && h <= UINT32_MAX)
        *foreign = FrameDimensions{static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
      return std::nullopt;
    }
    const uint8_t* data = rep->bitmap_data();
    if (data == nullptr) return std::nullopt;
    // The system decoder hands out straight alpha: premultiplied here, since
    // everything in the cache is.
    return sample_to_rgba({data, static_cast<uint64_t>(row_bytes) * static_cast<uint64_t>(h)},
                          static_cast<uint64_t>(w), static_cast<uint64_t>(h), static_cast<uint64_t>(row_bytes),
                          static_cast<uint64_t>(spp), step, time_s, true);
  } catch (...) {
    lock.poisoned = true;
    return std::nullopt;
  }
}

namespace {

// The size a Targa or Photoshop header states, when it is of another than
// the one asked for. A header that does not parse says nothing: its decoder
// refuses the file anyway.
std::optional<FrameDimensions> foreign_header_size(std::span<const uint8_t> bytes, bool targa,
                                                   const std::optional<FrameDimensions>& requested) {
  if (!requested) return std::nullopt;
  uint64_t w = 0, h = 0;
  if (targa) {
    const std::optional<TgaHeader> header = parse_tga_header(bytes);
    if (!header) return std::nullopt;
    w = header->width, h = header->height;
  } else {
    const std::optional<PsdHeader> header = parse_psd_header(bytes);
    if (!header) return std::nullopt;
    w = header->width, h = header->height;
  }
  if (!foreign_size(w, h, requested)) return std::nullopt;
  return FrameDimensions{static_cast<uint32_t>(w), static_cast<uint32_t>(h)};  // both at most 30000
}

// What a try of a file that was not read gives: nothing to decode, and for
// a file that gives no frame as it stands, that file.
DecodedOutput unread_frame_file(DecodedOutput out, StillRead got, bool targa,
                                const std::optional<FrameDimensions>& requested) {
  if (got.refusal == StillReadRefusal::Unchanged) {
    out.outcome = FileDecodeOutcome::Unchanged;
    out.undecodable = got.file;
  } else if (got.refusal == StillReadRefusal::Oversize) {
    // Its head is all that was read of it: a frame of another size is told
    // so, whatever its length, as when it is read whole.
    out.file_bytes = got.head.size();
    const std::optional<FrameDimensions> stated = stated_frame_size(got.head, targa);
    if (stated && foreign_size(stated->width, stated->height, requested)) {
      out.outcome = FileDecodeOutcome::ForeignSize;
      out.foreign_size = stated;
      out.file_read = got.file;
    } else {
      out.outcome = FileDecodeOutcome::Oversize;
      out.undecodable = got.file;
    }
  }
  return out;
}

// Decodes what the read gave into `out`.
DecodedOutput decode_frame_read(DecodedOutput out, StillRead got, const std::filesystem::path& path, double time_s,
                                uint64_t step, bool sample_while_decoding,
                                const std::optional<FrameDimensions>& requested) {
  const bool targa = extension_is_tga(path);
  if (!got.bytes) return unread_frame_file(std::move(out), std::move(got), targa, requested);
  std::optional<ByteBuffer>& bytes = got.bytes;
  const Clock::time_point decode_start = Clock::now();
  out.file_bytes = bytes->size();
  out.file_read = got.file;
  out.foreign_size = foreign_header_size(*bytes, targa, requested);
  if (out.foreign_size) {
    // Not a frame of this batch, whatever its pixels: none is decoded.
  } else if (targa) {
    if (std::optional<DecodedImage> image = decode_tga(*bytes, step)) {
      out.frame = frame_from_image(std::move(*image), 1, time_s);
    }
  } else {
    std::optional<DecodedImage> image = sample_while_decoding ? decode_psd_sampled(*bytes, step) : decode_psd(*bytes);
    if (image) {
      out.frame = frame_from_image(std::move(*image), sample_while_decoding ? 1 : step, time_s);
    } else if (!is_photoshop_file(*bytes)) {
      // A Photoshop file our reader refused (cut short, damaged) is not
      // handed to the system decoder, which would fill the missing rows with
      // whatever it likes and put a wrong frame in the cache.
      out.frame = decode_with_bitmap_rep(*bytes, path, step, time_s, requested, &out.foreign_size);
    }
  }
  out.decode_ms = ms_since(decode_start);
  out.outcome = out.frame          ? FileDecodeOutcome::Decoded
                : out.foreign_size ? FileDecodeOutcome::ForeignSize
                                   : FileDecodeOutcome::DecodeFailed;
  // The same bytes would give nothing again.
  if (out.outcome == FileDecodeOutcome::DecodeFailed) out.undecodable = got.file;
  return_pooled_buffer(std::move(*bytes));
  return out;
}

// What a read of a frame file of the batch asks: no more than a frame of
// its format and size can hold, and not the file that gave nothing before.
StillReadAsk frame_file_ask(const std::filesystem::path& path, const std::optional<FrameDimensions>& requested,
                            const std::optional<FileChangeStamp>& undecodable) {
  StillReadAsk ask;
  ask.limit = frame_file_byte_limit(extension_is_tga(path), requested);
  ask.unchanged_since = undecodable;
  ask.oversize_head = kFrameFileHeadBytes;
  return ask;
}

}  // namespace

DecodedOutput ingest_frame_file(const std::filesystem::path& path, double time_s, uint64_t step,
                                bool sample_while_decoding, const std::optional<FrameDimensions>& requested,
                                const std::optional<FileChangeStamp>& undecodable) {
  DecodedOutput out;
  const Clock::time_point read_start = Clock::now();
  StillRead got = read_still_file_waiting(path, frame_file_ask(path, requested, undecodable));
  out.read_ms = ms_since(read_start);
  return decode_frame_read(std::move(out), std::move(got), path, time_s, step, sample_while_decoding, requested);
}

DecodedOutput ingest_frame_file(const std::filesystem::path& path, double time_s, uint64_t step,
                                const std::optional<FrameDimensions>& requested,
                                const std::optional<FileChangeStamp>& undecodable) {
  return ingest_frame_file(path, time_s, step, pipeline_optimize_enabled(), requested, undecodable);
}

DecodedOutput ingest_frame_file_at(int dir, const std::string& name, const std::filesystem::path& path, double time_s,
                                   uint64_t step, const std::optional<FrameDimensions>& requested,
                                   const std::optional<FileChangeStamp>& undecodable) {
  DecodedOutput out;
  const Clock::time_point read_start = Clock::now();
  StillRead got = read_still_file_checked(dir, name, path, frame_file_ask(path, requested, undecodable));
  out.read_ms = ms_since(read_start);
  return decode_frame_read(std::move(out), std::move(got), path, time_s, step, pipeline_optimize_enabled(),
                           requested);
}

std::optional<uint64_t> parse_worker_dir_name(const std::filesystem::path& frame_file) {
  const std::filesystem::path parent = frame_file.parent_path();
  if (parent.empty() || !parent.has_filename()) return std::nullopt;
  const std::string name = parent.filename().string();
  if (name.size() < 2 || name[0] != 'w') return std::nullopt;
  size_t i = 1;
  if (name[i] == '+') ++i;
  if (i == name.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < name.size(); ++i) {
    const char c = name[i];
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace vel
