// The worker loop: numbering, pacing, end of stream, re-opening and errors of a pass.
#include <gtest/gtest.h>

#include <cmath>
#include <future>

#include "fakes.hpp"

namespace corvane::video::testing {
namespace {

using namespace std::chrono_literals;

TEST(CaptureWorker, NumbersFramesFromOneAndPublishesEveryFrameOnce) {
  Rig rig({Script{}});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.capture->current_frame_number().as_integer() >= 10; }));
  rig.capture->stop(*rig.threads);
  const auto frame = rig.capture->frame();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(index_of(*frame) + 1, rig.capture->current_frame_number().as_integer());
}

// Spacing of reads for a reported rate: the interval plus the read's own time.
class CapturePacing : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(CapturePacing, SpacesReadsByTheFrameInterval) {
  const auto [fps, expected_interval] = GetParam();
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> reads;
  Script s;
  s.fps = Number::real(fps);
  s.on_read = [&] {
    std::lock_guard<std::mutex> g(mutex);
    reads.push_back(std::chrono::steady_clock::now());
  };
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.capture->current_frame_number().as_integer() >= 8; }));
  rig.capture->stop(*rig.threads);
  std::lock_guard<std::mutex> g(mutex);
  const double mean = std::chrono::duration<double>(reads[7] - reads[1]).count() /
                      6.0;  // skip the first, unpaced read
  EXPECT_GT(mean, expected_interval * 0.9);
  EXPECT_LT(mean, expected_interval * 1.6);
}

INSTANTIATE_TEST_SUITE_P(Rates, CapturePacing,
                         ::testing::Values(std::make_pair(25.0, 0.04), std::make_pair(0.0, 0.033),
                                           std::make_pair(-5.0, 0.033),
                                           std::make_pair(std::nan(""), 0.033)));

TEST(CaptureWorker, ReadsALiveSourceBackToBackWhateverRateItReports) {
  Script s;
  s.fps = Number::real(1.0);  // paced, 20 frames would take 20 s
  s.live = true;
  s.read_time = 2ms;
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  EXPECT_TRUE(eventually([&] { return rig.capture->current_frame_number().as_integer() >= 20; },
                         2000ms));
}

TEST(CaptureWorker, EndOfStreamWithoutReloadEndsTheRunAndKeepsTheLastFrame) {
  Script s;
  s.frames = 3;
  Rig rig({s}, /*auto_reload=*/false);
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return !rig.capture->running(); }));
  EXPECT_TRUE(rig.logger->has("warning", "视频读取结束或出错"));
  EXPECT_EQ(rig.capture->current_frame_number(), Number::integer(3));
  EXPECT_EQ(index_of(*rig.capture->frame()), 2);
  EXPECT_EQ(rig.opener->opens(), 1);
  EXPECT_NE(rig.capture->source(), nullptr) << "only stop releases the source";
}

TEST(CaptureWorker, EndOfStreamWithReloadReopensAndRenumbersFromOne) {
  Script s;
  s.frames = 3;
  Rig rig({s});
  std::vector<int> numbers;
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  while (numbers.size() < 7) {
    rig.capture->wait_for_new_frame(2s);
    rig.capture->with_frame([&](const Frame* f, const Number& n) {
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(index_of(*f) + 1, n.as_integer());
      numbers.push_back(static_cast<int>(n.as_integer()));
    });
  }
  rig.capture->stop(*rig.threads);
  EXPECT_TRUE(rig.logger->has("info", "正在重新加载视频: clip.mkv..."));
  EXPECT_GE(rig.opener->opens(), 3);
  EXPECT_NE(std::find(numbers.begin(), numbers.end(), 1), numbers.end());
}

TEST(CaptureWorker, FailedReopenEndsTheRunWithTheUnopenedSourceInPlace) {
  Script first;
  first.frames = 2;
  Script unopened;
  unopened.opens = false;
  Rig rig({first, unopened});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return !rig.capture->running(); }));
  EXPECT_TRUE(rig.logger->has("error", "视频重新加载失败: clip.mkv"));
  EXPECT_FALSE(rig.capture->source()->is_opened());
  EXPECT_EQ(rig.capture->current_frame_number(), Number::integer(2));
}

TEST(CaptureWorker, ErrorInAPassReopensWhenAutoReloadIsSet) {
  Script failing;
  failing.throw_at_read = 2;
  Rig rig({failing, Script{}});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] {
    return rig.opener->opens() == 2 && rig.capture->current_frame_number().as_integer() >= 3;
  }));
  EXPECT_TRUE(rig.logger->has("error", "视频捕获过程中发生错误: boom"));
  EXPECT_TRUE(rig.logger->has("info", "发生错误，正在重新加载视频: clip.mkv..."));
  EXPECT_TRUE(rig.capture->running());
}

TEST(CaptureWorker, ErrorInAPassEndsTheRunWithoutAutoReload) {
  Script failing;
  failing.throw_at_read = 0;
  Rig rig({failing}, /*auto_reload=*/false);
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return !rig.capture->running(); }));
  EXPECT_TRUE(rig.logger->has("error", "视频捕获过程中发生错误: boom"));
  EXPECT_EQ(rig.opener->opens(), 1);
  EXPECT_FALSE(rig.capture->frame().has_value());
}

TEST(CaptureWorker, ErrorDuringTheGuardedReopenEndsTheRun) {
  Script failing;
  failing.throw_at_read = 0;
  failing.on_read = nullptr;
  Rig rig({failing});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  rig.opener->throw_on_open = true;
  ASSERT_TRUE(eventually([&] { return !rig.capture->running(); }));
  EXPECT_TRUE(rig.logger->has("error", "重新加载视频时发生错误: cannot create"));
}

TEST(CaptureWorker, MissingSourceIsAnErrorOfThePass) {
  // A very slow source: stop gives up waiting while the worker sleeps, then the worker
  // finds no source when it wakes.
  Script slow;
  slow.fps = Number::real(0.6);
  Rig rig({slow});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.capture->frame().has_value(); }));
  rig.capture->set_source(nullptr);
  ASSERT_TRUE(eventually([&] { return !rig.capture->running(); }, 4000ms));
  EXPECT_TRUE(rig.logger->has("error",
                              "视频捕获过程中发生错误: no source for read"));
  EXPECT_TRUE(rig.logger->has(
      "error", "重新加载视频时发生错误: no source for release"));
}

// A read that outlives stop and a new start: whatever it brings back (a frame, end of
// stream, an error), the old worker leaves the new run alone.
enum class HungReadEnds { kWithAFrame, kTheStream, kWithAnError };
class CaptureOverlappingRuns : public ::testing::TestWithParam<HungReadEnds> {};

TEST_P(CaptureOverlappingRuns, OldWorkerReturnsWithoutActingInTheNewRun) {
  std::promise<void> unblock;
  auto unblocked = unblock.get_future().share();
  std::atomic<bool> in_read{false};
  Script hanging;
  if (GetParam() != HungReadEnds::kWithAFrame) hanging.frames = 0;
  if (GetParam() == HungReadEnds::kWithAnError) hanging.throw_at_read = 0;
  hanging.on_read = [&] {
    in_read = true;
    unblocked.wait();
  };
  Rig rig({hanging, Script{}});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return in_read.load(); }));
  rig.capture->stop(*rig.threads);
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  const auto lines_before = rig.logger->lines().size();
  unblock.set_value();
  ASSERT_TRUE(eventually([&] { return rig.opener->releases() == 1; }));  // stop's, deferred
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(rig.logger->lines().size(), lines_before);
  EXPECT_EQ(rig.opener->opens(), 2);
  EXPECT_EQ(rig.opener->releases(), 1);
  EXPECT_TRUE(rig.capture->running());
  EXPECT_GT(rig.capture->current_frame_number().as_integer(), 5);
}

INSTANTIATE_TEST_SUITE_P(FrameEndOrError, CaptureOverlappingRuns,
                         ::testing::Values(HungReadEnds::kWithAFrame, HungReadEnds::kTheStream,
                                           HungReadEnds::kWithAnError));

// Workers that the host starts only when it gets round to it.
class HeldThreads final : public WorkerThreads {
 public:
  void launch(std::uint64_t run) override { runs.push_back(run); }
  void join(std::chrono::duration<double>) override {}
  std::vector<std::uint64_t> runs;
};

TEST(CaptureWorker, LateWorkerRunsOnlyTheRunItWasLaunchedFor) {
  Rig rig({Script{}});
  HeldThreads held;
  ASSERT_TRUE(rig.capture->start(held));
  rig.capture->stop(held);
  ASSERT_TRUE(rig.capture->start(held));
  ASSERT_EQ(held.runs.size(), 2u);
  auto late = std::async(std::launch::async, [&] { rig.capture->run_loop(held.runs[0]); });
  EXPECT_EQ(late.wait_for(1s), std::future_status::ready) << "the late worker joined a later run";
  EXPECT_FALSE(rig.capture->frame().has_value());
  auto current = std::async(std::launch::async, [&] { rig.capture->run_loop(held.runs[1]); });
  EXPECT_TRUE(eventually([&] { return rig.capture->frame().has_value(); }));
  rig.capture->stop(held);
  EXPECT_EQ(current.wait_for(2s), std::future_status::ready);
}

// A rate so small that its interval overflows the clock: a wait that outlasts the run.
class CaptureTinyRate : public ::testing::TestWithParam<double> {};

TEST_P(CaptureTinyRate, WaitsUntilStopInsteadOfNotAtAll) {
  Script s;
  s.fps = Number::real(GetParam());
  Rig rig({s});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.capture->frame().has_value(); }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(rig.capture->current_frame_number(), Number::integer(1));
  rig.capture->stop(*rig.threads);
  EXPECT_TRUE(eventually([&] { return rig.threads->all_ended(); }, 1000ms));
}

INSTANTIATE_TEST_SUITE_P(Rates, CaptureTinyRate, ::testing::Values(1e-11, 1e-300));

TEST(CaptureWorker, PausedWorkerReadsNothingAndResumes) {
  Rig rig({Script{}});
  ASSERT_TRUE(rig.capture->start(*rig.threads));
  ASSERT_TRUE(eventually([&] { return rig.capture->frame().has_value(); }));
  rig.capture->pause();
  EXPECT_TRUE(rig.logger->has("info", "视频捕获已暂停"));
  std::this_thread::sleep_for(50ms);  // at most one more frame after pause
  const Number held = rig.capture->current_frame_number();
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(rig.capture->current_frame_number(), held);
  rig.capture->resume();
  EXPECT_TRUE(rig.logger->has("info", "视频捕获已恢复"));
  EXPECT_TRUE(eventually([&] { return !(rig.capture->current_frame_number() == held); }, 500ms));
}

}  // namespace
}  // namespace corvane::video::testing
