// One POSIX shared-memory mapping of an output segment, and the names such
// segments carry ("/vnx_" + creator pid + "_" + nonce).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/change_stamp.h"
#include "memout/memout_error.h"
#include "memout/segment_layout.h"

namespace vel {

using SegmentToken = std::array<uint8_t, 16>;

// An owned mapping of header + capacity bytes, and the segment's descriptor:
// the other process holds the same file and may shrink it at any time, after
// which touching a page past its end kills this process with SIGBUS, so the
// descriptor is kept to ask the file's size and to read without faulting.
// The creating side also holds the segment's name: dropping such a mapping removes the name (whether or
// not the producer already did: "not found" is ignored, so a producer that
// crashed or lied about its unlinked word cannot leak the segment), then
// unmaps. A mapping without a name only unmaps.
class SharedMemorySegment {
 public:
  SharedMemorySegment() = default;
  SharedMemorySegment(uint8_t* base, uint64_t mapped_length, int fd, std::optional<std::string> name);
  ~SharedMemorySegment();
  SharedMemorySegment(SharedMemorySegment&& other) noexcept;
  SharedMemorySegment& operator=(SharedMemorySegment&& other) noexcept;
  SharedMemorySegment(const SharedMemorySegment&) = delete;
  SharedMemorySegment& operator=(const SharedMemorySegment&) = delete;

  bool mapped() const { return base_ != nullptr; }
  uint8_t* base() const { return base_; }
  uint64_t mapped_length() const { return mapped_length_; }
  // Payload bytes after the header.
  uint64_t capacity() const { return mapped_length_ > kSegmentHeaderBytes ? mapped_length_ - kSegmentHeaderBytes : 0; }
  const std::optional<std::string>& name() const { return name_; }
  // The producer's view of the header (see HeaderView).
  HeaderView header() const { return HeaderView(base_); }

  // Bytes the segment's file holds now (fstat of the kept descriptor); an
  // error when it cannot be asked.
  MemoutResult<uint64_t> file_length() const;
  // The file's status now: its length and the times any cut moves.
  MemoutResult<FileChangeStamp> file_status() const;
  // The mapping is whole: the file still covers every mapped byte.
  // "shared-memory mapping is too short" otherwise.
  MemoutStatus check_whole() const;
  // pread of exactly `length` bytes at `offset` of the file: a file shrunk
  // meanwhile answers "shared-memory mapping is too short", never a fault.
  MemoutStatus read_exact(uint64_t offset, uint8_t* out, uint64_t length) const;
  // The same bytes copied straight out of the mapping, under a guard that
  // turns a fault of a shrinking file into that same error; through
  // `read_exact` where the guard cannot be armed.
  MemoutStatus copy_out(uint64_t offset, uint8_t* out, uint64_t length) const;
  // pwrite of exactly `length` bytes at `offset`, inside the mapping's
  // length. A file cut meanwhile is lengthened again up to the bytes
  // written, never faulted on.
  MemoutStatus write_exact(uint64_t offset, const uint8_t* in, uint64_t length) const;

  // One shared word of the header, read through the descriptor and ordered
  // before every later access to the segment (acquire). A file cut below
  // the word answers "shared-memory mapping is too short".
  //
  // The host reaches the header only through these two, never through its
  // mapping, so no cut of the producer's can fault it, however it falls
  // between a check and a use. A word is never torn that way: every value
  // the protocol stores fits in the word's first byte. And the host needs no
  // compare-and-swap: the producer moves the slot only out of "free" and out
  // of "writing", so "ready" and "reading" are the host's alone to change.
  MemoutResult<uint32_t> load_word(HeaderWord word) const;
  // One shared word written through the descriptor after every earlier
  // access to the segment (release; seq_cst also orders it before every
  // later one). A file that no longer holds the header is not written:
  // "shared-memory mapping is too short".
  MemoutStatus store_word(HeaderWord word, uint32_t value,
                          std::memory_order order = std::memory_order_release) const;

 private:
  void release() noexcept;

  uint8_t* base_ = nullptr;
  uint64_t mapped_length_ = 0;
  int fd_ = -1;
  std::optional<std::string> name_;
};

// Maps the segment `name` with `size` bytes. With `create` the segment must
// not exist yet; it is created with mode 0600, held (a shared flock for as
// long as the mapping keeps its descriptor, which the orphan sweep respects),
// sized,
// and its pages reserved up front, so a full /dev/shm is an error here rather
// than SIGBUS at the first write. A creating call that fails after shm_open
// removes the name; one whose name a sweep removed before the hold answers
// ENOENT.
// Names: 5..31 bytes, "/vnx_" prefix, no further "/" ("invalid POSIX
// mapping name"); a NUL byte gives "invalid mapping name".
MemoutResult<SharedMemorySegment> map_shared_memory(std::string_view name, uint64_t size, bool create);

// shm_unlink of a segment name; its errors are the operating system's.
MemoutStatus unlink_shared_memory(std::string_view name);

struct SegmentIdentity {
  std::string name;  // 30 characters
  SegmentToken token;
};
// The name and token of a new segment from the creating pid, the value of
// the process-wide counter and the wall clock in nanoseconds (128-bit). Pure.
SegmentIdentity segment_identity(uint32_t pid, uint64_t counter, unsigned __int128 wall_ns);
// The same from this process's pid, next counter value and clock.
SegmentIdentity next_segment_identity();

}  // namespace vel
