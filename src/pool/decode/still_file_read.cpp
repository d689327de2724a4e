#include "pool/decode/still_file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <thread>

#include "core/bounded_read.h"
#include "core/dir_fd.h"
#include "pool/decode/frame_folder.h"

namespace vel {

namespace {

// How long ago, by the wall clock, the file's status last changed; nothing
// when its change time lies ahead of the clock (a clock set back), which
// counts as a change just now.
std::optional<std::chrono::nanoseconds> change_age(const struct stat& st) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
  const __int128 changed = static_cast<__int128>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
  const __int128 wall = static_cast<__int128>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  if (changed > wall) return std::nullopt;
  const __int128 age = wall - changed;
  return std::chrono::nanoseconds(age > INT64_MAX ? INT64_MAX : static_cast<int64_t>(age));
}

std::optional<FileChangeStamp> stamp_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return change_stamp(st);
}

// The name still gives the file that was read (another file renamed over it
// is another state of the frame).
bool name_gives(int dir, const std::string& name, const FileChangeStamp& file) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && same_file(change_stamp(st), file);
}

}  // namespace

std::optional<ByteBuffer> read_still_file_at(int dir, const std::string& name, const std::filesystem::path& shown,
                                             uint64_t limit, const StillReadTiming& timing, FileChangeStamp* read) {
  Result<RegularFile, FileReadError> file = open_regular_file_at(dir, name, shown);
  if (!file || !frame_file_status_ok(file->status())) return std::nullopt;
  const FileChangeStamp before = change_stamp(file->status());
  const uint64_t size = file->size();
  if (size == 0 || size > limit) return std::nullopt;
  // Still for a whole settle before the read, so that a change during it
  // cannot fall in the tick of the change before.
  const std::optional<std::chrono::nanoseconds> age = change_age(file->status());
  if (!age || *age < timing.settle) return std::nullopt;
  std::optional<ByteBuffer> buffer = take_pooled_buffer(size, size * 2);
  if (!buffer) return std::nullopt;
  const Status<FileReadError> done = read_open_file(*file, shown, size, *buffer);
  // A read cut short or run long is a change as much as a moved time.
  if (done) {
    const std::optional<FileChangeStamp> after = stamp_of(file->fd());
    if (after && *after == before && name_gives(dir, name, before)) {
      if (read) *read = before;
      return buffer;
    }
  }
  return_pooled_buffer(std::move(*buffer));
  return std::nullopt;
}

std::optional<ByteBuffer> read_still_file(const std::filesystem::path& path, uint64_t limit,
                                          const StillReadTiming& timing, FileChangeStamp* read) {
  const DirFd dir = open_dir_followed(path.has_parent_path() ? path.parent_path() : std::filesystem::path("."));
  if (!dir.ok()) return std::nullopt;
  const std::string name = path.filename().string();
  const auto give_up = std::chrono::steady_clock::now() + timing.patience;
  for (;;) {
    if (std::optional<ByteBuffer> bytes = read_still_file_at(dir.get(), name, path, limit, timing, read)) return bytes;
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !frame_file_status_ok(st) ||
        st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > limit) {
      return std::nullopt;
    }
    // Refused for a change: look again once it may have settled.
    const std::optional<std::chrono::nanoseconds> age = change_age(st);
    const std::chrono::nanoseconds wait =
        age && *age < timing.settle ? timing.settle - *age : std::chrono::nanoseconds(std::chrono::milliseconds(1));
    if (std::chrono::steady_clock::now() + wait > give_up) return std::nullopt;
    std::this_thread::sleep_for(wait);
  }
}

}  // namespace vel
