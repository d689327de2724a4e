#include "memout/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/bounded_read.h"

namespace vel {

namespace {

// Path components the way the two sides must agree on them: a leading "/"
// is its own component, repeated separators and "." components vanish, ".."
// stays (it cannot be resolved without the file system).
struct PathParts {
  bool absolute = false;
  std::vector<std::string_view> names;
};

PathParts split_path(std::string_view p) {
  PathParts parts;
  parts.absolute = !p.empty() && p.front() == '/';
  size_t i = 0;
  while (i < p.size()) {
    const size_t j = p.find('/', i);
    const std::string_view c = p.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i);
    if (!c.empty() && c != ".") parts.names.push_back(c);
    if (j == std::string_view::npos) break;
    i = j + 1;
  }
  return parts;
}

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    const uint32_t min_cp = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace

MemoutResult<std::string> manifest_path_for_output(std::string_view output_path) {
  const PathParts parts = split_path(output_path);
  if (parts.names.empty() || parts.names.back() == "..") return memout_invalid("output has no file name");
  std::string out = parts.absolute ? "/" : "";
  for (size_t k = 0; k + 1 < parts.names.size(); ++k) {
    out += parts.names[k];
    out += '/';
  }
  out += parts.names.back();
  out += kManifestSuffix;
  return out;
}

MemoutResult<std::string> serialize_manifest(const Manifest& m) {
  if (!valid_utf8(m.output_path) || !valid_utf8(m.mapping_name)) {
    return memout_invalid("path contains invalid UTF-8 characters");
  }
  using nlohmann::json;
  std::string out = "{\"version\":" + std::to_string(m.version) + ",\"token\":[";
  for (size_t k = 0; k < m.token.size(); ++k) {
    if (k) out += ',';
    out += std::to_string(m.token[k]);
  }
  out += "],\"mapping_name\":" + json(m.mapping_name).dump();
  out += ",\"output_path\":" + json(m.output_path).dump();
  out += ",\"capacity\":" + std::to_string(m.capacity);
  out += ",\"range_start\":" + std::to_string(m.range_start);
  out += ",\"range_end\":" + std::to_string(m.range_end);
  out += ",\"step\":" + std::to_string(m.step);
  out += ",\"key_scale\":" + std::to_string(m.key_scale);
  out += ",\"width\":" + std::to_string(m.width);
  out += ",\"height\":" + std::to_string(m.height);
  out += std::string(",\"mode\":") + (m.mode == ManifestMode::Null ? "\"null\"" : "\"memory\"") + "}";
  if (out.size() > kManifestMaxBytes) return memout_invalid("output manifest too large");
  return out;
}

MemoutStatus validate_output_contract(const Manifest& m, std::string_view real_output_path) {
  const PathParts real = split_path(real_output_path);
  const PathParts claimed = split_path(m.output_path);
  if (m.version != 1 || real_output_path.empty() || real_output_path.front() != '/' ||
      claimed.absolute != real.absolute || claimed.names != real.names) {
    return memout_invalid("output manifest identity mismatch");
  }
  bool token_zero = true;
  for (uint8_t b : m.token) token_zero = token_zero && b == 0;
  if (token_zero || m.mapping_name.empty() || m.step < 1 || m.key_scale == 0) {
    return memout_invalid("invalid output manifest contract");
  }
  int64_t span = 0;
  int64_t count = 0;
  if (__builtin_sub_overflow(m.range_end, m.range_start, &span) || span < -1 ||
      __builtin_add_overflow(span, 1, &count)) {
    return memout_invalid("invalid output range");
  }
  if (span >= kMaxOutputFrameSpan) return memout_invalid("output range exceeds frame bound");
  int64_t t = 0;
  if (!checked_frame_time(m.range_start, m.step, t) || !checked_frame_time(m.range_end, m.step, t)) {
    return memout_invalid("output frame time overflow");
  }
  auto capacity = rgba8_capacity(m.width, m.height);
  if (!capacity) return Err<MemoutError>{capacity.error()};
  const uint64_t expected = m.mode == ManifestMode::Null ? 0 : *capacity;
  if (m.capacity != expected) return memout_invalid("output capacity does not match dimensions/mode");
  return ok_unit();
}

OutputContract contract_from_manifest(const Manifest& m) {
  OutputContract c;
  c.range_start = m.range_start;
  c.range_end = m.range_end;
  c.step = m.step;
  c.key_scale = m.key_scale;
  c.width = m.width;
  c.height = m.height;
  c.null_mode = m.mode == ManifestMode::Null;
  c.capacity = m.capacity;
  return c;
}

MemoutStatus write_manifest_file(const std::string& manifest_path, const Manifest& manifest) {
  auto text = serialize_manifest(manifest);
  if (!text) return Err<MemoutError>{text.error()};
  const int fd = open(manifest_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return memout_os_failure(errno);
  const std::string& doc = *text;
  size_t done = 0;
  int failure = 0;
  while (done < doc.size()) {
    const ssize_t n = write(fd, doc.data() + done, doc.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && failure == 0 && errno != EINTR) failure = errno;
  if (failure != 0) {
    unlink(manifest_path.c_str());
    return memout_os_failure(failure);
  }
  return ok_unit();
}

MemoutResult<Manifest> read_manifest_file(const std::string& manifest_path) {
  // Opened without waiting, so that a FIFO planted under the manifest's name
  // cannot stall the host's render thread in open(); only a regular file of
  // at most the limit is read.
  Result<std::string, FileReadError> text = read_text_limited(manifest_path, kManifestMaxBytes);
  if (!text) {
    if (text.error().kind == FileRefusal::TooLarge) return memout_invalid("output manifest too large");
    if (text.error().kind == FileRefusal::NotRegular) return memout_invalid("output manifest is not a regular file");
    return memout_os_failure(text.error().os_error != 0 ? text.error().os_error : EIO);
  }
  return parse_manifest(*text);
}

}  // namespace vel
