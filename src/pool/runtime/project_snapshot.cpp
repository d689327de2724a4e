#include "pool/runtime/project_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/bounded_read.h"
#include "core/file_replace.h"
#include "core/format.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/threads.h"
#include "pool/runtime/pool_directory.h"

namespace vel {

namespace {

std::atomic<uint64_t> g_copy_counter{0};

FileStamp stamp_of(const struct stat& st) {
  FileStamp s;
  s.size = static_cast<uint64_t>(st.st_size);
  s.modified.secs = static_cast<int64_t>(st.st_mtim.tv_sec);
  s.modified.nanos = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  return s;
}

std::string errno_text(int e) { return std::strerror(e); }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }

 private:
  int fd_;
};

double elapsed_ms(uint64_t start_ns) {
  uint64_t now = mono_ns();
  return now >= start_ns ? static_cast<double>(now - start_ns) / 1e6 : 0.0;
}

// The body behind run_snapshot_copy, writing into `target_fd`.
std::optional<std::string> copy_in_pieces(const SnapshotRequest& req, int src_fd, int dst_fd) {
  struct stat st{};
  if (::fstat(src_fd, &st) != 0) return errno_text(errno);
  if (stamp_of(st) != req.stamp) return std::string("project changed before copy");
  auto by_path = file_modified_time(req.source);
  if (!by_path || *by_path != req.stamp) return std::string("project changed before copy");

  // Read in 8 KiB pieces, written out in runs of 32 pieces: the stamp
  // checks see every piece, the writes cost a few syscalls per megabyte.
  constexpr size_t kPiece = 8192;
  constexpr size_t kRun = 32 * kPiece;
  std::vector<char> buf(kRun);
  size_t held = 0;
  uint64_t copied = 0;
  for (;;) {
    ssize_t n = ::read(src_fd, buf.data() + held, kPiece);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno_text(errno);
    }
    if (n > 0) {
      held += static_cast<size_t>(n);
      copied += static_cast<uint64_t>(n);
      if (copied > req.stamp.size) return std::string("project changed during copy");
      if (req.between_pieces) req.between_pieces(copied);
    }
    if (held + kPiece > kRun || (n == 0 && held > 0)) {
      if (!write_all(dst_fd, buf.data(), held)) return errno_text(errno);
      held = 0;
    }
    if (n == 0) break;
  }
  auto after = file_modified_time(req.source);
  if (copied != req.stamp.size || !after || *after != req.stamp) return std::string("project changed during copy");
  return std::nullopt;
}

}  // namespace

std::optional<FileStamp> file_modified_time(const fs::path& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return stamp_of(st);
}

FileStamp::Time wall_clock_now() {
  struct timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return FileStamp::Time{static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

SnapshotReady::SnapshotReady(fs::path snapshot, fs::path source, FileStamp stamp, double copy_ms,
                             std::shared_ptr<const DirFd> folder)
    : snapshot_(std::move(snapshot)),
      source_(std::move(source)),
      stamp_(stamp),
      copy_ms_(copy_ms),
      folder_(std::move(folder)) {}

SnapshotReady::SnapshotReady(SnapshotReady&& o) noexcept
    : snapshot_(std::move(o.snapshot_)), source_(std::move(o.source_)), stamp_(o.stamp_), copy_ms_(o.copy_ms_),
      owns_(o.owns_), folder_(std::move(o.folder_)) {
  o.owns_ = false;
}

SnapshotReady& SnapshotReady::operator=(SnapshotReady&& o) noexcept {
  if (this != &o) {
    remove_file();
    snapshot_ = std::move(o.snapshot_);
    source_ = std::move(o.source_);
    stamp_ = o.stamp_;
    copy_ms_ = o.copy_ms_;
    owns_ = o.owns_;
    folder_ = std::move(o.folder_);
    o.owns_ = false;
  }
  return *this;
}

SnapshotReady::~SnapshotReady() { remove_file(); }

void SnapshotReady::remove_file() noexcept {
  if (owns_ && !snapshot_.empty()) {
    if (folder_ && folder_->ok()) {
      (void)::unlinkat(folder_->get(), snapshot_.filename().c_str(), 0);
    } else {
      ::unlink(snapshot_.c_str());
    }
  }
  owns_ = false;
}

fs::path fresh_partial_name(const fs::path& pool_dir, const char* prefix) {
  uint64_t n = g_copy_counter.fetch_add(1, std::memory_order_relaxed);
  return pool_dir / (std::string(prefix) + std::to_string(::getpid()) + "-" + std::to_string(mono_ns()) + "-" +
                     std::to_string(n) + ".aep");
}

fs::path pool_snapshot_path(const fs::path& pool_dir) { return pool_dir / "snapshot.aep"; }

SnapshotReply run_snapshot_copy(const SnapshotRequest& req) {
  SnapshotReply reply{req.generation, std::string()};
  uint64_t start = mono_ns();
  if (!req.pool) {
    if (auto dir = ensure_private_dir(req.pool_dir); !dir) {
      reply.result = dir.error();
      return reply;
    }
  }
  Result<RegularFile, FileReadError> opened = open_regular_file(req.source);
  if (!opened) {
    reply.result = opened.error().text;
    return reply;
  }
  Fd src(opened->release());
  ::posix_fadvise(src.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  fs::path target = fresh_partial_name(req.pool_dir, "saved-");
  const int dir = req.pool ? req.pool->get() : AT_FDCWD;
  const std::string name = req.pool ? target.filename().native() : target.native();
  Fd dst(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (dst.get() < 0) {
    reply.result = target.string() + ": " + errno_text(errno);
    return reply;
  }
  auto failure = copy_in_pieces(req, src.get(), dst.get());
  if (!failure && ::close(dst.release()) != 0) failure = errno_text(errno);
  if (failure) {
    ::unlinkat(dir, name.c_str(), 0);
    reply.result = *failure;
    return reply;
  }
  reply.result = SnapshotReady(target, req.source, req.stamp, elapsed_ms(start), req.pool);
  return reply;
}

void start_snapshot_copy(SnapshotSlot& slot, SnapshotRequest request) {
  if (slot.pending()) return;
  auto [tx, rx] = make_bounded_channel<SnapshotReply>(1);
  auto started = spawn_named_thread("velocinta-snapshot", [tx = std::move(tx), req = std::move(request)]() mutable {
    tx.try_send(run_snapshot_copy(req));
    tx.reset();
  });
  if (!started) {
    log_line("ERROR", "snapshot: thread failed: " + started.error());
    return;
  }
  started.value().detach();
  slot.receiver = std::move(rx);
}

std::optional<std::variant<SnapshotReady, std::string>> poll_snapshot_reply(SnapshotSlot& slot, uint64_t generation) {
  if (!slot.receiver) return std::nullopt;
  std::optional<SnapshotReply> reply;
  switch (slot.receiver->try_recv(reply)) {
    case TryRecv::Empty:
      return std::nullopt;
    case TryRecv::Disconnected:
      slot.receiver.reset();
      return std::variant<SnapshotReady, std::string>(std::string("snapshot worker disconnected"));
    case TryRecv::Value:
      break;
  }
  slot.receiver.reset();
  if (!reply || reply->generation != generation) return std::nullopt;  // a stale copy is deleted with `reply`
  return std::move(reply->result);
}

bool matches_clean_project(const fs::path& path, const std::optional<std::pair<std::string, bool>>& state) {
  if (!state || state->second) return false;
  fs::path project(state->first);
  if (project.native() == path.native()) return true;
  return project.lexically_normal() == path.lexically_normal();
}

Status<> copy_project_file(const fs::path& source, const fs::path& target, int pool) {
  Result<RegularFile, FileReadError> opened = open_regular_file(source);
  if (!opened) return err(opened.error().text);
  Fd src(opened->release());
  const uint64_t limit = opened->size();
  fs::path partial = fresh_partial_name(target.parent_path(), "partial-");
  const int dir = pool >= 0 ? pool : AT_FDCWD;
  const std::string partial_name = pool >= 0 ? partial.filename().native() : partial.native();
  const std::string target_name = pool >= 0 ? target.filename().native() : target.native();
  Fd dst(::openat(dir, partial_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (dst.get() < 0) return err(partial.string() + ": " + errno_text(errno));
  auto fail = [&](std::string text) -> Status<> {
    ::unlinkat(dir, partial_name.c_str(), 0);
    return err(std::move(text));
  };
  // copy_file_range clones where it can; a file system that refuses it
  // falls back to plain reads and writes.
  // Never more than the size seen at the open: a file that keeps growing
  // under the copy is no saved project.
  uint64_t copied = 0;
  for (;;) {
    if (copied > limit) return fail(source.string() + ": grew while copied");
    ssize_t n = ::copy_file_range(src.get(), nullptr, dst.get(), nullptr, 1 << 30, 0);
    if (n > 0) {
      copied += static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return fail(errno_text(errno));
    char buf[65536];
    for (;;) {
      ssize_t r = ::read(src.get(), buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return fail(errno_text(errno));
      if (r == 0) break;
      copied += static_cast<uint64_t>(r);
      if (copied > limit) return fail(source.string() + ": grew while copied");
      if (!write_all(dst.get(), buf, static_cast<size_t>(r))) return fail(errno_text(errno));
    }
    break;
  }
  if (::close(dst.release()) != 0) return fail(errno_text(errno));
  if (::renameat(dir, partial_name.c_str(), dir, target_name.c_str()) != 0) return fail(errno_text(errno));
  return ok_unit();
}

Status<> adopt_written_file(const fs::path& written, const fs::path& target, int pool) {
  const int dir = pool >= 0 ? pool : AT_FDCWD;
  const std::string written_name = pool >= 0 ? written.filename().native() : written.native();
  const std::string target_name = pool >= 0 ? target.filename().native() : target.native();
  struct stat st{};
  if (::fstatat(dir, written_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    // Whatever is there goes, a link without what it leads to.
    (void)remove_tree_at(dir, written_name);
    return err(written.string() + ": no saved file");
  }
  if (::renameat(dir, written_name.c_str(), dir, target_name.c_str()) != 0) {
    std::string text = errno_text(errno);
    ::unlinkat(dir, written_name.c_str(), 0);
    return err(std::move(text));
  }
  return ok_unit();
}

}  // namespace vel
