// Capture's lifecycle: start, stop and the run they begin and end.
#include <opencv2/videoio.hpp>
#include <utility>
#include <vector>

#include "capture.hpp"
#include "errors.hpp"

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
  // Keeps a source the step let go of until the turn is let go: the last reference to a
  // host's source may run host code as it goes.
  void keep(std::shared_ptr<SourceHandle> source) {
    if (source) kept_.push_back(std::move(source));
  }

 private:
  void begin() {
    owned_ = true;
    capture_.stopped_in_turn_.store(false);
  }

  LogHold hold_;  // first in, last out: lines wait until the turn is let go
  std::vector<std::shared_ptr<SourceHandle>> kept_;  // dropped once the turn is let go
  Capture& capture_;
  const bool reentered_;
  bool owned_ = false;
};

bool Capture::start(WorkerThreads& threads, Interruption* interruption) {
  // The turn is let go before any line is written (see capture_log.hpp), and the worker
  // begins its first pass only once start's lines are written, so they come first.
  const Started started = start_in_turn(threads, interruption);
  switch (started.outcome) {
    case Started::kNothing:
      return false;
    case Started::kAlreadyRunning:
      log_.warning("视频捕获已经在运行中");
      return true;
    case Started::kNotOpened:
      log_.error("无法打开视频: " + video_path());
      return false;
    case Started::kFailed:
      log_.error("启动视频捕获时发生错误: ", started.failure);
      // Released after the line, out of the turn: what the release raises reaches the
      // caller. A start that came meanwhile has installed a source of its own.
      if (started.source) {
        started.source->release();
        if (source() == started.source) set_source(nullptr);
      }
      return false;
    case Started::kLaunched:
      break;
  }
  return announce(started, threads, interruption);
}

Capture::Started Capture::start_in_turn(WorkerThreads& threads, Interruption* interruption) {
  // Declared first, so that the source opened here is dropped only after the turn.
  std::shared_ptr<SourceHandle> opened;
  Turn turn(*this, interruption);
  // Called back from inside a start or stop of this thread: that step is not finished,
  // and this one cannot wait for it.
  if (turn.reentered()) return started_as(Started::kNothing);
  if (running()) return started_as(Started::kAlreadyRunning);
  // Every call below may run host code that stops the capture on this thread: after
  // each, a stop that came meanwhile ends the start with nothing left open.
  try {
    Started started = started_as(Started::kLaunched);
    started.run = begin_run();
    opened = opener_->open(video_path());
    turn.keep(replace_source(opened));
    if (stopped_in_turn_.load()) return abandon_start(opened);
    const bool is_opened = require_source("isOpened")->is_opened();
    if (stopped_in_turn_.load()) return abandon_start(opened);
    if (!is_opened) return started_as(Started::kNotOpened);
    started.properties = read_properties();
    if (!launch_worker(started.run, threads)) return abandon_start(opened);
    return started;
  } catch (const Abandoned&) {
    return abandon_start(opened);
  } catch (const std::exception&) {
    // A worker that could not be launched must not leave the capture looking alive:
    // a later start would only warn, and a later stop would wait for nothing.
    set_running(false);
    Started failed = started_as(Started::kFailed);
    failed.failure = std::current_exception();
    failed.source = source();
    return failed;
  }
}

bool Capture::announce(const Started& started, WorkerThreads& threads,
                       Interruption* interruption) {
  const std::uint64_t run = started.run;
  try {
    log_.line(CaptureLog::Level::kInfo,
              [p = started.properties](Logger& logger) { return info_line(p, logger); });
  } catch (const std::exception&) {
    // The line could not be written: the start fails, as it would before the launch.
    // The worker has not begun its first pass; it ends with the run.
    const std::exception_ptr failure = std::current_exception();
    stop_run(run, threads, interruption);
    log_.error("启动视频捕获时发生错误: ", failure);
    return false;
  } catch (const Interrupt&) {
    give_up(run);
    let_worker_begin(run);
    throw;
  }
  let_worker_begin(run);
  // Started, also when a stop came while the line was written (a sink that stops it):
  // as for a stop that waits for a start, it stopped what the start began.
  return true;
}

void Capture::let_worker_begin(std::uint64_t run) {
  {
    std::lock_guard<std::mutex> g(wake_mutex_);
    if (announced_run_ < run) announced_run_ = run;
  }
  wake_.notify_all();
}

void Capture::await_announcement(std::uint64_t run) {
  std::unique_lock<std::mutex> g(wake_mutex_);
  wake_.wait(g, [&] { return shutting_down_ || announced_run_ >= run || !still_running(run); });
}

void Capture::stop_run(std::uint64_t run, WorkerThreads& threads, Interruption* interruption) {
  Turn turn(*this, interruption);
  // A stop that came meanwhile has done it all already.
  if (turn.taken() && still_running(run)) stop_in_turn(turn, threads);
}

std::uint64_t Capture::begin_run() {
  // The new run begins before its source exists: a worker of an earlier run that is
  // still finishing a call now finds itself superseded and installs nothing.
  std::lock_guard<std::mutex> g(run_mutex_);
  const std::uint64_t run = (run_state_.load() >> 1) + 1;
  run_state_.store(run << 1);
  return run;
}

VideoProperties Capture::read_properties() {
  // Each property is stored as soon as it is known, the rate as the source reports it.
  const auto get = [&](int property) {
    Number value = require_source("get")->get(property);
    if (stopped_in_turn_.load()) throw Abandoned();
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
  p.duration = p.fps.is_positive() ? Number::real(p.frame_count.to_double() / p.fps.to_double())
                                   : Number::integer(0);
  set_properties(p);
  return p;
}

bool Capture::launch_worker(std::uint64_t run, WorkerThreads& threads) {
  run_state_.fetch_or(kRunningBit);
  threads.launch(run);
  worker_launched_ = true;
  if (stopped_in_turn_.load()) {
    // Stopped while the worker was being launched: the stop ended the run and released
    // the source; what it left out is the wait for the worker.
    threads.join(std::chrono::duration<double>(kJoinTimeoutSeconds));
    return false;
  }
  return true;
}

Capture::Started Capture::abandon_start(const std::shared_ptr<SourceHandle>& opened) {
  if (opened && source() == opened) release_source();
  return started_as(Started::kNothing);
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
    turn.keep(release_source());
    return;
  }
  if (worker_launched_) {
    try {
      threads.join(std::chrono::duration<double>(kJoinTimeoutSeconds));
    } catch (const Interrupt&) {
      // Interrupted while waiting for the worker: the run has ended, and the source
      // goes all the same.
      turn.keep(release_source());
      throw;
    }
  }
  turn.keep(release_source());
}

void Capture::end_run() {
  {
    std::lock_guard<std::mutex> g(run_mutex_);
    run_state_.fetch_and(~kRunningBit);
  }
  wake_waiters();
}

std::shared_ptr<SourceHandle> Capture::release_source() {
  auto src = source();
  if (src) {
    src->release();
    if (source() == src) replace_source(nullptr);
  }
  return src;
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

}  // namespace corvane::video
