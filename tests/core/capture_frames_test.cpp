// Frame access and seek: the ready event, consistent pairs under concurrency.
#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>

#include "fakes.hpp"

namespace corvane::video::testing {
namespace {

using namespace std::chrono_literals;

TEST(CaptureFrameReady, AWaitThatSucceedsClearsTheEventAndTheNextWaitTimesOut) {
  Script one;
  one.frames = 1;
  Rig rig({one}, /*auto_reload=*/false);
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return !rig.capture->running(); }));
  EXPECT_TRUE(rig.capture->frame_ready().is_set());
  rig.capture->wait_for_new_frame(1s);
  EXPECT_FALSE(rig.capture->frame_ready().is_set());
  const auto t0 = std::chrono::steady_clock::now();
  rig.capture->wait_for_new_frame(200ms);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 190ms);
}

TEST(CaptureFrameReady, SetWakesEveryWaiterEvenWhenClearedAtOnce) {
  Event event;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] { woken += event.wait_for(3s) ? 1 : 0; });
  }
  std::this_thread::sleep_for(100ms);
  const auto t0 = std::chrono::steady_clock::now();
  event.set();
  event.clear();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

// A set with a deferred wake-up shows at once, and wakes the sleepers only when the
// Wakeup goes (as a publication lets go of its lock first).
TEST(CaptureFrameReady, DeferredWakeupWakesSleepersWhenItGoes) {
  Event event;
  std::atomic<bool> returned{false};
  std::atomic<bool> result{false};
  std::thread waiter([&] {
    result = event.wait_for(10s);
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  const auto t0 = std::chrono::steady_clock::now();
  {
    Event::Wakeup wakeup(event);
    event.set(wakeup);
    EXPECT_TRUE(event.is_set());
    EXPECT_TRUE(event.wait_for(0s));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned.load());
  }
  waiter.join();
  EXPECT_TRUE(result.load());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

// A wait given an Interruption leaves by its exception when a signal handler runs on the
// waiting thread, changing nothing; without one it waits on.
struct Interrupted {};
struct ThrowingInterruption : Interruption {
  void check() override { throw Interrupted(); }
};

class CaptureInterruptibleWait : public ::testing::TestWithParam<const char*> {};

TEST_P(CaptureInterruptibleWait, SignalEndsTheWaitAndLeavesTheStateAlone) {
  struct sigaction action {};
  action.sa_handler = [](int) {};  // no SA_RESTART, as a host language installs it
  sigaction(SIGUSR1, &action, nullptr);
  const std::string what = GetParam();
  Lock lock;
  Event event;
  lock.acquire();
  ThrowingInterruption interruption;
  std::promise<bool> outcome;
  std::thread waiter([&] {
    try {
      if (what == "event") event.wait_for(5s, &interruption);
      if (what == "lock") lock.acquire(&interruption);
      if (what == "timed lock") lock.try_acquire_for(5s, &interruption);
      outcome.set_value(false);
    } catch (const Interrupted&) {
      outcome.set_value(true);
    }
  });
  std::this_thread::sleep_for(100ms);
  pthread_kill(waiter.native_handle(), SIGUSR1);
  auto result = outcome.get_future();
  ASSERT_EQ(result.wait_for(1s), std::future_status::ready);
  EXPECT_TRUE(result.get());
  waiter.join();
  EXPECT_FALSE(event.is_set());
  EXPECT_TRUE(lock.release()) << "still held by its first owner only";
  EXPECT_FALSE(lock.locked());
}

INSTANTIATE_TEST_SUITE_P(Waits, CaptureInterruptibleWait,
                         ::testing::Values("event", "lock", "timed lock"));

TEST(CaptureFrames, ConcurrentReadersAndSeeksAlwaysSeeConsistentPairs) {
  // The worker loops a 40-frame source; seeks set number == position, the worker's own
  // count gives position + 1 from a fresh source and carries on from a seek. The info
  // read with the frame is always that frame's: its position, and the number it was
  // published with (never the 0 of a re-open).
  Script s;
  s.frames = 40;
  s.frame_count = Number::real(40);
  s.read_time = 200us;
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> seeks{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        rig.capture->with_frame([&](const Frame* f, const Number& n, const FrameInfo& info) {
          if (f == nullptr) return;
          const auto number = n.as_integer();
          const int index = index_of(*f);
          // Right after a re-open the number is 0 while the previous run's last frame
          // is still shown.
          if (number != index && number != index + 1 && number != 0) ++bad;
          const auto published = info.number.as_integer();
          if (published != index && published != index + 1) ++bad;
          if (info.position_msec != index * FakeSource::kFrameMsec) ++bad;
        });
      }
    });
  }
  threads.emplace_back([&] {
    int target = 0;
    while (!stop) {
      if (rig.capture->seek(Number::integer(target % 40))) ++seeks;
      target += 7;
      std::this_thread::sleep_for(1ms);
    }
  });
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (auto& t : threads) t.join();
  rig.capture->stop(*rig.threads);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(seeks.load(), 10);
}

TEST(CaptureSeek, PublishesTheTargetAndTheWorkerContinuesFromIt) {
  Script s;
  s.frame_count = Number::real(300);
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  rig.capture->pause();
  std::this_thread::sleep_for(30ms);
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.capture->seek(Number::integer(120)));
  const auto after = std::chrono::steady_clock::now();
  EXPECT_TRUE(rig.logger->has("info", "已跳转到帧 120"));
  rig.capture->with_frame([&](const Frame* f, const Number& n, const FrameInfo& info) {
    EXPECT_EQ(index_of(*f), 120);
    EXPECT_EQ(n, Number::integer(120));
    EXPECT_EQ(info.number, Number::integer(120));
    EXPECT_EQ(info.position_msec, 120 * FakeSource::kFrameMsec);
    EXPECT_TRUE(before <= info.published && info.published <= after);
  });
  rig.capture->frame_ready().clear();
  rig.capture->resume();
  rig.capture->wait_for_new_frame(1s);
  rig.capture->with_frame([](const Frame* f, const Number& n) {
    EXPECT_EQ(index_of(*f), 121);
    EXPECT_EQ(n, Number::integer(121));
  });
}

TEST(CaptureSeek, RefusesOutOfRangeAndWhenNotRunning) {
  Script s;
  s.frame_count = Number::real(300);
  Rig rig({s});
  EXPECT_FALSE(rig.capture->seek(Number::integer(5)));
  EXPECT_TRUE(rig.logger->has("error", "视频未运行，无法跳转"));
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  EXPECT_FALSE(rig.capture->seek(Number::integer(300)));
  EXPECT_TRUE(rig.logger->has("error", "帧号 300 超出范围 [0, 299]"));
  EXPECT_FALSE(rig.capture->seek(Number::integer(-1)));
  EXPECT_TRUE(rig.logger->has("error", "帧号 -1 超出范围 [0, 299]"));
  EXPECT_TRUE(rig.capture->seek(Number::real(10.5)));
  EXPECT_TRUE(rig.logger->has("info", "已跳转到帧 10.5"));
}

TEST(CaptureFrameInfo, KeepsThePublishedNumberAndTimeWhileTheCountMovesOn) {
  Rig rig({Script{}});
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.capture->current_frame_number().as_integer() >= 3; }));
  rig.capture->pause();
  std::this_thread::sleep_for(30ms);
  FrameInfo published;
  rig.capture->with_frame([&](const Frame* f, const Number& n, const FrameInfo& info) {
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.number, n);
    EXPECT_EQ(info.position_msec, index_of(*f) * FakeSource::kFrameMsec);
    EXPECT_TRUE(started <= info.published && info.published <= std::chrono::steady_clock::now());
    published = info;
  });
  // A count set from outside is where the next frame counts on from, not this frame's.
  rig.capture->set_current_frame_number(Number::integer(99));
  rig.capture->with_frame([&](const Frame*, const Number& n, const FrameInfo& info) {
    EXPECT_EQ(n, Number::integer(99));
    EXPECT_EQ(info.number, published.number);
    EXPECT_EQ(info.published, published.published);
  });
  // A frame stored from outside is stamped when stored, with the count, at no position.
  const auto stored = std::chrono::steady_clock::now();
  rig.capture->set_frame(Frame{cv::Mat(1, 1, CV_32S, cv::Scalar(7)), nullptr});
  rig.capture->with_frame([&](const Frame*, const Number&, const FrameInfo& info) {
    EXPECT_EQ(info.number, Number::integer(99));
    EXPECT_FALSE(info.position_msec.has_value());
    EXPECT_GE(info.published, stored);
  });
}

}  // namespace
// No line is written while the capture holds lock_ or a source: seek's line comes after
// both, and a line produced inside a read (a source that pauses its capture) waits until
// the read has let go of the source.
TEST(CaptureLog, LinesAreWrittenOnlyOnceTheLockAndTheSourceAreLetGo) {
  Script s;
  s.frame_count = Number::real(300);
  std::atomic<int> reads{0};
  std::atomic<Capture*> capture{nullptr};
  s.on_read = [&] {
    if (++reads == 3) capture.load()->pause();
  };
  Rig rig({s});
  capture = rig.raw;
  std::mutex m;
  std::vector<std::string> written_under_a_lock;
  rig.logger->on_line = [&](const std::string& text) {
    const bool lock_free = rig.capture->lock().try_acquire();
    if (lock_free) rig.capture->lock().release();
    bool source_free = true;
    if (auto src = rig.capture->source()) {
      SourceHandle::Session session(*src, std::try_to_lock);
      source_free = session.owns();
    }
    std::lock_guard<std::mutex> g(m);
    if (!lock_free || !source_free) written_under_a_lock.push_back(text);
  };
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.logger->has("info", "视频捕获已暂停"); }));
  ASSERT_TRUE(rig.capture->seek(Number::integer(120)));
  EXPECT_TRUE(rig.logger->has("info", "已跳转到帧 120"));
  std::lock_guard<std::mutex> g(m);
  EXPECT_TRUE(written_under_a_lock.empty()) << written_under_a_lock.front();
}

}  // namespace corvane::video::testing
