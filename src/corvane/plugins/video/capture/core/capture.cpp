// Capture: lifecycle, worker loop and playback control (state accessors: capture_state.cpp).
#include "capture.hpp"

#include <cmath>
#include <opencv2/videoio.hpp>

#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <thread>
#include <utility>

#include "errors.hpp"
#include "precise_wait.hpp"

namespace corvane::video {

namespace {

std::string info_line(const VideoProperties& p, Logger& log) {
  return "视频信息: 分辨率=" + log.text(p.width) + "x" + log.text(p.height) + ", 帧率=" +
         log.fixed2(p.fps) + "fps, 总帧数=" + log.text(p.frame_count) + ", 时长=" +
         log.fixed2(p.duration) + "秒";
}

}  // namespace

Capture::Capture(std::string video_path, bool auto_reload, std::shared_ptr<SourceOpener> opener,
                 std::shared_ptr<Logger> logger)
    : opener_(std::move(opener)), logger_(std::move(logger)), video_path_(std::move(video_path)) {
  set_auto_reload(auto_reload);
}

bool Capture::auto_reload() const {
  std::shared_ptr<const Truth> truth;
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    truth = auto_reload_;
  }
  return (*truth)();
}

void Capture::set_auto_reload(bool v) {
  set_auto_reload([v] { return v; });
}

void Capture::set_auto_reload(Truth truth) {
  auto next = std::make_shared<const Truth>(std::move(truth));
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    std::swap(auto_reload_, next);
  }
  // The test replaced (now in `next`) may hold a host value: dropped outside the mutex.
}

// ---------------------------------------------------------------------------
// Lifecycle

bool Capture::start(WorkerThreads& threads) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (running()) {
    logger_->warning("视频捕获已经在运行中");
    return true;
  }
  try {
    // The new run begins before its source exists: a worker of an earlier run that is
    // still finishing a call now finds itself superseded and installs nothing.
    std::uint64_t run;
    {
      std::lock_guard<std::mutex> g(run_mutex_);
      run = (run_state_.load() >> 1) + 1;
      run_state_.store(run << 1);
    }
    set_source(opener_->open(video_path()));
    if (!require_source("isOpened")->is_opened()) {
      logger_->error("无法打开视频: " + video_path());
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
                     ? Number::real(p.frame_count.to_double() / p.fps.to_double())
                     : Number::integer(0);
    set_properties(p);
    logger_->info(info_line(p, *logger_));

    run_state_.fetch_or(kRunningBit);
    threads.launch(run);
    worker_launched_ = true;
    return true;
  } catch (const std::exception& e) {
    // A worker that could not be launched must not leave the capture looking alive:
    // a later start would only warn, and a later stop would wait for nothing.
    set_running(false);
    logger_->error("启动视频捕获时发生错误: " + logger_->describe(e));
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
  return wait_precisely_until(deadline, wake_mutex_, wake_, [this] { return shutting_down_; });
}

void Capture::sleep_while_running(std::uint64_t run) {
  std::unique_lock<std::mutex> g(wake_mutex_);
  wake_.wait(g, [&] { return shutting_down_ || !still_running(run); });
}

// ---------------------------------------------------------------------------
// Worker loop

void Capture::run_loop(const std::uint64_t run) {
#ifdef __linux__
  // Wake from the pacing wait on time: the default slack (50 us) would add to every
  // frame's spacing and, at high rates, cost a noticeable share of the throughput.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
  std::optional<Clock::time_point> last_frame_time;  // none: the first pass never waits
  const Number fps = properties().fps;
  const double interval = fps.is_positive() ? 1.0 / fps.to_double() : kDefaultFrameInterval;
  // None: an interval too long for the clock, a wait that outlasts the run.
  std::optional<Clock::duration> frame_interval;
  if (interval <= kLongestFrameIntervalSeconds) {
    frame_interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
  }

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
    // every backlog (buffered while opening, during a pause) into a lasting delay. The
    // source is asked only when a wait is due.
    const bool wait_due = last_frame_time && (!frame_interval ||
                                              Clock::now() < *last_frame_time + *frame_interval);
    if (wait_due && !source_is_live()) {
      if (!frame_interval) {
        sleep_while_running(run);
        return;
      }
      // The stop flag is not looked at again before the read: a stop during this wait
      // lets the pass finish. Only process exit cuts it short, and a later start makes
      // the rest of the pass someone else's business.
      if (!sleep_until(*last_frame_time + *frame_interval) || superseded(run)) return;
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
    // Back after a read that outlived its run: a later run is none of this worker's
    // business.
    if (superseded(run)) return Pass::kEnd;
    if (ok) {
      Frame previous;
      Event::Wakeup wakeup(frame_ready_);  // after lock_ is let go: readers take it next
      {
        LockGuard guard(lock_);
        // Counting on from a host's number is the host's arithmetic: done before the
        // leaf mutexes are taken. `next` ends up with the value it replaced, dropped
        // after them.
        Number next = current_frame_number().plus_one();
        std::lock_guard<std::mutex> current(run_mutex_);
        if (superseded(run)) return Pass::kEnd;
        std::lock_guard<std::mutex> g(state_mutex_);
        // A seek that published since this read began has moved the source: this frame
        // belongs to the old position and would pair with the wrong number.
        if (seek_generation_ != seeks_before_read) return Pass::kContinue;
        if (frame_) previous = std::move(*frame_);
        frame_ = std::move(frame);
        std::swap(current_frame_number_, next);
        last_frame_time = Clock::now();
        timing.published = *last_frame_time;
        if (timings_.size() < kTimingHistory) {
          timings_.push_back(timing);
        } else {
          timings_[timings_next_] = timing;
        }
        timings_next_ = (timings_next_ + 1) % kTimingHistory;
        frame_ready_.set(wakeup);
      }
      // `previous` is dropped here, outside the locks: a host frame may need the host.
      return Pass::kContinue;
    }
    logger_->warning("视频读取结束或出错");
    if (!auto_reload()) {
      give_up(run);
      return Pass::kEnd;
    }
    logger_->info("正在重新加载视频: " + video_path() + "...");
    return reopen(run);
  } catch (const std::exception& e) {
    if (superseded(run)) return Pass::kEnd;
    logger_->error("视频捕获过程中发生错误: " + logger_->describe(e));
    if (!auto_reload()) {
      give_up(run);
      return Pass::kEnd;
    }
    logger_->info("发生错误，正在重新加载视频: " + video_path() + "...");
    try {
      return reopen(run);
    } catch (const std::exception& e2) {
      if (superseded(run)) return Pass::kEnd;
      logger_->error("重新加载视频时发生错误: " + logger_->describe(e2));
      give_up(run);
      return Pass::kEnd;
    }
  }
}

Capture::Pass Capture::reopen(std::uint64_t run) {
  // Every step that touches the capture's source checks the run first, atomically with
  // a new start: a source taken here belongs to this run, and nothing is installed in a
  // later one.
  std::shared_ptr<SourceHandle> old;
  if (!if_current(run, [&] { old = source(); })) return Pass::kEnd;
  require_source(old, "release")->release();
  if (superseded(run)) return Pass::kEnd;
  std::shared_ptr<SourceHandle> fresh = opener_->open(video_path());
  // What the steps below replace is dropped only once every lock is given back: a host's
  // source or number may need the host to go.
  std::shared_ptr<SourceHandle> replaced;
  Number count = Number::integer(0);
  if (!fresh) {
    // The host's factory gave no object: the new "source" is nothing at all.
    LockGuard guard(lock_);
    if (!if_current(run, [&] { replaced = replace_source(nullptr); })) return Pass::kEnd;
    throw MissingSource("isOpened");
  }
  const bool opened = fresh->is_opened();
  {
    // The new source and the restart of the count go in together under the lock, so a
    // seek either finishes on the old source before them or works on the new one.
    LockGuard guard(lock_);
    const bool current = if_current(run, [&] {
      replaced = replace_source(fresh);
      if (opened) {
        std::lock_guard<std::mutex> g(state_mutex_);
        std::swap(current_frame_number_, count);
      }
    });
    if (!current) return Pass::kEnd;
  }
  if (!opened) {
    logger_->error("视频重新加载失败: " + video_path());
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
  paused_writes_.fetch_add(1);
  wake_waiters();
}

bool Capture::seek(const Number& frame_number, Interruption* interruption) {
  auto src = source();
  if (!src || !running()) {
    logger_->error("视频未运行，无法跳转");
    return false;
  }
  const Number frame_count = properties().frame_count;
  if (frame_number.less_than(Number::integer(0)) || !frame_number.less_than(frame_count)) {
    logger_->error("帧号 " + logger_->text(frame_number) + " 超出范围 [0, " + logger_->text(frame_count.minus_one()) +
                   "]");
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
      // A seek from inside the set or read of a seek in progress on this thread would
      // wait for the lock it holds itself: refuse it before taking the lock.
      if (auto current = source(); current && current->busy_on_this_thread()) {
        throw VideoError("seek called from inside a call on the source");
      }
      guard.emplace(lock_, interruption);
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
      Number replaced = frame_number;
      {
        std::lock_guard<std::mutex> g(state_mutex_);
        if (frame_) previous = std::move(*frame_);
        frame_ = std::move(frame);
        std::swap(current_frame_number_, replaced);
        ++seek_generation_;
      }
      logger_->info("已跳转到帧 " + logger_->text(frame_number));
      return true;
    }
    logger_->error("跳转到帧 " + logger_->text(frame_number) + " 失败");
    return false;
  } catch (const std::exception& e) {
    logger_->error("跳转帧时发生错误: " + logger_->describe(e));
    return false;
  }
}

}  // namespace corvane::video
