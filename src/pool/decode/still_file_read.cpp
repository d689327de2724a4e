#include "pool/decode/still_file_read.h"

#include <sys/stat.h>
#include <time.h>

#include <thread>

#include "core/bounded_read.h"
#include "core/change_stamp.h"

namespace vel {

namespace {

using Clock = std::chrono::steady_clock;

// How long ago, by the wall clock, the file's status last changed; nothing
// when its change time lies ahead of the clock (a clock set back), which a
// wait of the whole settle then covers.
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

// The path still names the file that was read (another file renamed over it
// is another state of the frame).
bool path_names(const std::filesystem::path& path, const FileChangeStamp& file) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && same_file(change_stamp(st), file);
}

}  // namespace

std::optional<ByteBuffer> read_still_file(const std::filesystem::path& path, uint64_t limit,
                                          const StillReadTiming& timing) {
  const Clock::time_point give_up = Clock::now() + timing.patience;
  for (;;) {
    Result<RegularFile, FileReadError> file = open_regular_file(path);
    if (!file) return std::nullopt;
    const FileChangeStamp before = change_stamp(file->status());
    const uint64_t size = file->size();
    if (size == 0 || size > limit) return std::nullopt;
    // Still for a whole settle before the read, so that a change during it
    // cannot fall in the tick of the change before.
    const std::chrono::nanoseconds settle = timing.settle;
    const std::optional<std::chrono::nanoseconds> age = change_age(file->status());
    if (!age || *age < settle) {
      const std::chrono::nanoseconds wait = age ? settle - *age : settle;
      if (Clock::now() + wait > give_up) return std::nullopt;
      std::this_thread::sleep_for(wait);
      const std::optional<FileChangeStamp> settled = stamp_of(file->fd());
      if (!settled) return std::nullopt;
      if (*settled != before) continue;  // still being written: look again
    }
    std::optional<ByteBuffer> buffer = take_pooled_buffer(size, size * 2);
    if (!buffer) return std::nullopt;
    const Status<FileReadError> read = read_open_file(*file, path, size, *buffer);
    if (!read && read.error().os_error != 0) {
      return_pooled_buffer(std::move(*buffer));
      return std::nullopt;
    }
    // A read cut short or run long is a change as much as a moved time.
    if (read) {
      const std::optional<FileChangeStamp> after = stamp_of(file->fd());
      if (after && *after == before && path_names(path, before)) return buffer;
    }
    return_pooled_buffer(std::move(*buffer));
    if (Clock::now() >= give_up) return std::nullopt;
  }
}

}  // namespace vel
