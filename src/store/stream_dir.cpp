#include "store/stream_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <span>
#include <string>
#include <vector>

#include "store/frame_file_io.h"
#include "store/store_names.h"
#include "store/store_tree.h"

namespace vel {

namespace {

constexpr uint64_t kOwnerFileLimit = 65536;

bool same_stat(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Whether a stream folder of `key_dir` belongs to a name other than `comp_key`.
bool key_dir_holds_other_name(const fs::path& key_dir, std::string_view comp_key) {
  std::error_code ec;
  fs::directory_iterator it(key_dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_directory(type_ec) && stream_owner(it->path(), comp_key) == StreamOwner::Foreign) return true;
  }
  return false;
}

// Nothing at `path` (or nothing to be found there: the writes will tell),
// or a real folder, not a link to one.
bool free_or_real_folder(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}

}  // namespace

StreamOwner stream_owner(const fs::path& stream_dir, std::string_view comp_key) {
  const fs::path owner = stream_dir / kStreamOwnerFile;
  std::vector<uint8_t> bytes;
  if (read_file_limited(owner, kOwnerFileLimit, bytes).ok()) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()) == comp_key
               ? StreamOwner::Ours
               : StreamOwner::Foreign;
  }
  struct stat st {};
  if (::lstat(owner.c_str(), &st) == 0) return StreamOwner::Foreign;  // there, but not a readable owner file
  return list_stored_keys(stream_dir).empty() ? StreamOwner::Unclaimed : StreamOwner::Foreign;
}

bool claim_stream_dir(const fs::path& stream_dir, std::string_view comp_key) {
  switch (stream_owner(stream_dir, comp_key)) {
    case StreamOwner::Ours:
      return true;
    case StreamOwner::Foreign:
      return false;
    case StreamOwner::Unclaimed:
      break;
  }
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(comp_key.data()), comp_key.size());
  return write_file_atomically(stream_dir, kStreamOwnerFile, bytes).has_value();
}

std::optional<fs::path> choose_stream_dir(const fs::path& root, std::string_view comp_key, uint64_t fingerprint) {
  const std::string stem = sanitize_file_stem(comp_key);
  fs::path key_dir = root / stem;
  if (!free_or_real_folder(key_dir) || key_dir_holds_other_name(key_dir, comp_key)) {
    key_dir = root / (stem + "_" + hex16(fnv1a64(comp_key)));
    if (!free_or_real_folder(key_dir)) return std::nullopt;
  }
  const std::string name = stream_dir_name(fingerprint);
  // Whatever is not a folder at a stream folder's name (a file, a link, a
  // FIFO) stands where only the store writes and holds no user's folder:
  // it goes, or the composition would have no store in any run. The key
  // folder may be the user's, so it is only ever passed by, as above.
  if (DirFd root_dir = open_dir_followed(root); root_dir.ok()) {
    if (DirFd key = open_dir_at(root_dir.get(), key_dir.filename().native()); key.ok()) {
      if (!clear_non_folder_at(key.get(), name)) return std::nullopt;
    }
  }
  fs::path stream = key_dir / name;
  if (stream_owner(stream, comp_key) == StreamOwner::Foreign) return std::nullopt;
  return stream;
}

std::optional<uint64_t> fingerprint_file(const fs::path& path, const std::function<bool()>& keep_going) {
  Result<RegularFile, FileReadError> file = open_regular_file(path);
  if (!file) return std::nullopt;
  const int fd = file->fd();
  const struct stat before = file->status();
  std::vector<char> chunk(kFingerprintChunkBytes);
  uint64_t hash = kFnvOffsetBasis;
  for (;;) {
    if (!keep_going()) return std::nullopt;
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    hash = fnv1a64(std::string_view(chunk.data(), static_cast<size_t>(n)), hash);
  }
  struct stat after {};
  if (::fstat(fd, &after) != 0 || !same_stat(before, after)) return std::nullopt;
  return hash;
}

}  // namespace vel
