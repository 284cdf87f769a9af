// Start and stop: opening, the information line, failures, and concurrent callers.
#include <gtest/gtest.h>

#include "fakes.hpp"

namespace corvane::video::testing {
namespace {

using namespace std::chrono_literals;

TEST(CaptureStart, ReadsPropertiesLogsInfoAndLaunchesOneWorker) {
  Script s;
  s.fps = Number::real(25.0);
  s.frame_count = Number::real(250.0);
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  const auto p = rig.capture->properties();
  EXPECT_EQ(p.frame_count, Number::integer(250));
  EXPECT_EQ(p.fps, Number::real(25.0));
  EXPECT_EQ(p.duration, Number::real(10.0));
  EXPECT_TRUE(
      rig.logger->has("info", "视频信息: 分辨率=640x480, 帧率=25.00fps, 总帧数=250, 时长=10.00秒"));
  EXPECT_TRUE(rig.capture->start(*rig.threads));
  EXPECT_TRUE(rig.logger->has("warning", "视频捕获已经在运行中"));
  EXPECT_EQ(rig.threads->launches(), 1);
  EXPECT_EQ(rig.opener->opens(), 1);
}

TEST(CaptureStart, ZeroRateGivesIntegerZeroDuration) {
  Script s;
  s.fps = Number::real(0.0);
  s.frame_count = Number::real(299.99);
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  EXPECT_EQ(rig.capture->properties().duration, Number::integer(0));
  EXPECT_EQ(rig.capture->properties().frame_count, Number::integer(299));
  EXPECT_TRUE(
      rig.logger->has("info", "视频信息: 分辨率=640x480, 帧率=0.00fps, 总帧数=299, 时长=0.00秒"));
}

TEST(CaptureStart, UnopenedSourceIsLoggedAndKeptUntilStop) {
  Script s;
  s.opens = false;
  Rig rig({s});
  EXPECT_FALSE(rig.capture->start(*rig.threads));
  EXPECT_TRUE(rig.logger->has("error", "无法打开视频: clip.mkv"));
  EXPECT_FALSE(rig.capture->running());
  EXPECT_NE(rig.capture->source(), nullptr);
  EXPECT_EQ(rig.threads->launches(), 0);
  rig.capture->stop(*rig.threads);
  EXPECT_EQ(rig.capture->source(), nullptr);
  EXPECT_EQ(rig.opener->releases(), 1);
}

TEST(CaptureStart, BadPropertyIsCaughtLoggedAndReleasesSource) {
  Script s;
  s.frame_count = Number::real(std::numeric_limits<double>::quiet_NaN());
  Rig rig({s});
  EXPECT_FALSE(rig.capture->start(*rig.threads));
  EXPECT_TRUE(
      rig.logger->has("error", "启动视频捕获时发生错误: NaN has no integer value"));
  EXPECT_EQ(rig.capture->source(), nullptr);
  EXPECT_EQ(rig.opener->releases(), 1);
}

TEST(CaptureStart, FailedLaunchLeavesCaptureStoppedAndStartableAgain) {
  Rig rig({Script{}});
  rig.threads->fail_launch = true;
  EXPECT_FALSE(rig.capture->start(*rig.threads));
  EXPECT_FALSE(rig.capture->running());
  EXPECT_TRUE(rig.logger->has("error", "启动视频捕获时发生错误: can't start new thread"));
  EXPECT_EQ(rig.capture->source(), nullptr);
  rig.threads->fail_launch = false;
  EXPECT_TRUE(rig.capture->start(*rig.threads));
  EXPECT_TRUE(eventually([&] { return rig.capture->frame().has_value(); }));
  rig.capture->stop(*rig.threads);
}

TEST(CaptureStart, ConcurrentStartsLaunchOneWorker) {
  Rig rig({Script{}});
  std::vector<std::thread> callers;
  std::atomic<int> successes{0};
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&] { successes += rig.capture->start(*rig.threads) ? 1 : 0; });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(successes.load(), 8);
  EXPECT_EQ(rig.threads->launches(), 1);
  EXPECT_EQ(rig.opener->opens(), 1);
}

TEST(CaptureStop, DoesNotReleaseUnderAHungReadAndReturnsInAboutOneSecond) {
  std::promise<void> unblock;
  auto unblocked = unblock.get_future().share();
  std::atomic<bool> in_read{false};
  Script s;
  s.on_read = [&] {
    in_read = true;
    unblocked.wait();
  };
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return in_read.load(); }));
  const auto t0 = std::chrono::steady_clock::now();
  rig.capture->stop(*rig.threads);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 2500ms);
  EXPECT_EQ(rig.opener->releases(), 0) << "released while a read was still running";
  unblock.set_value();
  EXPECT_TRUE(eventually([&] { return rig.opener->releases() == 1; }));
}

// A source below one frame a second: stop cuts the worker's pacing wait short, the pass
// reads and publishes its frame, and the worker has ended, silent, when stop returns.
TEST(CaptureStop, CutsAPacingWaitShortAndTheStoppedRunLogsNothing) {
  Script s;
  s.fps = Number::real(0.25);
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.capture->current_frame_number() == Number::integer(1); }));
  std::this_thread::sleep_for(100ms);
  const size_t lines = rig.logger->lines().size();
  const auto t0 = std::chrono::steady_clock::now();
  rig.capture->stop(*rig.threads);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  EXPECT_TRUE(rig.threads->all_ended());
  EXPECT_EQ(rig.capture->current_frame_number(), Number::integer(2));
  EXPECT_EQ(rig.logger->lines().size(), lines);
  EXPECT_EQ(rig.opener->releases(), 1);
}

TEST(CaptureStop, BeforeStartAndTwiceDoesNothingHarmful) {
  Rig rig({Script{}});
  rig.capture->stop(*rig.threads);
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  rig.capture->stop(*rig.threads);
  rig.capture->stop(*rig.threads);
  EXPECT_FALSE(rig.capture->running());
  EXPECT_EQ(rig.opener->releases(), 1);
}

TEST(CaptureStop, CalledBackFromInsideStartEndsThatStartWithNothingLeftOpen) {
  Script s;
  Capture* capture = nullptr;
  StdThreads* threads = nullptr;
  int stops = 0;
  s.on_get = [&] {
    if (stops++ == 0) capture->stop(*threads);  // on start's own thread: must not wait for it
  };
  Rig rig({s});
  capture = rig.capture.get();
  threads = rig.threads.get();
  EXPECT_FALSE(rig.capture->start(*rig.threads));
  EXPECT_FALSE(rig.capture->running());
  EXPECT_EQ(rig.opener->releases(), 1);
  EXPECT_EQ(rig.capture->source(), nullptr);
  EXPECT_EQ(rig.threads->launches(), 0);
  EXPECT_TRUE(rig.capture->start(*rig.threads));  // the next start is an ordinary one
}

TEST(CaptureStop, CalledFromInsideTheWorkersReadReleasesAsTheReadReturns) {
  Script s;
  Capture* capture = nullptr;
  StdThreads* threads = nullptr;
  std::atomic<int> reads{0};
  s.on_read = [&] {
    if (reads++ == 2) capture->stop(*threads);
  };
  Rig rig({s});
  capture = rig.capture.get();
  threads = rig.threads.get();
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  EXPECT_TRUE(eventually([&] { return rig.threads->all_ended(); }));
  EXPECT_FALSE(rig.capture->running());
  EXPECT_EQ(rig.opener->releases(), 1);
}

TEST(CaptureStop, ReopenThatOutlastsStopReleasesWhatItOpened) {
  Script first;
  first.frames = 1;
  Script slow;
  slow.open_time = 1500ms;
  Rig rig({first, slow});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.opener->opens() == 2; }));  // re-opening
  rig.capture->stop(*rig.threads);
  EXPECT_TRUE(eventually([&] { return rig.threads->all_ended(); }));
  EXPECT_EQ(rig.capture->source(), nullptr);
  EXPECT_EQ(rig.opener->releases(), 3);  // the first by the re-open and by stop, the second
}

}  // namespace
}  // namespace corvane::video::testing
