// One run of curl for the update check: its output captured through a pipe
// into at most 65,537 bytes of body and the HTTP status curl writes after
// it. Only a 2xx status makes the body a reply: an error page is no version,
// whatever it says. curl's own size limit holds only when the
// server announces a length; past the limit the child is killed by its pid
// and reaped, so an endless reply costs 64 KiB, not what arrives in 15 s.
#pragma once

#include <optional>
#include <string>

namespace vel {

enum class FetchStatus {
  ok,           // exit 0 with 1 to 65,536 bytes
  not_started,  // no such program, or it could not be spawned
  failed,       // exit status other than 0
  killed,       // ended by a signal (not ours)
  empty,        // exit 0 without output
  too_long,     // more than 65,536 bytes: ended by us
  http_error,   // exit 0, but the status is not 2xx, or missing
};

struct FetchOutcome {
  FetchStatus status = FetchStatus::not_started;
  std::string body;  // the bytes as read, only with `ok`
};

// Splits curl's output into the body and the status after it; none when
// the output does not end with a line feed and three digits.
struct BodyAndStatus {
  std::string body;
  int status = 0;
};
std::optional<BodyAndStatus> split_status_trailer(std::string output);

// Runs `curl_path` with curl_arguments(request) and waits for it.
FetchOutcome fetch_update_reply(const std::string& curl_path, const std::string& request);

}  // namespace vel
