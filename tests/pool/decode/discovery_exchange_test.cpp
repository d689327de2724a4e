#include "pool/decode/discovery_exchange.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

// The supervision's handle, with the test in the discovery worker's place.
struct Exchange {
  Exchange() {
    auto [req_tx, req_rx] = make_bounded_channel<DiscoveryRequest>(1);
    auto [rep_tx, rep_rx] = make_bounded_channel<DiscoveryReport>(1);
    requests = std::move(req_rx);
    reports = std::move(rep_tx);
    handle.emplace(std::move(req_tx), std::move(rep_rx), std::make_shared<std::atomic<bool>>(false));
  }
  std::optional<DiscoveryHandle> handle;
  ChannelReceiver<DiscoveryRequest> requests;
  ChannelSender<DiscoveryReport> reports;
};

const auto kExchangeNow = std::chrono::steady_clock::time_point(std::chrono::seconds(100));

TEST(DiscoveryExchange, OneRequestInFlightWithThePlayhead) {
  Exchange x;
  DiscoveryHandle& h = *x.handle;
  EXPECT_FALSE(try_recv_discovery(h));  // nothing asked yet
  ASSERT_TRUE(request_discovery(h, 42, kExchangeNow));
  EXPECT_TRUE(h.waiting);
  EXPECT_EQ(h.pending_since, kExchangeNow);
  EXPECT_EQ(h.counter, 1u);
  EXPECT_FALSE(request_discovery(h, 43, kExchangeNow));  // one at a time
  EXPECT_FALSE(try_recv_discovery(h));          // not answered yet

  std::optional<DiscoveryRequest> req;
  ASSERT_EQ(x.requests.try_recv(req), TryRecv::Value);
  EXPECT_TRUE(req->has_playhead);
  EXPECT_EQ(req->playhead, 42);
  DiscoveryReport report;
  report.files.push_back({"/tmp/job/w0/f_00042.psd", 42, false, 0.0});
  ASSERT_TRUE(x.reports.try_send(std::move(report)));

  const std::optional<DiscoveryReport> got = try_recv_discovery(h);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->files.size(), 1u);
  EXPECT_EQ(got->files[0].frame, 42);
  EXPECT_FALSE(h.waiting);
  EXPECT_FALSE(h.pending_since);

  ASSERT_TRUE(request_discovery(h, std::nullopt, kExchangeNow));
  ASSERT_EQ(x.requests.try_recv(req), TryRecv::Value);
  EXPECT_FALSE(req->has_playhead);
  EXPECT_EQ(h.counter, 2u);
}

// A report with nothing fresh holds the next scan back for the pace from
// its own start; a fresh one lets it go at once.
TEST(DiscoveryExchange, AQuietReportPacesTheNextScan) {
  for (const bool fresh : {false, true}) {
    Exchange x;
    DiscoveryHandle& h = *x.handle;
    ASSERT_TRUE(request_discovery(h, 0, kExchangeNow));
    std::optional<DiscoveryRequest> req;
    ASSERT_EQ(x.requests.try_recv(req), TryRecv::Value);
    DiscoveryReport report;
    report.scan_started = kExchangeNow;
    report.fresh = fresh;
    ASSERT_TRUE(x.reports.try_send(std::move(report)));
    ASSERT_TRUE(try_recv_discovery(h));
    EXPECT_EQ(request_discovery(h, 0, kExchangeNow + kQuietScanPace / 2), fresh) << fresh;
    if (!fresh) {
      EXPECT_TRUE(request_discovery(h, 0, kExchangeNow + kQuietScanPace));
    }
  }
}

TEST(DiscoveryExchange, AWorkerThatIsGoneEndsTheWait) {
  Exchange x;
  DiscoveryHandle& h = *x.handle;
  ASSERT_TRUE(request_discovery(h, 0, kExchangeNow));
  x.reports.reset();
  x.requests.reset();
  EXPECT_FALSE(try_recv_discovery(h));
  EXPECT_FALSE(h.waiting);
  EXPECT_FALSE(request_discovery(h, 0, kExchangeNow));
  EXPECT_FALSE(h.waiting);
}

}  // namespace
}  // namespace vel
