// Ingest of one frame file written by a pool worker: read it whole into a
// pooled buffer, decode it by its extension (Targa, else Photoshop, else the
// system bitmap decoder), sample it down by the job's step, and hand back
// one outcome record with the frame, when there is one, and the timings.
// Nothing here stops the caller: every failure is an outcome.
//
// A file is read only up to what a frame of the batch's size can hold
// (frame_file_bounds.h): a larger one is refused unread. A file that gave no
// frame, read whole or refused for its size, is named in the outcome; the
// batch hands it back with the frame's next try, and while it stands as it
// stood then, it is not read again: only a change of it can make a frame.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "cache/buffer_pool.h"
#include "cache/rgba_frame.h"
#include "core/change_stamp.h"
#include "pool/decode/requested_size.h"

namespace vel {

// Values and names are what the pool's PERF records print.
enum class FileDecodeOutcome : uint8_t {
  ReadFailed = 0,    // the file could not be read
  DecodeFailed = 1,  // read, but no frame came out of it
  Decoded = 2,       // frame present
  ForeignSize = 3,   // an image of another size than the batch asked for: refused unread
  Oversize = 4,      // larger than any frame of the batch's format and size: refused unread
  Unchanged = 5,     // the file that gave no frame before, as it stood then: not read again
};
const char* file_decode_outcome_name(FileDecodeOutcome outcome);

struct DecodedOutput {
  std::optional<RgbaFrame> frame;  // premultiplied RGBA8 at the sampled size
  double read_ms = 0.0;
  double decode_ms = 0.0;  // from the end of the read; 0 when unreadable
  uint64_t file_bytes = 0;  // 0 when unreadable
  FileDecodeOutcome outcome = FileDecodeOutcome::ReadFailed;
  std::optional<FrameDimensions> foreign_size;  // ForeignSize: the size the file holds
  // The file whose bytes were read, or whose head stated another size.
  std::optional<FileChangeStamp> file_read;
  // The file that gives no frame as it stands (DecodeFailed, Oversize,
  // Unchanged): the next try of the frame need not read it again.
  std::optional<FileChangeStamp> undecodable;
};

// Reads, decodes and samples one frame file; `time_s` becomes the frame's
// time. The Photoshop reader samples while decoding when `sample_while_decoding`
// (VELOCINTA_PIPELINE_OPTIMIZE), else decodes at full size and samples after.
// An image whose size (before sampling) is not `requested` is ForeignSize,
// told from its header before its pixels are decoded. A file larger than a
// frame of the `requested` size can be is Oversize, unread (ForeignSize when
// its head states another size); `undecodable`, the file an earlier try
// found giving no frame, is Unchanged while it stands as it stood.
DecodedOutput ingest_frame_file(const std::filesystem::path& path, double time_s, uint64_t step,
                                bool sample_while_decoding,
                                const std::optional<FrameDimensions>& requested = std::nullopt,
                                const std::optional<FileChangeStamp>& undecodable = std::nullopt);
// The same with the process's switch.
DecodedOutput ingest_frame_file(const std::filesystem::path& path, double time_s, uint64_t step,
                                const std::optional<FrameDimensions>& requested = std::nullopt,
                                const std::optional<FileChangeStamp>& undecodable = std::nullopt);
// The same for the file `name` of the open folder `dir`
// (read_still_file_checked), `path` naming it, with the process's switch.
DecodedOutput ingest_frame_file_at(int dir, const std::string& name, const std::filesystem::path& path, double time_s,
                                   uint64_t step, const std::optional<FrameDimensions>& requested = std::nullopt,
                                   const std::optional<FileChangeStamp>& undecodable = std::nullopt);

// The whole regular file in a pooled buffer, as one still state of it
// (still_file_read.h: a file its worker changes during the read is read again
// later, once still); nothing for a missing or non-regular file, a size of 0
// or above the limit, or a file changed too lately, which counts as a failed
// read of its frame.
std::optional<ByteBuffer> read_output_file(const std::filesystem::path& path);

// Packed 8-bit RGB or RGBA rows (`row_bytes` apart) sampled into a new frame
// of premultiplied RGBA; with 4 bytes per pixel the colour is premultiplied
// when `straight_alpha`, copied otherwise; 3 bytes per pixel give A = 255.
// Nothing when the layout does not fit `bytes` or the sizes overflow.
std::optional<RgbaFrame> sample_to_rgba(std::span<const uint8_t> bytes, uint64_t width, uint64_t height,
                                        uint64_t row_bytes, uint64_t bytes_per_pixel, uint64_t step, double time_s,
                                        bool straight_alpha);

// The system bitmap decoder, under the process-wide bitmap lock. Logs the
// layouts it cannot use ("pool ingest: format non géré ..."). An image that
// is not of the `requested` size gives nothing, its size in `foreign`.
std::optional<RgbaFrame> decode_with_bitmap_rep(std::span<const uint8_t> bytes, const std::filesystem::path& path,
                                                uint64_t step, double time_s,
                                                const std::optional<FrameDimensions>& requested = std::nullopt,
                                                std::optional<FrameDimensions>* foreign = nullptr);

// The worker that wrote a frame file: N when the file's folder is named "w"
// followed by N in decimal (one leading "+" allowed, nothing else, no
// overflow); nothing otherwise.
std::optional<uint64_t> parse_worker_dir_name(const std::filesystem::path& frame_file);

}  // namespace vel
