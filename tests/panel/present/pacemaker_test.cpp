#include <gtest/gtest.h>

#include <condition_variable>
#include <limits>
#include <mutex>

#include "core/threads.h"
#include "panel/present/pacemaker.h"

namespace vel {
namespace {

TEST(Pacemaker, PeriodForFps) {
  struct Case {
    double fps;
    uint64_t us;
  } cases[] = {{30, 16666},
               {200, 4000},
               {10, 25000},
               {24, 20833},
               {0, 16666},
               {-5, 16666},
               {std::numeric_limits<double>::infinity(), 16666},
               {std::numeric_limits<double>::quiet_NaN(), 16666}};
  for (const Case& c : cases) EXPECT_EQ(pacemaker_period_for_fps(c.fps), c.us) << c.fps;
}

// A host whose wake-up answers are scripted, and whose loop exit is an
// event the test can wait for.
struct FakeHost {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t wakes = 0;
  bool exited = false;
  bool answer = true;

  Pacemaker::Hooks hooks(bool enabled = true) {
    return Pacemaker::Hooks{
        [enabled] { return enabled; }, [] { return false; },
        [this] {
          std::lock_guard lock(mutex);
          ++wakes;
          cv.notify_all();
          return answer;
        },
        [this](std::function<void()> body, std::function<void()>) -> Status<> {
          auto t = spawn_named_thread("velocinta-pacemaker", [this, body] {
            body();
            std::lock_guard lock(mutex);
            exited = true;
            cv.notify_all();
          });
          if (!t) return err(t.error());
          t.value().detach();
          return ok_unit();
        }};
  }
  void wait_for(const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    cv.wait(lock, done);
  }
};

TEST(Pacemaker, StoresClampedPeriodsAndWakesTheHost) {
  FakeHost host;
  {
    Pacemaker p(host.hooks());
    struct Case {
      uint64_t asked, stored;
    } cases[] = {{2000, 4000}, {500000, 100000}, {16666, 16666}};
    for (const Case& c : cases) {
      p.start(true, c.asked);
      EXPECT_EQ(p.period_us(), c.stored) << c.asked;
    }
    EXPECT_TRUE(p.started());
    host.wait_for([&] { return host.wakes >= 2; });
    p.start(false, 16666);
    EXPECT_FALSE(p.armed());
    p.stop();
    host.wait_for([&] { return host.exited; });
    EXPECT_TRUE(p.stopped());
    p.start(true, 4000);
    EXPECT_FALSE(p.armed()) << "a stopped pacemaker is never armed again";
  }
}

TEST(Pacemaker, SwitchedOffNeverStarts) {
  FakeHost host;
  Pacemaker p(host.hooks(false));
  p.start(true, 4000);
  EXPECT_FALSE(p.started());
  EXPECT_FALSE(p.armed());
}

TEST(Pacemaker, StopsAfter64RefusedWakeUps) {
  FakeHost host;
  host.answer = false;
  Pacemaker p(host.hooks());
  p.start(true, 4000);
  host.wait_for([&] { return host.exited; });
  EXPECT_EQ(host.wakes, kPacemakerFailureLimit);
  EXPECT_TRUE(p.stopped());
  p.start(true, 4000);
  EXPECT_FALSE(p.armed());
  EXPECT_EQ(host.wakes, kPacemakerFailureLimit) << "no thread comes back";
}

TEST(Pacemaker, FailedStartStopsForGood) {
  Pacemaker p(Pacemaker::Hooks{[] { return true; }, [] { return false; }, [] { return true; },
                               [](std::function<void()>, std::function<void()>) -> Status<> {
                                 return err("no thread");
                               }});
  p.start(true, 4000);
  EXPECT_TRUE(p.stopped());
  EXPECT_FALSE(p.armed());
}

}  // namespace
}  // namespace vel
