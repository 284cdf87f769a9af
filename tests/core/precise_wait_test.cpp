// wait_precisely_until: never ends before its deadline, ends soon after it, and a stop
// ends it at once in the sleep and in the final spin alike; the spin stays bounded.
#include "core/precise_wait.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace corvane::video {
namespace {

using precise_wait::Clock;
using namespace std::chrono_literals;

struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopped = false;  // guarded by mutex

  bool wait_until(Clock::time_point deadline) {
    return wait_precisely_until(deadline, mutex, cv, [this] { return stopped; });
  }
  void stop() {
    {
      std::lock_guard<std::mutex> g(mutex);
      stopped = true;
    }
    cv.notify_all();
  }
};

// Waits from a few microseconds (spun whole) to milliseconds (slept, then spun).
class PreciseWaitLength : public ::testing::TestWithParam<std::chrono::microseconds> {};

TEST_P(PreciseWaitLength, EndsAtTheDeadlineNotBefore) {
  Waiter w;
  for (int i = 0; i < 5; ++i) {
    const auto deadline = Clock::now() + GetParam();
    EXPECT_TRUE(w.wait_until(deadline));
    const auto late = Clock::now() - deadline;
    EXPECT_GE(late.count(), 0);
    // Wide: the machine may be loaded; the precision itself is a benchmark's business.
    EXPECT_LT(late, 20ms);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PreciseWaitLength,
                         ::testing::Values(std::chrono::microseconds(0),
                                           std::chrono::microseconds(5),
                                           std::chrono::microseconds(200),
                                           std::chrono::microseconds(20000)));

TEST(PreciseWait, PastDeadlineReturnsAtOnce) {
  Waiter w;
  EXPECT_TRUE(w.wait_until(Clock::now() - 1s));
}

TEST(PreciseWait, StopEndsALongWaitAtOnce) {
  Waiter w;
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    w.stop();
  });
  const auto began = Clock::now();
  EXPECT_FALSE(w.wait_until(began + 30s));
  EXPECT_LT(Clock::now() - began, 5s);
  stopper.join();
}

TEST(PreciseWait, StoppedBeforeEndsWithoutWaiting) {
  Waiter w;
  w.stop();
  const auto began = Clock::now();
  // Within the spin's reach as well as beyond it.
  EXPECT_FALSE(w.wait_until(began + 10us));
  EXPECT_FALSE(w.wait_until(began + 30s));
  EXPECT_LT(Clock::now() - began, 5s);
}

TEST(PreciseWait, SpinMarginStaysBounded) {
  for (int i = 0; i < 50; ++i) precise_wait::record_lateness(10ms);
  EXPECT_LE(precise_wait::spin_margin(), precise_wait::kMaxSpin);
  for (int i = 0; i < 500; ++i) precise_wait::record_lateness(-1ms);
  EXPECT_GE(precise_wait::spin_margin().count(), 0);
  EXPECT_LT(precise_wait::spin_margin(), precise_wait::kInitialSpin);
  // Back to where the other tests expect it.
  for (int i = 0; i < 50; ++i) precise_wait::record_lateness(precise_wait::kInitialSpin);
}

}  // namespace
}  // namespace corvane::video
