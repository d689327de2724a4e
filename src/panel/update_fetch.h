// One run of curl for the update check: its output captured through a pipe
// into at most 65,537 bytes. curl's own size limit holds only when the
// server announces a length; past the limit the child is killed by its pid
// and reaped, so an endless reply costs 64 KiB, not what arrives in 15 s.
#pragma once

#include <string>

namespace vel {

enum class FetchStatus {
  ok,           // exit 0 with 1 to 65,536 bytes
  not_started,  // no such program, or it could not be spawned
  failed,       // exit status other than 0
  killed,       // ended by a signal (not ours)
  empty,        // exit 0 without output
  too_long,     // more than 65,536 bytes: ended by us
};

struct FetchOutcome {
  FetchStatus status = FetchStatus::not_started;
  std::string body;  // the bytes as read, only with `ok`
};

// Runs `curl_path` with curl_arguments(request) and waits for it.
FetchOutcome fetch_update_reply(const std::string& curl_path, const std::string& request);

}  // namespace vel
