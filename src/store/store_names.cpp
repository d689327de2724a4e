#include "store/store_names.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace vel {

namespace {

constexpr size_t kStemChars = 48;

bool is_ascii_alnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A decimal integer with an optional leading sign, at least one digit and
// nothing else; `allow_minus` for the signed field.
template <class Int>
std::optional<Int> parse_decimal(std::string_view s, bool allow_minus) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) return std::nullopt;
  } else if (!s.empty() && s.front() == '-' && !allow_minus) {
    return std::nullopt;
  }
  if (s.empty() || (s.front() == '-' && s.size() == 1)) return std::nullopt;
  Int v{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// Digits only, no leading zero but for "0" itself.
bool plain_decimal(std::string_view s) {
  if (s.empty() || (s.size() > 1 && s.front() == '0')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<size_t> utf8_char_length(std::string_view s, size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t n = 0;
  uint32_t min_cp = 0;
  uint32_t cp = 0;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, min_cp = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, min_cp = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, min_cp = 0x10000, cp = b0 & 0x07;
  } else {
    return std::nullopt;
  }
  if (i + n > s.size()) return std::nullopt;
  for (size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    cp = cp << 6 | (b & 0x3F);
  }
  if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return n;
}

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    std::optional<size_t> n = utf8_char_length(s, i);
    if (!n) return false;
    i += *n;
  }
  return true;
}

std::string frame_file_name(FrameKey key) {
  return "v" + std::to_string(key.value) + "_s" + std::to_string(key.scale) + ".vnf";
}

std::optional<FrameKey> parse_frame_file_name(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.substr(dot + 1) != "vnf") return std::nullopt;
  std::string_view stem = name.substr(0, dot);
  if (stem.empty() || stem.front() != 'v') return std::nullopt;
  stem.remove_prefix(1);
  const size_t split = stem.find("_s");
  if (split == std::string_view::npos) return std::nullopt;
  auto value = parse_decimal<int32_t>(stem.substr(0, split), true);
  auto scale = parse_decimal<uint32_t>(stem.substr(split + 2), false);
  if (!value || !scale || *scale == 0) return std::nullopt;
  return FrameKey{*value, *scale};
}

std::string sanitize_file_stem(std::string_view key) {
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < key.size() && chars < kStemChars; ++chars) {
    const size_t n = utf8_char_length(key, i).value_or(1);
    out.push_back(n == 1 && is_ascii_alnum(static_cast<unsigned char>(key[i])) ? key[i] : '_');
    i += n;
  }
  return out.empty() ? "_" : out;
}

std::string hex16(uint64_t value) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(value));
  return buf;
}

bool is_stream_dir_name(std::string_view name) {
  if (name.size() != kStreamDirPrefix.size() + 16 || !name.starts_with(kStreamDirPrefix)) return false;
  for (char c : name.substr(kStreamDirPrefix.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool is_key_dir_name(std::string_view name) {
  if (name.empty() || name.size() > kStemChars + 17) return false;
  for (char c : name) {
    if (c != '_' && !is_ascii_alnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool is_store_file_name(std::string_view name) {
  if (name == kLastUsedFile || name == kStreamOwnerFileName || parse_frame_file_name(name)) return true;
  // "." + one of those + whatever a writer added + ".tmp".
  if (name.size() < 6 || name.front() != '.' || !name.ends_with(".tmp")) return false;
  const std::string_view inner = name.substr(1, name.size() - 5);
  if (inner.starts_with(kLastUsedFile) || inner.starts_with(kStreamOwnerFileName)) return true;
  const size_t ext = inner.find(".vnf");
  return ext != std::string_view::npos && parse_frame_file_name(inner.substr(0, ext + 4)).has_value();
}

std::optional<int32_t> temporary_writer(std::string_view name) {
  constexpr std::string_view kTail = ".tmp";
  if (name.size() < 2 + kTail.size() || name.front() != '.' || !name.ends_with(kTail)) return std::nullopt;
  const std::string_view body = name.substr(1, name.size() - 1 - kTail.size());
  const size_t dot = body.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view file = body.substr(0, dot);
  const std::string_view writer = body.substr(dot + 1);
  const size_t dash = writer.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view pid = writer.substr(0, dash);
  const std::string_view serial = writer.substr(dash + 1);
  if (!plain_decimal(pid) || pid == "0" || !plain_decimal(serial)) return std::nullopt;
  if (!parse_decimal<uint64_t>(serial, false)) return std::nullopt;
  const std::optional<int32_t> id = parse_decimal<int32_t>(pid, false);
  if (!id) return std::nullopt;
  if (file == kLastUsedFile || file == kStreamOwnerFileName) return id;
  const std::optional<FrameKey> key = parse_frame_file_name(file);
  if (!key || frame_file_name(*key) != file) return std::nullopt;
  return id;
}

std::string stream_dir_name(uint64_t fingerprint) { return std::string(kStreamDirPrefix) + hex16(fingerprint); }

}  // namespace vel
