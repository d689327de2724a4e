#include "memout/shm_segment.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "memout/guarded_copy.h"

namespace vel {

SharedMemorySegment::SharedMemorySegment(uint8_t* base, uint64_t mapped_length, int fd,
                                         std::optional<std::string> name)
    : base_(base), mapped_length_(mapped_length), fd_(fd), name_(std::move(name)) {}

SharedMemorySegment::~SharedMemorySegment() { release(); }

SharedMemorySegment::SharedMemorySegment(SharedMemorySegment&& other) noexcept
    : base_(other.base_), mapped_length_(other.mapped_length_), fd_(other.fd_), name_(std::move(other.name_)) {
  other.base_ = nullptr;
  other.mapped_length_ = 0;
  other.fd_ = -1;
  other.name_.reset();
}

SharedMemorySegment& SharedMemorySegment::operator=(SharedMemorySegment&& other) noexcept {
  if (this != &other) {
    release();
    base_ = other.base_;
    mapped_length_ = other.mapped_length_;
    fd_ = other.fd_;
    name_ = std::move(other.name_);
    other.base_ = nullptr;
    other.mapped_length_ = 0;
    other.fd_ = -1;
    other.name_.reset();
  }
  return *this;
}

void SharedMemorySegment::release() noexcept {
  // The unlinked word is written by the other process: it decides nothing
  // here. Removing an already removed name only answers ENOENT.
  if (name_) (void)unlink_shared_memory(*name_);
  if (base_ != nullptr) munmap(base_, mapped_length_);
  if (fd_ >= 0) close(fd_);
  base_ = nullptr;
  mapped_length_ = 0;
  fd_ = -1;
  name_.reset();
}

MemoutResult<uint64_t> SharedMemorySegment::file_length() const {
  auto status = file_status();
  if (!status) return Err<MemoutError>{status.error()};
  return status->size < 0 ? uint64_t{0} : static_cast<uint64_t>(status->size);
}

MemoutResult<FileChangeStamp> SharedMemorySegment::file_status() const {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return memout_os_failure(errno);
  return change_stamp(st);
}

MemoutStatus SharedMemorySegment::check_whole() const {
  auto length = file_length();
  if (!length) return Err<MemoutError>{length.error()};
  if (*length < mapped_length_) return memout_invalid("shared-memory mapping is too short");
  return ok_unit();
}

MemoutStatus SharedMemorySegment::read_exact(uint64_t offset, uint8_t* out, uint64_t length) const {
  if (offset > mapped_length_ || length > mapped_length_ - offset) {
    return memout_invalid("shared-memory mapping is too short");
  }
  uint64_t done = 0;
  while (done < length) {
    const ssize_t n = pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return memout_os_failure(errno);
    if (n == 0) return memout_invalid("shared-memory mapping is too short");
    done += static_cast<uint64_t>(n);
  }
  return ok_unit();
}

MemoutStatus SharedMemorySegment::copy_out(uint64_t offset, uint8_t* out, uint64_t length) const {
  if (offset > mapped_length_ || length > mapped_length_ - offset) {
    return memout_invalid("shared-memory mapping is too short");
  }
  switch (copy_from_shared_mapping(out, base_ + offset, static_cast<size_t>(length))) {
    case GuardedCopy::Copied:
      return ok_unit();
    case GuardedCopy::Faulted:
      return memout_invalid("shared-memory mapping is too short");
    case GuardedCopy::Unavailable:
      break;
  }
  return read_exact(offset, out, length);
}

namespace {

// The descriptor's reads and writes are the kernel's copies from and into
// the very pages the producer maps; a fence gives them the order the atomic
// access would have had. ThreadSanitizer has no use for it (the other side
// is another process) and does not model fences.
void descriptor_fence(std::memory_order order) {
#if !defined(__SANITIZE_THREAD__)
  std::atomic_thread_fence(order);
#else
  (void)order;
#endif
}

}  // namespace

MemoutStatus SharedMemorySegment::write_exact(uint64_t offset, const uint8_t* in, uint64_t length) const {
  if (offset > mapped_length_ || length > mapped_length_ - offset) {
    return memout_invalid("shared-memory mapping is too short");
  }
  uint64_t done = 0;
  while (done < length) {
    const ssize_t n = pwrite(fd_, in + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return memout_os_failure(errno);
    if (n == 0) return memout_os_failure(EIO);
    done += static_cast<uint64_t>(n);
  }
  return ok_unit();
}

MemoutResult<uint32_t> SharedMemorySegment::load_word(HeaderWord word) const {
  uint8_t bytes[sizeof(uint32_t)];
  if (auto read = read_exact(static_cast<uint64_t>(word), bytes, sizeof bytes); !read) {
    return Err<MemoutError>{read.error()};
  }
  descriptor_fence(std::memory_order_acquire);
  uint32_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

MemoutStatus SharedMemorySegment::store_word(HeaderWord word, uint32_t value, std::memory_order order) const {
  // Writing into a file cut below its header would only lengthen it again;
  // a cut that comes between this look and the write does so harmlessly.
  auto length = file_length();
  if (!length) return Err<MemoutError>{length.error()};
  if (*length < kSegmentHeaderBytes) return memout_invalid("shared-memory mapping is too short");
  descriptor_fence(order == std::memory_order_seq_cst ? order : std::memory_order_release);
  uint8_t bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  auto written = write_exact(static_cast<uint64_t>(word), bytes, sizeof bytes);
  if (order == std::memory_order_seq_cst) descriptor_fence(order);
  return written;
}

namespace {

MemoutStatus check_mapping_name(std::string_view name) {
  const bool posix_ok = name.size() >= 5 && name.size() <= 31 && name.substr(0, 5) == "/vnx_" &&
                        name.find('/', 1) == std::string_view::npos;
  if (!posix_ok) return memout_invalid("invalid POSIX mapping name");
  if (name.find('\0') != std::string_view::npos) return memout_invalid("invalid mapping name");
  return ok_unit();
}

}  // namespace

MemoutStatus unlink_shared_memory(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return memout_invalid("invalid mapping name");
  const std::string z(name);
  if (shm_unlink(z.c_str()) != 0) return memout_os_failure(errno);
  return ok_unit();
}

MemoutResult<SharedMemorySegment> map_shared_memory(std::string_view name, uint64_t size, bool create) {
  if (auto checked = check_mapping_name(name); !checked) return Err<MemoutError>{checked.error()};
  if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return memout_os_failure(EFBIG);
  const std::string z(name);
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
  const int fd = shm_open(z.c_str(), flags, 0600);
  if (fd < 0) return memout_os_failure(errno);

  auto fail = [&](Err<MemoutError> e) -> MemoutResult<SharedMemorySegment> {
    close(fd);
    if (create) shm_unlink(z.c_str());
    return e;
  };
  if (create) {
    // The creator's hold tells every sweep the segment is in use, whatever
    // its pid means to the sweeping process (another pid namespace sharing
    // /dev/shm reads it as another process, or none). A sweep holds the lock
    // exclusively while it removes a name, so once ours is granted the name
    // is either still ours or already gone.
    if (flock(fd, LOCK_SH) != 0) return fail(memout_os_failure(errno));
    struct stat held {};
    if (fstat(fd, &held) != 0) return fail(memout_os_failure(errno));
    if (held.st_nlink == 0) {
      close(fd);  // the name was swept before our hold: it is not ours to remove
      return memout_os_failure(ENOENT);
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return fail(memout_os_failure(errno));
    // tmpfs accepts any size at ftruncate and only finds out it is full when
    // a page is first touched, which kills the process with SIGBUS.
    if (const int rc = posix_fallocate(fd, 0, static_cast<off_t>(size)); rc != 0) return fail(memout_os_failure(rc));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(memout_os_failure(errno));
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) < size) {
    return fail(memout_invalid("shared-memory mapping is too short"));
  }
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return fail(memout_os_failure(errno));
  if (base == nullptr) {
    munmap(base, size);
    return fail(memout_invalid("OS returned a null mapping"));
  }
  return SharedMemorySegment(static_cast<uint8_t*>(base), size, fd,
                             create ? std::optional<std::string>(z) : std::nullopt);
}

SegmentIdentity segment_identity(uint32_t pid, uint64_t counter, unsigned __int128 wall_ns) {
  const auto low = static_cast<uint64_t>(wall_ns);
  const auto high = static_cast<uint64_t>(wall_ns >> 64);
  const uint64_t nonce = counter + low;  // wraps
  char buf[40];
  std::snprintf(buf, sizeof buf, "/vnx_%08x_%016llx", pid, static_cast<unsigned long long>(nonce));
  SegmentIdentity id;
  id.name = buf;
  const uint64_t second = (static_cast<uint64_t>(pid) ^ high) | (counter << 32);
  for (int i = 0; i < 8; ++i) {
    id.token[i] = static_cast<uint8_t>(low >> (8 * i));
    id.token[8 + i] = static_cast<uint8_t>(second >> (8 * i));
  }
  return id;
}

SegmentIdentity next_segment_identity() {
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  timespec ts{};
  unsigned __int128 ns = 0;
  if (clock_gettime(CLOCK_REALTIME, &ts) == 0 && ts.tv_sec >= 0) {
    ns = static_cast<unsigned __int128>(ts.tv_sec) * 1000000000u + static_cast<unsigned __int128>(ts.tv_nsec);
  }
  return segment_identity(static_cast<uint32_t>(getpid()), n, ns);
}

}  // namespace vel
