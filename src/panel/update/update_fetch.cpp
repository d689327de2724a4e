#include "panel/update/update_fetch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "panel/update/update_request.h"
#include "panel/update/update_spawn.h"

namespace vel {
namespace {

// Reads until end of file or until `limit` + 1 bytes are held.
std::string read_bounded(int fd, size_t limit) {
  std::string out;
  char chunk[16384];
  while (out.size() <= limit) {
    const size_t room = limit + 1 - out.size();
    const ssize_t n = ::read(fd, chunk, room < sizeof chunk ? room : sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  return out;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

std::optional<BodyAndStatus> split_status_trailer(std::string output) {
  if (output.size() < kStatusTrailerBytes || output[output.size() - kStatusTrailerBytes] != '\n') return std::nullopt;
  int status = 0;
  for (size_t i = output.size() - kStatusTrailerBytes + 1; i < output.size(); ++i) {
    if (output[i] < '0' || output[i] > '9') return std::nullopt;
    status = status * 10 + (output[i] - '0');
  }
  output.resize(output.size() - kStatusTrailerBytes);
  return BodyAndStatus{std::move(output), status};
}

FetchOutcome fetch_update_reply(const std::string& curl_path, const std::string& request) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  Result<pid_t> pid = spawn_program(curl_path, curl_arguments(request), fds[1]);
  ::close(fds[1]);
  if (!pid) {
    ::close(fds[0]);
    return {};
  }
  const size_t limit = kMaxUpdateReplyBytes + kStatusTrailerBytes;
  std::string output = read_bounded(fds[0], limit);
  const bool too_long = output.size() > limit;
  if (too_long) ::kill(*pid, SIGKILL);
  ::close(fds[0]);
  const int status = wait_for(*pid);
  if (too_long) return {FetchStatus::too_long, {}};
  if (status < 0 || !WIFEXITED(status)) return {FetchStatus::killed, {}};
  if (WEXITSTATUS(status) != 0) return {FetchStatus::failed, {}};
  if (output.empty()) return {FetchStatus::empty, {}};
  std::optional<BodyAndStatus> reply = split_status_trailer(std::move(output));
  if (!reply || reply->status < 200 || reply->status > 299) return {FetchStatus::http_error, {}};
  if (reply->body.size() > kMaxUpdateReplyBytes) return {FetchStatus::too_long, {}};
  if (reply->body.empty()) return {FetchStatus::empty, {}};
  return {FetchStatus::ok, std::move(reply->body)};
}

}  // namespace vel
