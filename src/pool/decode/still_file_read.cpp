#include "pool/decode/still_file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

StillRead read_still_file_checked(int dir, const std::string& name, const std::filesystem::path& shown,
                                  const StillReadAsk& ask) {
  StillRead out;
  Result<RegularFile, FileReadError> file = open_regular_file_at(dir, name, shown);
  if (!file || !frame_file_status_ok(file->status())) return out;
  const FileChangeStamp before = change_stamp(file->status());
  if (ask.unchanged_since && *ask.unchanged_since == before) {
    out.refusal = StillReadRefusal::Unchanged;
    out.file = before;
    return out;
  }
  const uint64_t size = file->size();
  if (size == 0) return out;
  // Still for a whole settle before the read, so that a change during it
  // cannot fall in the tick of the change before.
  const std::optional<std::chrono::nanoseconds> age = change_age(file->status());
  if (!age || *age < ask.timing.settle) {
    out.refusal = StillReadRefusal::Unsettled;
    return out;
  }
  const auto still_as_before = [&] {
    const std::optional<FileChangeStamp> after = stamp_of(file->fd());
    return after && *after == before && name_gives(dir, name, before);
  };
  if (size > ask.limit) {
    out.head.resize(static_cast<size_t>(std::min<uint64_t>(ask.oversize_head, size)));
    size_t done = 0;
    while (done < out.head.size()) {
      const ssize_t n = ::pread(file->fd(), out.head.data() + done, out.head.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    out.head.resize(done);
    if (!still_as_before()) {
      out.head.clear();
      out.refusal = StillReadRefusal::Unsettled;
      return out;
    }
    out.refusal = StillReadRefusal::Oversize;
    out.file = before;
    return out;
  }
  std::optional<ByteBuffer> buffer = take_pooled_buffer(size, size * 2);
  if (!buffer) return out;
  const Status<FileReadError> done = read_open_file(*file, shown, size, *buffer);
  // A read cut short or run long is a change as much as a moved time.
  if (done && still_as_before()) {
    out.bytes = std::move(buffer);
    out.file = before;
    return out;
  }
  return_pooled_buffer(std::move(*buffer));
  out.refusal = StillReadRefusal::Unsettled;
  return out;
}

std::optional<ByteBuffer> read_still_file_at(int dir, const std::string& name, const std::filesystem::path& shown,
                                             uint64_t limit, const StillReadTiming& timing, FileChangeStamp* read) {
  StillRead got = read_still_file_checked(dir, name, shown, StillReadAsk{limit, timing, std::nullopt, 0});
  if (got.bytes && read) *read = *got.file;
  return std::move(got.bytes);
}

StillRead read_still_file_waiting(const std::filesystem::path& path, const StillReadAsk& ask) {
  const DirFd dir = open_dir_followed(path.has_parent_path() ? path.parent_path() : std::filesystem::path("."));
  if (!dir.ok()) return {};
  const std::string name = path.filename().string();
  const auto give_up = std::chrono::steady_clock::now() + ask.timing.patience;
  for (;;) {
    StillRead got = read_still_file_checked(dir.get(), name, path, ask);
    if (got.bytes || got.refusal != StillReadRefusal::Unsettled) return got;
    // Refused for a change: look again once it may have settled.
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return got;
    const std::optional<std::chrono::nanoseconds> age = change_age(st);
    const std::chrono::nanoseconds wait = age && *age < ask.timing.settle
                                              ? ask.timing.settle - *age
                                              : std::chrono::nanoseconds(std::chrono::milliseconds(1));
    if (std::chrono::steady_clock::now() + wait > give_up) return got;
    std::this_thread::sleep_for(wait);
  }
}

std::optional<ByteBuffer> read_still_file(const std::filesystem::path& path, uint64_t limit,
                                          const StillReadTiming& timing, FileChangeStamp* read) {
  StillRead got = read_still_file_waiting(path, StillReadAsk{limit, timing, std::nullopt, 0});
  if (got.bytes && read) *read = *got.file;
  return std::move(got.bytes);
}

}  // namespace vel
