// Capture: lifecycle, worker loop, playback control and frame state.
#include "capture.hpp"

#include <cmath>
#include <opencv2/videoio.hpp>

#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <thread>
#include <utility>

#include "errors.hpp"

namespace corvane::video {

namespace {

std::string info_line(const VideoProperties& p) {
  return "视频信息: 分辨率=" + std::to_string(p.width) + "x" + std::to_string(p.height) +
         ", 帧率=" + p.fps.fixed2() + "fps, 总帧数=" + std::to_string(p.frame_count) +
         ", 时长=" + p.duration.fixed2() + "秒";
}

}  // namespace

Capture::Capture(std::string video_path, bool auto_reload, std::shared_ptr<SourceOpener> opener,
                 std::shared_ptr<Logger> logger)
    : video_path_(std::move(video_path)),
      auto_reload_(auto_reload),
      opener_(std::move(opener)),
      logger_(std::move(logger)) {}

// ---------------------------------------------------------------------------
// Lifecycle

bool Capture::start(WorkerThreads& threads) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (running()) {
    logger_->warning("视频捕获已经在运行中");
    return true;
  }
  try {
    set_source(opener_->open(video_path_));
    if (!require_source("isOpened")->is_opened()) {
      logger_->error("无法打开视频: " + video_path_);
      return false;
    }
    // Each property is stored as soon as it is known, the rate as the source reports it.
    VideoProperties p = properties();
    p.frame_count = require_source("get")->get(cv::CAP_PROP_FRAME_COUNT).truncate();
    set_properties(p);
    p.fps = require_source("get")->get(cv::CAP_PROP_FPS);
    set_properties(p);
    p.width = require_source("get")->get(cv::CAP_PROP_FRAME_WIDTH).truncate();
    set_properties(p);
    p.height = require_source("get")->get(cv::CAP_PROP_FRAME_HEIGHT).truncate();
    set_properties(p);
    p.duration = p.fps.is_positive()
                     ? Number::real(static_cast<double>(p.frame_count) / p.fps.to_double())
                     : Number::integer(0);
    set_properties(p);
    logger_->info(info_line(p));

    // A new run: workers of earlier runs that are still finishing a call end when they
    // get control back instead of joining this run.
    const std::uint64_t next_run = (run_state_.load() >> 1) + 1;
    run_state_.store(next_run << 1 | kRunningBit);
    threads.launch();
    worker_launched_ = true;
    return true;
  } catch (const std::exception& e) {
    // A worker that could not be launched must not leave the capture looking alive:
    // a later start would only warn, and a later stop would wait for nothing.
    set_running(false);
    logger_->error(std::string("启动视频捕获时发生错误: ") + e.what());
    if (auto src = source()) {
      src->release();
      if (source() == src) set_source(nullptr);
    }
    return false;
  }
}

void Capture::stop(WorkerThreads& threads) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  set_running(false);
  if (worker_launched_) threads.join(std::chrono::duration<double>(kJoinTimeoutSeconds));
  if (auto src = source()) {
    src->release();
    if (source() == src) set_source(nullptr);
  }
}

void Capture::shut_down() {
  {
    std::lock_guard<std::mutex> g(wake_mutex_);
    shutting_down_ = true;
  }
  set_running(false);
  wake_.notify_all();
}

void Capture::set_running(bool v) {
  if (v) {
    run_state_.fetch_or(kRunningBit);
  } else {
    run_state_.fetch_and(~kRunningBit);
  }
  wake_waiters();
}

void Capture::wake_waiters() {
  // Taking the mutex orders the change before a waiter's predicate check: no lost wake-up.
  { std::lock_guard<std::mutex> g(wake_mutex_); }
  wake_.notify_all();
}

bool Capture::still_running(std::uint64_t run) const {
  return run_state_.load() == (run << 1 | kRunningBit);
}

void Capture::give_up(std::uint64_t run) {
  std::uint64_t expected = run << 1 | kRunningBit;
  run_state_.compare_exchange_strong(expected, run << 1);
}

bool Capture::sleep_until(Clock::time_point deadline) {
  std::unique_lock<std::mutex> g(wake_mutex_);
  return !wake_.wait_until(g, deadline, [this] { return shutting_down_; });
}

// ---------------------------------------------------------------------------
// Worker loop

void Capture::run_loop() {
#ifdef __linux__
  // Wake from the pacing wait on time: the default slack (50 us) would add to every
  // frame's spacing and, at high rates, cost a noticeable share of the throughput.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
  const std::uint64_t run = run_state_.load() >> 1;
  std::optional<Clock::time_point> last_frame_time;  // none: the first pass never waits
  const Number fps = properties().fps;
  const double interval = fps.is_positive() ? 1.0 / fps.to_double() : kDefaultFrameInterval;
  const auto frame_interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));

  for (;;) {
    if (!still_running(run)) return;
    if (paused()) {
      // Woken early by resume, stop or shut_down; otherwise look again after 0.1 s.
      std::unique_lock<std::mutex> g(wake_mutex_);
      wake_.wait_for(g, std::chrono::duration<double>(kPausePollSeconds),
                     [&] { return shutting_down_ || !paused() || !still_running(run); });
      continue;
    }
    // A live source is read back to back: it sets the pace itself, and a wait would turn
    // every backlog (buffered while opening, during a pause) into a lasting delay.
    if (last_frame_time && !source_is_live() && Clock::now() < *last_frame_time + frame_interval) {
      // The stop flag is not looked at again before the read: a stop during this wait
      // lets the pass finish. Only process exit cuts it short.
      if (!sleep_until(*last_frame_time + frame_interval)) return;
    }
    if (read_and_publish(run, last_frame_time) == Pass::kEnd) return;
  }
}

Capture::Pass Capture::read_and_publish(std::uint64_t run,
                                        std::optional<Clock::time_point>& last_frame_time) {
  try {
    auto src = require_source("read");
    Frame frame;
    bool ok;
    std::uint64_t seeks_before_read;
    PublicationTiming timing;
    {
      SourceHandle::Session session(*src);
      {
        std::lock_guard<std::mutex> g(state_mutex_);
        seeks_before_read = seek_generation_;
      }
      timing.read_started = Clock::now();
      ok = session.source().read(frame);
      timing.read_finished = Clock::now();
    }
    if (ok) {
      Frame previous;
      {
        LockGuard guard(lock_);
        std::lock_guard<std::mutex> g(state_mutex_);
        // A seek that published since this read began has moved the source: this frame
        // belongs to the old position and would pair with the wrong number. A frame of
        // a run that a later start has replaced belongs to nobody.
        if (seek_generation_ != seeks_before_read || (run_state_.load() >> 1) != run) {
          return Pass::kContinue;
        }
        if (frame_) previous = std::move(*frame_);
        frame_ = std::move(frame);
        current_frame_number_ = current_frame_number_.plus_one();
        last_frame_time = Clock::now();
        timing.published = *last_frame_time;
        if (timings_.size() < kTimingHistory) {
          timings_.push_back(timing);
        } else {
          timings_[timings_next_] = timing;
        }
        timings_next_ = (timings_next_ + 1) % kTimingHistory;
        frame_ready_.set();
      }
      // `previous` is dropped here, outside the locks: a host frame may need the host.
      return Pass::kContinue;
    }
    logger_->warning("视频读取结束或出错");
    if (!auto_reload()) {
      give_up(run);
      return Pass::kEnd;
    }
    logger_->info("正在重新加载视频: " + video_path_ + "...");
    return reopen(run);
  } catch (const std::exception& e) {
    logger_->error(std::string("视频捕获过程中发生错误: ") + e.what());
    if (!auto_reload()) {
      give_up(run);
      return Pass::kEnd;
    }
    logger_->info("发生错误，正在重新加载视频: " + video_path_ + "...");
    try {
      return reopen(run);
    } catch (const std::exception& e2) {
      logger_->error(std::string("重新加载视频时发生错误: ") + e2.what());
      give_up(run);
      return Pass::kEnd;
    }
  }
}

Capture::Pass Capture::reopen(std::uint64_t run) {
  require_source("release")->release();
  std::shared_ptr<SourceHandle> fresh = opener_->open(video_path_);
  if (!fresh) {
    // The host's factory gave no object: the new "source" is nothing at all.
    LockGuard guard(lock_);
    set_source(nullptr);
    throw VideoError("'NoneType' object has no attribute 'isOpened'");
  }
  const bool opened = fresh->is_opened();
  {
    // The new source and the restart of the count go in together under the lock, so a
    // seek either finishes on the old source before them or works on the new one.
    LockGuard guard(lock_);
    set_source(fresh);
    if (opened) set_current_frame_number(Number::integer(0));
  }
  if (!opened) {
    logger_->error("视频重新加载失败: " + video_path_);
    give_up(run);
    return Pass::kEnd;
  }
  return Pass::kContinue;
}

// ---------------------------------------------------------------------------
// Playback control

void Capture::pause() {
  if (running() && !paused()) {
    set_paused(true);
    logger_->info("视频捕获已暂停");
  }
}

void Capture::resume() {
  if (running() && paused()) {
    set_paused(false);
    logger_->info("视频捕获已恢复");
  }
}

void Capture::set_paused(bool v) {
  paused_.store(v);
  wake_waiters();
}

bool Capture::ready_to_seek() {
  if (source() && running()) return true;
  logger_->error("视频未运行，无法跳转");
  return false;
}

bool Capture::seek(const Number& frame_number, const std::string& label) {
  const std::string text = label.empty() ? frame_number.text() : label;
  auto src = source();
  if (!src || !running()) {
    logger_->error("视频未运行，无法跳转");
    return false;
  }
  const std::int64_t frame_count = properties().frame_count;
  if (frame_number.less_than(0) || !frame_number.less_than(frame_count)) {
    logger_->error("帧号 " + text + " 超出范围 [0, " +
                   std::to_string(frame_count - 1) + "]");
    return false;
  }
  try {
    Frame previous;
    // The lock first, then the source, taken only when it is free: waiting for the source
    // (a read of the worker that hangs on a dead stream) while holding the lock would hold
    // up every reader. So the seek waits for the source with the lock given back.
    std::optional<LockGuard> guard;
    std::optional<SourceHandle::Session> session;
    for (;;) {
      guard.emplace(lock_);
      // Under the lock the source cannot be swapped by a re-open; use the current one.
      src = require_source("set");
      if (src->busy_on_this_thread()) {
        throw VideoError("seek called from inside a call on the source");
      }
      session.emplace(*src, std::try_to_lock);
      if (session->owns()) break;
      session.reset();
      guard.reset();
      src->wait_until_idle();
    }
    session->source().set(cv::CAP_PROP_POS_FRAMES, frame_number);
    Frame frame;
    if (session->source().read(frame)) {
      {
        std::lock_guard<std::mutex> g(state_mutex_);
        if (frame_) previous = std::move(*frame_);
        frame_ = std::move(frame);
        current_frame_number_ = frame_number;
        ++seek_generation_;
      }
      logger_->info("已跳转到帧 " + text);
      return true;
    }
    logger_->error("跳转到帧 " + text + " 失败");
    return false;
  } catch (const std::exception& e) {
    logger_->error(std::string("跳转帧时发生错误: ") + e.what());
    return false;
  }
}

// ---------------------------------------------------------------------------
// Frame access and state

void Capture::wait_for_new_frame(std::chrono::duration<double> timeout) {
  if (frame_ready_.wait_for(timeout)) frame_ready_.clear();
}

std::vector<PublicationTiming> Capture::recent_publications() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  if (timings_.size() < kTimingHistory) return timings_;
  std::vector<PublicationTiming> ordered(
      timings_.begin() + static_cast<std::ptrdiff_t>(timings_next_), timings_.end());
  ordered.insert(ordered.end(), timings_.begin(),
                 timings_.begin() + static_cast<std::ptrdiff_t>(timings_next_));
  return ordered;
}

VideoProperties Capture::properties() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  return properties_;
}

void Capture::set_properties(const VideoProperties& p) {
  std::lock_guard<std::mutex> g(state_mutex_);
  properties_ = p;
}

Number Capture::current_frame_number() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  return current_frame_number_;
}

void Capture::set_current_frame_number(const Number& n) {
  std::lock_guard<std::mutex> g(state_mutex_);
  current_frame_number_ = n;
}

std::optional<Frame> Capture::frame() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  return frame_;
}

void Capture::set_frame(std::optional<Frame> frame) {
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    std::swap(frame_, frame);
  }
  // The previous frame (now in `frame`) is dropped outside the mutex.
}

std::shared_ptr<SourceHandle> Capture::require_source(const char* method) const {
  auto src = source();
  // The same text as calling a method on "no object" in the host language.
  if (!src) throw VideoError(std::string("'NoneType' object has no attribute '") + method + "'");
  return src;
}

bool Capture::source_is_live() const {
  const auto src = source();
  return src && src->is_live();
}

std::shared_ptr<SourceHandle> Capture::source() const {
  std::lock_guard<std::mutex> g(source_mutex_);
  return source_;
}

void Capture::set_source(std::shared_ptr<SourceHandle> source) {
  {
    std::lock_guard<std::mutex> g(source_mutex_);
    std::swap(source_, source);
  }
  // The previous handle (now in `source`) is dropped outside the mutex.
}

}  // namespace corvane::video
