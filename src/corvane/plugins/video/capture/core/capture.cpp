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

// Thrown inside start when a stop called back from one of its calls; caught there.
struct Abandoned {};

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

// The turn of one start or stop. A thread whose turn it is already (a start or stop called
// back from a host callback inside the step) does not wait for itself: the turn is then
// `reentered` and the call does only what it can without waiting.
class Capture::Turn {
 public:
  Turn(Capture& capture, Interruption* interruption)
      : capture_(capture), reentered_(capture.lifecycle_turn_.held_by_this_thread()) {
    if (reentered_) return;
    capture_.lifecycle_turn_.acquire(interruption);
    begin();
  }
  // Takes the turn only if nobody else has it; see taken().
  Turn(Capture& capture, std::try_to_lock_t)
      : capture_(capture), reentered_(capture.lifecycle_turn_.held_by_this_thread()) {
    if (reentered_) return;
    if (capture_.lifecycle_turn_.try_acquire()) begin();
  }
  ~Turn() {
    if (owned_) capture_.lifecycle_turn_.release();
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  bool reentered() const { return reentered_; }
  bool taken() const { return reentered_ || owned_; }

 private:
  void begin() {
    owned_ = true;
    capture_.stopped_in_turn_.store(false);
  }

  Capture& capture_;
  const bool reentered_;
  bool owned_ = false;
};

bool Capture::start(WorkerThreads& threads, Interruption* interruption) {
  Turn turn(*this, interruption);
  // Called back from inside a start or stop of this thread: that step is not finished,
  // and this one cannot wait for it.
  if (turn.reentered()) return false;
  if (running()) {
    logger_->warning("视频捕获已经在运行中");
    return true;
  }
  // Every call below may run host code that stops the capture on this thread: after
  // each, a stop that came meanwhile ends the start with nothing left open.
  std::shared_ptr<SourceHandle> opened;
  const auto stopped = [this] { return stopped_in_turn_.load(); };
  try {
    // The new run begins before its source exists: a worker of an earlier run that is
    // still finishing a call now finds itself superseded and installs nothing.
    std::uint64_t run;
    {
      std::lock_guard<std::mutex> g(run_mutex_);
      run = (run_state_.load() >> 1) + 1;
      run_state_.store(run << 1);
    }
    opened = opener_->open(video_path());
    set_source(opened);
    if (stopped()) return abandon_start(opened);
    const bool is_opened = require_source("isOpened")->is_opened();
    if (stopped()) return abandon_start(opened);
    if (!is_opened) {
      logger_->error("无法打开视频: " + video_path());
      return false;
    }
    // Each property is stored as soon as it is known, the rate as the source reports it.
    const auto get = [&](int property) {
      Number value = require_source("get")->get(property);
      if (stopped()) throw Abandoned();
      return value;
    };
    VideoProperties p = properties();
    p.frame_count = get(cv::CAP_PROP_FRAME_COUNT).truncate();
    set_properties(p);
    p.fps = get(cv::CAP_PROP_FPS);
    set_properties(p);
    p.width = get(cv::CAP_PROP_FRAME_WIDTH).truncate();
    set_properties(p);
    p.height = get(cv::CAP_PROP_FRAME_HEIGHT).truncate();
    set_properties(p);
    p.duration = p.fps.is_positive()
                     ? Number::real(p.frame_count.to_double() / p.fps.to_double())
                     : Number::integer(0);
    set_properties(p);
    logger_->info(info_line(p, *logger_));
    if (stopped()) return abandon_start(opened);

    run_state_.fetch_or(kRunningBit);
    threads.launch(run);
    worker_launched_ = true;
    if (stopped()) {
      // Stopped while the worker was being launched: the stop ended the run and released
      // the source; what it left out is the wait for the worker.
      threads.join(std::chrono::duration<double>(kJoinTimeoutSeconds));
      return abandon_start(opened);
    }
    return true;
  } catch (const Abandoned&) {
    return abandon_start(opened);
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

bool Capture::abandon_start(const std::shared_ptr<SourceHandle>& opened) {
  if (opened && source() == opened) release_source();
  return false;
}

void Capture::stop(WorkerThreads& threads, Interruption* interruption) {
  Turn turn(*this, interruption);
  stop_in_turn(turn, threads);
}

bool Capture::stop_without_waiting_for_a_turn(WorkerThreads& threads) {
  Turn turn(*this, std::try_to_lock);
  if (!turn.taken()) return false;
  stop_in_turn(turn, threads);
  return true;
}

void Capture::stop_in_turn(Turn& turn, WorkerThreads& threads) {
  end_run();
  if (turn.reentered()) {
    // Called back from inside a start or stop of this thread, which is waiting for
    // nothing but this call: waiting here would wait for itself.
    stopped_in_turn_.store(true);
    release_source();
    return;
  }
  if (worker_launched_) {
    try {
      threads.join(std::chrono::duration<double>(kJoinTimeoutSeconds));
    } catch (const Interrupt&) {
      // Interrupted while waiting for the worker: the run has ended, and the source
      // goes all the same.
      release_source();
      throw;
    }
  }
  release_source();
}

void Capture::end_run() {
  {
    std::lock_guard<std::mutex> g(run_mutex_);
    run_state_.fetch_and(~kRunningBit);
  }
  wake_waiters();
}

void Capture::release_source() {
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
  // However the worker ends (an interrupt or exit request raised by a host source or
  // logger included), its run is no longer running: nothing reads any more.
  struct EndOfRun {
    Capture& capture;
    std::uint64_t run;
    ~EndOfRun() { capture.give_up(run); }
  } end_of_run{*this, run};
  run_passes(run);
}

void Capture::run_passes(const std::uint64_t run) {
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
    std::optional<double> position;
    {
      SourceHandle::Session session(*src);
      {
        std::lock_guard<std::mutex> g(state_mutex_);
        seeks_before_read = seek_generation_;
      }
      timing.read_started = Clock::now();
      ok = session.source().read(frame);
      timing.read_finished = Clock::now();
      if (ok) position = session.source().position_msec();
    }
    // Back after a read that outlived its run: a later run is none of this worker's
    // business.
    if (superseded(run)) return Pass::kEnd;
    if (ok) {
      Frame previous;
      FrameInfo previous_info;
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
        previous_info = std::exchange(
            frame_info_, FrameInfo{current_frame_number_, *last_frame_time, position});
        timing.published = *last_frame_time;
        if (timings_.size() < kTimingHistory) {
          timings_.push_back(timing);
        } else {
          timings_[timings_next_] = timing;
        }
        timings_next_ = (timings_next_ + 1) % kTimingHistory;
        frame_ready_.set(wakeup);
      }
      // `previous` and `previous_info` are dropped here, outside the locks: a host frame or
      // number may need the host.
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
  // A run that was stopped opens nothing more: stop releases the source.
  std::shared_ptr<SourceHandle> old;
  if (!if_running(run, [&] { old = source(); })) return Pass::kEnd;
  require_source(old, "release")->release();
  if (!still_running(run)) return Pass::kEnd;
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
  bool installed;
  {
    // The new source and the restart of the count go in together under the lock, so a
    // seek either finishes on the old source before them or works on the new one.
    LockGuard guard(lock_);
    installed = if_running(run, [&] {
      replaced = replace_source(fresh);
      if (opened) {
        std::lock_guard<std::mutex> g(state_mutex_);
        std::swap(current_frame_number_, count);
      }
    });
  }
  if (!installed) {
    // Stopped (or started anew) while opening, which may outlast stop's wait: the source
    // opened here belongs to no run, and nobody else would release it.
    fresh->release();
    return Pass::kEnd;
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
    LockGuard guard(lock_, std::defer_lock);
    std::optional<SourceHandle::Session> session;
    for (;;) {
      // A seek from inside the set or read of a seek in progress on this thread would
      // wait for the lock it holds itself: refuse it before taking the lock.
      if (auto current = source(); current && current->busy_on_this_thread()) {
        throw VideoError("seek called from inside a call on the source");
      }
      if (lock_.held_by_this_thread()) throw VideoError("seek called while holding the lock");
      guard.acquire(interruption);
      // Under the lock the source cannot be swapped by a re-open; use the current one.
      src = require_source("set");
      if (src->busy_on_this_thread()) {
        throw VideoError("seek called from inside a call on the source");
      }
      session.emplace(*src, std::try_to_lock);
      if (session->owns()) break;
      session.reset();
      guard.release();
      src->wait_until_idle();
    }
    session->source().set(cv::CAP_PROP_POS_FRAMES, frame_number);
    Frame frame;
    if (session->source().read(frame)) {
      const std::optional<double> position = session->source().position_msec();
      Number replaced = frame_number;
      FrameInfo replaced_info;
      {
        std::lock_guard<std::mutex> g(state_mutex_);
        if (frame_) previous = std::move(*frame_);
        frame_ = std::move(frame);
        replaced_info =
            std::exchange(frame_info_, FrameInfo{frame_number, Clock::now(), position});
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
