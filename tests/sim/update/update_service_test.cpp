// The stand-in update service as a client sees it on the wire: the status
// line it was told, a body with or without a length, an endless body that
// stops at its cap, and the targets it records.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "update/update_service.h"

namespace sim {
namespace {

// Sends a GET for `target` and reads the whole answer, up to `limit` bytes.
std::string ask(uint16_t port, const std::string& target, size_t limit = 16u << 20) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buf[65536];
      ssize_t n;
      while (answer.size() < limit && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

std::string body_of(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }

TEST(UpdateService, AnswersFromItsTableInOrderAndRecordsTheTargets) {
  HttpReply not_found{404, "Not Found", "404 page not found", true, false};
  HttpReply unlengthed{200, "OK", "0.3.31\r\n", false, false};
  HttpReply endless{200, "OK", "", false, true};
  auto service = UpdateService::start({not_found, unlengthed, endless});
  ASSERT_TRUE(service.ok()) << service.error();
  UpdateService& s = *service.value();

  const std::string first = ask(s.port(), "/update?channel=beta&current=0.3.30");
  EXPECT_EQ(first.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << first;
  EXPECT_NE(first.find("Content-Length: 18\r\n"), std::string::npos);
  EXPECT_EQ(body_of(first), "404 page not found");

  const std::string second = ask(s.port(), "/b");
  EXPECT_EQ(second.find("Content-Length"), std::string::npos) << second;
  EXPECT_EQ(body_of(second), "0.3.31\r\n");

  const std::string third = ask(s.port(), "/c");
  EXPECT_EQ(body_of(third).size(), kEndlessBodyCapBytes);
  EXPECT_EQ(body_of(ask(s.port(), "/d")).size(), kEndlessBodyCapBytes) << "the last reply repeats";

  ASSERT_TRUE(s.wait_served(4));
  const auto served = s.served();
  ASSERT_EQ(served.size(), 4u);
  EXPECT_EQ(served[0].target, "/update?channel=beta&current=0.3.30");
  EXPECT_EQ(served[1].target, "/b");
  EXPECT_EQ(served[2].body_bytes_sent, kEndlessBodyCapBytes);
  EXPECT_FALSE(served[2].peer_closed);
  EXPECT_EQ(s.url("/update"), "http://127.0.0.1:" + std::to_string(s.port()) + "/update");
}

TEST(UpdateService, AClientThatLeavesIsSeenAsGone) {
  auto service = UpdateService::start({HttpReply{200, "OK", "x", false, true}});
  ASSERT_TRUE(service.ok()) << service.error();
  EXPECT_GE(ask(service.value()->port(), "/", 1000).size(), 1000u);
  ASSERT_TRUE(service.value()->wait_served(1));
  EXPECT_TRUE(service.value()->served()[0].peer_closed);
  EXPECT_LT(service.value()->served()[0].body_bytes_sent, kEndlessBodyCapBytes);
}

}  // namespace
}  // namespace sim
