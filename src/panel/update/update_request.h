// What the update check asks and of whom: the endpoint, the request made of
// it, and curl's arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vel {

inline constexpr std::string_view kPluginVersion = "0.3.30";
inline constexpr std::string_view kUpdateChannel = "beta";
inline constexpr size_t kMaxUpdateReplyBytes = 65536;

// Both under the reserved domain "invalid": the built-in endpoint answers
// nothing, and VELOCINTA_UPDATE_URL names a real service.
inline constexpr std::string_view kDefaultUpdateEndpoint = "https://updates.velocinta.invalid/check";
inline constexpr std::string_view kDefaultDownloadLink = "https://velocinta.invalid/download";

// The endpoint for the value of VELOCINTA_UPDATE_URL (null when unset):
// the value trimmed of white space when it is valid UTF-8, begins with
// "http://" or "https://" (any case) and holds no white space or control
// character; the built-in endpoint otherwise. A value starting with "-"
// would become an option of curl, and "file://" would read a local file.
std::string update_url_from(const char* value);

// The endpoint for this check, reading the environment afresh.
std::string update_url();

// endpoint + ("&" when it holds a "?", else "?") + "channel=beta&current=0.3.30".
std::string update_request(std::string_view endpoint);

// What curl writes after the body: a line feed and the HTTP status of the
// last reply it followed, so that an error page is told from a reply.
inline constexpr std::string_view kStatusTrailerFormat = "\n%{http_code}";
inline constexpr size_t kStatusTrailerBytes = 4;  // "\n" and three digits

// curl's arguments after the program name, the request last.
std::vector<std::string> curl_arguments(std::string_view request);

}  // namespace vel
