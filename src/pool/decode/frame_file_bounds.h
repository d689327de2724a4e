// How large a frame file can be. A worker writes a frame of the size its
// batch asked for, as Targa or Photoshop, so the most bytes its file can
// hold are known before anything of it is read: a file beyond that is no
// frame of the batch however it ends (a file sized ahead and never filled,
// one grown without end), and reading it would cost its whole length on
// every try of its frame. Such a file is refused unread, and at most that
// many bytes of any frame file are ever held.
//
// The bound is the worst case of every encoding the readers accept, not of
// the one a worker happens to use, with room for what a worker may put
// around the pixels:
//   Targa: 5 bytes a pixel (a run-length packet for every pixel; raw takes
//     4), its header with the longest image ID, extension area and footer;
//   Photoshop: 16 bytes a pixel (four channels of 16 bits, PackBits taking
//     every byte as a literal of its own: twice raw), the row-length table;
// and for either, kFrameFileMetadataBytes of further metadata (colour
// profiles, thumbnails, descriptions, a developer area).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "pool/schedule/startup_context.h"

namespace vel {

// Nothing larger is read, whatever the size asked for.
inline constexpr uint64_t kFrameFileReadCeiling = 512ull << 20;
// What a frame file may hold besides its header and pixels.
inline constexpr uint64_t kFrameFileMetadataBytes = 1ull << 20;
// The start of a file that states its image size, in both formats.
inline constexpr size_t kFrameFileHeadBytes = 26;

// The most bytes a valid Targa (`targa`) or Photoshop file of a `size`
// frame can hold, at most kFrameFileReadCeiling; that ceiling when the size
// is unknown.
uint64_t frame_file_byte_limit(bool targa, const std::optional<FrameDimensions>& size);

// The image size the first bytes of a Targa or Photoshop file state, when
// they are the start of one; nothing otherwise.
std::optional<FrameDimensions> stated_frame_size(std::span<const uint8_t> head, bool targa);

}  // namespace vel
