#include "update/update_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

constexpr size_t kMaxRequestHeadBytes = 8192;
constexpr int kClientWaitMs = 5000;
// A small send buffer makes a client that leaves show up at once, instead of
// after megabytes vanished into the kernel.
constexpr int kSendBufferBytes = 64 * 1024;

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

enum class Wait { ready, woken, timed_out };

// Waits for `events` on `fd` or for the owner's wake-up.
Wait wait_for(int fd, short events, int wake_fd) {
  pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, kClientWaitMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Wait::timed_out;
    if (fds[1].revents != 0) return Wait::woken;
    return Wait::ready;
  }
}

// The request line's target; "" when the head is cut off or malformed.
std::string request_target(const std::string& head) {
  const size_t line_end = head.find("\r\n");
  const std::string line = head.substr(0, line_end);
  const size_t first = line.find(' ');
  if (first == std::string::npos) return "";
  const size_t second = line.find(' ', first + 1);
  return line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

}  // namespace

Result<std::unique_ptr<UpdateService>> UpdateService::start(std::vector<HttpReply> replies) {
  if (replies.empty()) replies.push_back(HttpReply{});
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(errno_text("update service: socket"));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::string text = errno_text("update service: listen");
    ::close(fd);
    return fail(text);
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    std::string text = errno_text("update service: pipe");
    ::close(fd);
    return fail(text);
  }
  std::unique_ptr<UpdateService> s(new UpdateService(fd, wake[0], wake[1], ntohs(addr.sin_port), std::move(replies)));
  try {
    s->thread_ = std::thread([raw = s.get()] { raw->serve(); });
  } catch (const std::exception& e) {
    return fail(std::string("update service: thread: ") + e.what());
  }
  return s;
}

UpdateService::UpdateService(int listen_fd, int wake_read, int wake_write, uint16_t port,
                             std::vector<HttpReply> replies)
    : listen_fd_(listen_fd), wake_read_(wake_read), wake_write_(wake_write), port_(port), replies_(std::move(replies)) {}

UpdateService::~UpdateService() {
  if (thread_.joinable()) {
    const char byte = 1;
    while (::write(wake_write_, &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  ::close(listen_fd_);
  ::close(wake_read_);
  ::close(wake_write_);
}

std::string UpdateService::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<ServedRequest> UpdateService::served() const {
  std::lock_guard lock(mutex_);
  return served_;
}

bool UpdateService::wait_served(size_t count, std::chrono::seconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return served_.size() >= count; });
}

void UpdateService::serve() {
  (void)pthread_setname_np(pthread_self(), "sim-update-svc");
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) return;
    const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    answer(client);
    ::close(client);
  }
}

void UpdateService::answer(int fd) {
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
  ServedRequest record;
  std::string head;
  char buf[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHeadBytes) {
    if (wait_for(fd, POLLIN, wake_read_) != Wait::ready) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    head.append(buf, static_cast<size_t>(n));
  }
  record.target = request_target(head);

  size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    index = std::min(served_.size(), replies_.size() - 1);
  }
  const HttpReply& reply = replies_[index];
  std::string out = "HTTP/1.0 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
  out += "Content-Type: " + std::string(reply.body.starts_with("{") ? "application/json" : "text/plain") + "\r\n";
  if (reply.with_length && !reply.endless) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  out += "Connection: close\r\n\r\n";
  const std::string unit = reply.body.empty() && reply.endless ? std::string(4096, 'x') : reply.body;

  // The head, then the body once or until the cap.
  size_t head_left = out.size();
  uint64_t goal = reply.endless ? kEndlessBodyCapBytes : unit.size();
  while (head_left > 0 || record.body_bytes_sent < goal) {
    if (out.empty()) {
      const uint64_t left = goal - record.body_bytes_sent;
      const size_t at = static_cast<size_t>(record.body_bytes_sent % unit.size());
      out = unit.substr(at, static_cast<size_t>(std::min<uint64_t>(left, unit.size() - at)));
    }
    if (const Wait w = wait_for(fd, POLLOUT, wake_read_); w != Wait::ready) {
      record.peer_closed = w == Wait::timed_out;
      break;
    }
    const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      record.peer_closed = true;
      break;
    }
    size_t sent = static_cast<size_t>(n);
    const size_t of_head = std::min(sent, head_left);
    head_left -= of_head;
    record.body_bytes_sent += sent - of_head;
    out.erase(0, sent);
  }
  ::shutdown(fd, SHUT_WR);
  {
    std::lock_guard lock(mutex_);
    served_.push_back(std::move(record));
  }
  changed_.notify_all();
}

Result<HttpReply> reply_from_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("--update-reply: cannot read " + path);
  std::ostringstream body;
  body << in.rdbuf();
  HttpReply reply;
  reply.body = body.str();
  if (reply.body.size() > kEndlessBodyCapBytes) return fail("--update-reply: larger than 8 MiB: " + path);
  return reply;
}

}  // namespace sim
