// Capture's worker: the passes of run_loop (pacing, read, publication) and the re-open
// after the end of the stream or an error.
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <cmath>
#include <utility>

#include "capture.hpp"
#include "errors.hpp"
#include "precise_wait.hpp"

namespace corvane::video {

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
  // start's lines come before the worker's: the first pass waits until they are written.
  await_announcement(run);
  std::optional<Clock::time_point> last_frame_time;  // none: the first pass never waits
  const std::optional<Clock::duration> frame_interval = pacing_interval();
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
      // A stop during this wait cuts it short and lets the pass finish (one read, one
      // publication) while stop waits for the worker, so the pass never outlives the
      // source. Process exit ends the worker at once, and a later start makes the rest
      // of the pass someone else's business.
      if (!sleep_until(*last_frame_time + *frame_interval, run) || superseded(run)) return;
    }
    if (read_and_publish(run, last_frame_time) == Pass::kEnd) return;
  }
}

std::optional<Capture::Clock::duration> Capture::pacing_interval() const {
  const Number fps = properties().fps;
  const double interval = fps.is_positive() ? 1.0 / fps.to_double() : kDefaultFrameInterval;
  // None: an interval too long for the clock, a wait that outlasts the run.
  if (interval > kLongestFrameIntervalSeconds) return std::nullopt;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
}

bool Capture::sleep_until(Clock::time_point deadline, std::uint64_t run) {
  wait_precisely_until(deadline, wake_mutex_, wake_,
                       [&] { return shutting_down_ || !still_running(run); });
  std::lock_guard<std::mutex> g(wake_mutex_);
  return !shutting_down_;
}

void Capture::sleep_while_running(std::uint64_t run) {
  std::unique_lock<std::mutex> g(wake_mutex_);
  wake_.wait(g, [&] { return shutting_down_ || !still_running(run); });
}

Capture::Pass Capture::read_and_publish(std::uint64_t run,
                                        std::optional<Clock::time_point>& last_frame_time) {
  try {
    ReadResult read = read_frame();
    // Back after a read that outlived its run: a later run is none of this worker's
    // business.
    if (superseded(run)) return Pass::kEnd;
    if (read.ok) return publish(run, read, last_frame_time);
    return end_of_stream(run);
  } catch (const std::exception&) {
    return recover(run);
  }
}

Capture::ReadResult Capture::read_frame() {
  auto src = require_source("read");
  ReadResult r;
  SourceHandle::Session session(*src);
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    r.seeks_before_read = seek_generation_;
  }
  r.timing.read_started = Clock::now();
  r.ok = session.source().read(r.frame);
  r.timing.read_finished = Clock::now();
  if (r.ok) r.position = session.source().position_msec();
  return r;
}

namespace {

// The same value: a NaN is the same as itself here.
bool same_number(const Number& a, const Number& b) {
  if (a == b) return true;
  return a.kind() == Number::Kind::kReal && b.kind() == Number::Kind::kReal &&
         std::isnan(a.to_double()) && std::isnan(b.to_double());
}

}  // namespace

Capture::Pass Capture::publish(std::uint64_t run, ReadResult& read,
                               std::optional<Clock::time_point>& last_frame_time) {
  // What the publication replaces goes once every lock is let go: a host frame or number
  // may need the host.
  Published replaced;
  Event::Wakeup wakeup(frame_ready_);  // after lock_ is let go: readers take it next
  for (;;) {
    // Counting on from a host's number is host code: done before any lock is taken, and
    // used only if the number is still the one counted from (else counted again).
    const Number counted_from = current_frame_number();
    Number next = counted_from.plus_one();
    HeldLockGuard guard(lock_);
    std::lock_guard<std::mutex> current(run_mutex_);
    if (superseded(run)) return Pass::kEnd;
    std::lock_guard<std::mutex> g(state_mutex_);
    // A seek that published since this read began has moved the source: this frame
    // belongs to the old position and would pair with the wrong number.
    if (seek_generation_ != read.seeks_before_read) return Pass::kContinue;
    if (!same_number(current_frame_number_, counted_from)) continue;
    replaced.frame = std::exchange(frame_, std::move(read.frame));
    replaced.number = std::exchange(current_frame_number_, std::move(next));
    last_frame_time = Clock::now();
    replaced.info = std::exchange(
        frame_info_, FrameInfo{current_frame_number_, *last_frame_time, read.position});
    read.timing.published = *last_frame_time;
    record_timing(read.timing);
    frame_ready_.set(wakeup);
    return Pass::kContinue;
  }
}

void Capture::record_timing(const PublicationTiming& timing) {
  if (timings_.size() < kTimingHistory) {
    timings_.push_back(timing);
  } else {
    timings_[timings_next_] = timing;
  }
  timings_next_ = (timings_next_ + 1) % kTimingHistory;
}

Capture::Pass Capture::end_of_stream(std::uint64_t run) {
  // After stop has ended the run nothing is re-opened: a line would tell of a reload
  // that does not come, of a failure that stop's release caused.
  if (!still_running(run)) return Pass::kEnd;
  log_.warning("视频读取结束或出错");
  if (!auto_reload()) {
    give_up(run);
    return Pass::kEnd;
  }
  log_.info("正在重新加载视频: " + video_path() + "...");
  return reopen(run);
}

Capture::Pass Capture::recover(std::uint64_t run) {
  // Also quiet once stop has ended the run: a source it released is no failure.
  if (!still_running(run)) return Pass::kEnd;
  log_.error("视频捕获过程中发生错误: ", std::current_exception());
  if (!auto_reload()) {
    give_up(run);
    return Pass::kEnd;
  }
  log_.info("发生错误，正在重新加载视频: " + video_path() + "...");
  try {
    return reopen(run);
  } catch (const std::exception&) {
    if (!still_running(run)) return Pass::kEnd;
    log_.error("重新加载视频时发生错误: ", std::current_exception());
    give_up(run);
    return Pass::kEnd;
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
    HeldLockGuard guard(lock_);
    if (!if_current(run, [&] { replaced = replace_source(nullptr); })) return Pass::kEnd;
    throw MissingSource("isOpened");
  }
  const bool opened = fresh->is_opened();
  bool installed;
  {
    // The new source and the restart of the count go in together under the lock, so a
    // seek either finishes on the old source before them or works on the new one.
    HeldLockGuard guard(lock_);
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
    log_.error("视频重新加载失败: " + video_path());
    give_up(run);
    return Pass::kEnd;
  }
  return Pass::kContinue;
}

}  // namespace corvane::video
