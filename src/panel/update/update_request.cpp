#include "panel/update/update_request.h"

#include <cstdlib>

#include "host/utf_text.h"
#include "panel/update/update_text.h"

namespace vel {
namespace {

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::string update_url_from(const char* value) {
  if (value == nullptr) return std::string(kDefaultUpdateEndpoint);
  const std::string_view raw(value);
  if (!utf8_to_utf16(raw)) return std::string(kDefaultUpdateEndpoint);
  const std::string_view v = trim_unicode_space(raw);
  const bool web = starts_with_ignoring_case(v, "http://") || starts_with_ignoring_case(v, "https://");
  if (!web || holds_space_or_control(v)) return std::string(kDefaultUpdateEndpoint);
  return std::string(v);
}

std::string update_url() { return update_url_from(std::getenv("VELOCINTA_UPDATE_URL")); }

std::string update_request(std::string_view endpoint) {
  std::string request(endpoint);
  request += endpoint.find('?') == std::string_view::npos ? "?" : "&";
  request += "channel=";
  request += kUpdateChannel;
  request += "&current=";
  request += kPluginVersion;
  return request;
}

std::vector<std::string> curl_arguments(std::string_view request) {
  return {"-sS", "-L", "--connect-timeout", "5", "--max-time", "15", "--max-filesize",
          std::to_string(kMaxUpdateReplyBytes), "--write-out", std::string(kStatusTrailerFormat), std::string(request)};
}

}  // namespace vel
