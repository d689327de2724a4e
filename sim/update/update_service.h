// The stand-in update service: a small HTTP/1.0 server on 127.0.0.1 that
// answers every request from a table of replies, so that no run of simhost,
// no test and no demo makes curl leave the machine. It can answer what a
// general-purpose test server cannot: a body without a length, a body
// without end (capped), any status line. It serves while its owner lives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simhost/result.h"

namespace sim {

struct HttpReply {
  int status = 200;
  std::string reason = "OK";
  std::string body;
  bool with_length = true;  // send Content-Length
  bool endless = false;     // repeat the body until the peer leaves or the cap is reached
};

// An endless body stops here, so a client that never hangs up cannot keep
// the service busy for ever.
inline constexpr uint64_t kEndlessBodyCapBytes = 8ull * 1024 * 1024;

struct ServedRequest {
  std::string target;       // as in the request line, "" when none could be read
  uint64_t body_bytes_sent = 0;
  bool peer_closed = false;  // the client left before the reply was whole
};

class UpdateService {
 public:
  // Listens on an ephemeral port. Request n gets replies[n], the last one
  // for every later request.
  static Result<std::unique_ptr<UpdateService>> start(std::vector<HttpReply> replies);
  ~UpdateService();  // stops serving and joins the thread
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" + path.
  std::string url(const std::string& path = "/update") const;

  // The requests answered so far, in order.
  std::vector<ServedRequest> served() const;
  // Waits until `count` requests were answered (or the client left); false
  // when `limit` passed first, a safety valve rather than a timing.
  bool wait_served(size_t count, std::chrono::seconds limit = std::chrono::seconds(60)) const;

 private:
  UpdateService(int listen_fd, int wake_read, int wake_write, uint16_t port, std::vector<HttpReply> replies);
  void serve();
  void answer(int fd);

  int listen_fd_;
  int wake_read_;
  int wake_write_;
  uint16_t port_;
  std::vector<HttpReply> replies_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ServedRequest> served_;
  std::thread thread_;
};

// The body of an HTTP reply given in a file, answered with status 200 and
// its length.
Result<HttpReply> reply_from_file(const std::string& path);

}  // namespace sim
