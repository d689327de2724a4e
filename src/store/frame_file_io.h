// Frame files on disk: writes through a temporary name and a rename (a
// reader never sees half a file), and the listing of a stream folder; reads
// go through read_file_limited (core/bounded_read.h). Every function
// answers failure as a value and none logs: the store thread decides what to say.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cache/cached_frame.h"
#include "cache/frame_key.h"
#include "cache/rgba_frame.h"
#include "core/bounded_read.h"

namespace vel {

namespace fs = std::filesystem;

// Writes `head` then `tail` as the whole file `dir / name` through
// replace_file: creates `dir` and its parents (0777 under the umask), writes
// a fresh temporary of a name unique to the call (0666, never through a
// link), then renames it over the final name. On failure the temporary file
// is removed. Answers the bytes written. Not flushed to stable storage.
std::optional<uint64_t> write_file_atomically(const fs::path& dir, const std::string& name,
                                              std::span<const uint8_t> head, std::span<const uint8_t> tail = {});

// Whether the key's frame file has a readable status (any kind of file).
bool frame_file_exists(const fs::path& stream_dir, FrameKey key);

// The key's frame file: header, payload and their check record, through
// replace_file. A folder in the file's place holding nothing but the
// store's own files is removed and the write tried once more. Answers the bytes written, check record included.
std::optional<uint64_t> write_frame_file(const fs::path& stream_dir, FrameKey key, std::span<const uint8_t> header,
                                         std::span<const uint8_t> payload);

// Packs a raw frame and writes it as a VNF3; needs a scale other than 0, a
// finite time and dimensions within the limits.
std::optional<uint64_t> write_raw_frame_file(const fs::path& stream_dir, FrameKey key, const RgbaFrame& frame);

// Writes an already packed frame unchanged as a VNF3 after proving that its
// payload decodes, in bounds, to exactly width × height × 4 bytes; a payload
// that does not is refused and nothing is written.
std::optional<uint64_t> write_packed_frame_file(const fs::path& stream_dir, FrameKey key, const PackedFrame& frame);

// A 28-byte VNF4 naming `target` as the holder of the pixels.
std::optional<uint64_t> write_alias_file(const fs::path& stream_dir, FrameKey key, double time, FrameKey target);

// The keys of the frame files in a stream folder, in the order the file
// system lists them; other entries and unreadable ones are skipped, and no
// file is opened. Empty when the folder cannot be listed.
std::vector<FrameKey> list_stored_keys(const fs::path& stream_dir);

}  // namespace vel
