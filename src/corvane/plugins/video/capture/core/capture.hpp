// Capture: a video source read on a worker thread, paced to the source's frame rate,
// keeping the latest frame and its number for readers on other threads.
//
// Threads. Callers (typically a behaviour tree's tick thread) run start, stop, pause,
// resume, seek and the frame queries; one worker thread at a time runs run_loop(). The
// core does not create threads itself: start asks a WorkerThreads host to launch one
// that calls run_loop(), and stop asks it to wait for that thread.
//
// Locks, in the only order in which they are ever nested:
//   lifecycle_turn_   start and stop take turns, so concurrent calls cannot launch two
//                     workers for one capture. It is a Lock that knows its holder: a
//                     start or stop called back on the thread whose turn it is (from a
//                     callback of the host that runs inside the step) never waits for it;
//                     see start and stop;
//   lock_             the public lock: publication of a frame and its number, readers'
//                     copies, and seek's reposition-read-publish;
//   SourceHandle's operation lock (one per source): every call on a source;
//   run_mutex_        a new run's generation against a worker's last steps (installing
//                     a re-opened source, publishing), so an old worker commits nothing
//                     into a new run;
//   source_mutex_, state_mutex_, wake_mutex_: leaf mutexes held for a few loads and
//                     stores only.
// The worker holds lock_ only to publish, never while reading, sleeping or re-opening.
//
// No host code of the capture's own runs under any of them, on any thread: log lines
// (composed and written after the lock is let go, see capture_log.hpp), a host number's
// arithmetic (counted on before lock_ is taken), and the drop of replaced host values
// (after every lock). What does run under them is the call the lock exists for: a host
// source's methods under its operation lock (and under lock_ in seek, the turn in start
// and stop), the host's thread launch and join in the turn.
//
// The running flag carries a run generation: each start begins a new run and hands its
// number to the worker it launches, and a worker keeps looping only while that run is
// still the current, running one. A worker that outlived its stop (a read that hung
// longer than stop waits) and finds a later start has begun another run returns as soon
// as it gets control back, without logging, releasing, opening or publishing anything,
// and it cannot clear the running flag of that new run. A worker that starts late runs
// the run it was launched for, never a later one.
//
// Pacing uses the steady clock, so stepping the wall clock does not stretch a wait. A
// stop cuts its run's pacing wait short: the pass then reads and publishes while stop
// waits for the worker. A pass whose run has been stopped logs nothing: it re-opens
// nothing, and a source that stop released is no failure. A live source
// (SourceHandle::is_live) is not paced at all: it is read back to back.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "frame.hpp"
#include "capture_log.hpp"
#include "capture_types.hpp"
#include "frame_info.hpp"
#include "logger.hpp"
#include "number.hpp"
#include "source_handle.hpp"
#include "sync.hpp"

namespace corvane::video {

class Capture {
 public:
  static constexpr size_t kTimingHistory = 1024;
  static constexpr double kJoinTimeoutSeconds = 1.0;
  static constexpr double kDefaultFrameInterval = 0.033;
  static constexpr double kPausePollSeconds = 0.1;
  // A frame interval longer than this (a rate so small that the interval would overflow
  // the clock) is a wait that outlasts any run: only the end of the run or shut_down
  // ends it.
  static constexpr double kLongestFrameIntervalSeconds = 100.0 * 365 * 24 * 3600;

  Capture(std::string video_path, bool auto_reload, std::shared_ptr<SourceOpener> opener,
          std::shared_ptr<Logger> logger);
  Capture(const Capture&) = delete;  // shared by the worker and every caller
  Capture& operator=(const Capture&) = delete;

  // Lifecycle. start opens the source on the calling thread and launches a worker;
  // it returns false (after logging) when the source does not open or anything fails.
  // Its lines are written once its turn is let go, and the worker's first pass waits for
  // them; a stop that comes meanwhile (from a log sink) stops what start began, and
  // start still returns true.
  // A start called back from inside a start or stop on the same thread returns false at
  // once, doing nothing. A stop called back from inside a start (while it opens, asks or
  // logs) makes that start release what it opened and return false. Waiting for another
  // thread's start or stop can be cut short by `interruption`, with nothing done.
  bool start(WorkerThreads& threads, Interruption* interruption = nullptr);
  // Ends the run: waits at most 1 s for the worker, then releases the source (at once,
  // or right after a read still in progress returns); an interruption of the wait for
  // the worker still releases it. A stop called back from inside a start or stop on the
  // same thread ends the run and releases the source without waiting for anything (a
  // source this thread is inside a call on is released as that call returns); the step
  // in progress finishes the rest.
  void stop(WorkerThreads& threads, Interruption* interruption = nullptr);
  // stop, if that needs no wait for another thread's start or stop; false, with nothing
  // done, when it would. For a host that must not give up a lock of its own to wait.
  bool stop_without_waiting_for_a_turn(WorkerThreads& threads);
  // The worker's body for the run that start handed to WorkerThreads::launch. Returns
  // when that run ends, or at once when a later start has replaced it.
  void run_loop(std::uint64_t run);
  // Makes a worker leave at once, also from its pacing wait. For process exit.
  void shut_down();

  // Playback control.
  void pause();
  void resume();
  // The target reaches the source's set and current_frame_number as given. An
  // interruption that throws while seek waits for lock_ or for a busy source leaves it
  // with nothing done. Its line is written once lock_ and the source are let go.
  bool seek(const Number& frame_number, Interruption* interruption = nullptr);

  // Frame access. await_new_frame waits at most `timeout` for frame_ready and tells
  // whether it was set (or a set came); it leaves the event as it is. with_frame calls
  // f(frame or nullptr, number) (or f(frame or nullptr, number, info of that frame) when f
  // takes three arguments) under lock_, and with `consume_ready` clears frame_ready
  // there first: a caller whose wait succeeded consumes the event only once it has the
  // lock, so an interruption that throws from either wait leaves the event and the lock
  // exactly as they were. The frame is then the newest, at least as new as the one whose
  // publication ended the wait (publications set the event under lock_).
  // A thread that holds lock_ already (a host callback inside seek, or a caller of its
  // own) does not wait for it: await_new_frame returns at once (no frame can come while
  // it holds the lock) and with_frame reads under that thread's own hold.
  bool await_new_frame(std::chrono::duration<double> timeout,
                       Interruption* interruption = nullptr);
  // await_new_frame, then clears the event when it was set: for a caller that takes no
  // lock afterwards (one that does passes consume_ready to with_frame instead).
  void wait_for_new_frame(std::chrono::duration<double> timeout,
                          Interruption* interruption = nullptr);
  template <typename F>
  auto with_frame(F&& f, Interruption* interruption = nullptr, bool consume_ready = false) {
    HeldLockGuard guard(lock_, std::defer_lock);
    if (!lock_.held_by_this_thread()) guard.acquire(interruption);
    if (consume_ready) frame_ready_.clear();
    std::optional<Frame> frame;
    Number number;
    FrameInfo info;
    {
      std::lock_guard<std::mutex> g(state_mutex_);
      frame = frame_;
      number = current_frame_number_;
      info = frame_info_;
    }
    if constexpr (std::is_invocable_v<F, const Frame*, const Number&, const FrameInfo&>) {
      return f(frame ? &*frame : nullptr, number, info);
    } else {
      return f(frame ? &*frame : nullptr, number);
    }
  }

  // State, readable and writable from any thread.
  std::string video_path() const;
  void set_video_path(std::string path);
  // Whether the worker re-opens at the end of the stream or after an error. Asked at
  // each of those moments: a host may answer with the truth of a value of its own, and
  // a failure of that test is a failure at that point of the pass.
  using Truth = std::function<bool()>;
  bool auto_reload() const;
  void set_auto_reload(bool v);
  void set_auto_reload(Truth truth);
  bool running() const { return (run_state_.load() & kRunningBit) != 0; }
  void set_running(bool v);
  bool paused() const { return paused_.load(); }
  void set_paused(bool v);
  // Stamps that change whenever the running or paused flag is written, for a host that
  // shows a flag as it was last assigned for as long as nothing else has written it.
  std::uint64_t running_stamp() const { return run_state_.load(); }
  std::uint64_t paused_stamp() const { return paused_writes_.load(); }
  VideoProperties properties() const;
  void set_properties(const VideoProperties& p);
  Number current_frame_number() const;
  void set_current_frame_number(Number n);
  std::optional<Frame> frame() const;
  // A frame stored from outside counts as published now, with the current number, at no
  // known position.
  void set_frame(std::optional<Frame> frame);
  std::shared_ptr<SourceHandle> source() const;
  void set_source(std::shared_ptr<SourceHandle> source);
  // The timings of the most recent publications of the worker, oldest first.
  std::vector<PublicationTiming> recent_publications() const;
  Lock& lock() { return lock_; }
  Event& frame_ready() { return frame_ready_; }
  Logger& logger() { return *logger_; }

 private:
  static constexpr std::uint64_t kRunningBit = 1;
  using Clock = std::chrono::steady_clock;

  // Lifecycle steps (capture_lifecycle.cpp). What start did in its turn, for the lines
  // it writes after the turn.
  struct Started {
    enum Outcome { kNothing, kAlreadyRunning, kNotOpened, kFailed, kLaunched };
    Outcome outcome = kNothing;
    std::uint64_t run = 0;
    VideoProperties properties;
    std::exception_ptr failure;  // for kFailed, with the source to release after its line
    std::shared_ptr<SourceHandle> source;
  };
  static Started started_as(Started::Outcome outcome) {
    Started s;
    s.outcome = outcome;
    return s;
  }
  class Turn;
  Started start_in_turn(WorkerThreads& threads, Interruption* interruption);
  // Begins a new run and returns its number.
  std::uint64_t begin_run();
  // Reads and stores the source's properties, each as soon as it is known.
  VideoProperties read_properties();
  // False when a stop came while the worker was being launched.
  bool launch_worker(std::uint64_t run, WorkerThreads& threads);
  // Writes start's information line, then lets the launched worker begin. A line that
  // cannot be written fails the start: the run is stopped.
  bool announce(const Started& started, WorkerThreads& threads, Interruption* interruption);
  void let_worker_begin(std::uint64_t run);
  // The worker's wait for announce; ends at once when the run has ended.
  void await_announcement(std::uint64_t run);
  // stop, if `run` is still the running one once the turn is taken.
  void stop_run(std::uint64_t run, WorkerThreads& threads, Interruption* interruption);

  // The worker's steps (capture_worker.cpp), see run_loop.
  enum class Pass { kContinue, kEnd };
  // What one read of the worker gave.
  struct ReadResult {
    Frame frame;
    bool ok = false;
    std::uint64_t seeks_before_read = 0;
    PublicationTiming timing;
    std::optional<double> position;
  };
  void run_passes(std::uint64_t run);
  // The wait between publications; none for a wait that outlasts any run.
  std::optional<Clock::duration> pacing_interval() const;
  Pass read_and_publish(std::uint64_t run, std::optional<Clock::time_point>& last_frame_time);
  ReadResult read_frame();
  Pass publish(std::uint64_t run, ReadResult& read,
               std::optional<Clock::time_point>& last_frame_time);
  void record_timing(const PublicationTiming& timing);  // under state_mutex_
  Pass end_of_stream(std::uint64_t run);
  // An ordinary failure of a pass (the one being handled): logs it, then re-opens or
  // ends the run.
  Pass recover(std::uint64_t run);
  Pass reopen(std::uint64_t run);

  // Seek's steps (capture_playback.cpp). What a seek's publication replaced, for the
  // caller to drop once it holds no lock.
  struct Published {
    std::optional<Frame> frame;
    Number number;
    FrameInfo info;
  };
  // Takes lock_ and then a session on the current source, which it stores in `src`,
  // waiting for a busy source with lock_ given back.
  // True when the frame was read and published.
  bool seek_and_read(const Number& frame_number, Interruption* interruption);
  void take_lock_and_source(HeldLockGuard& guard, std::shared_ptr<SourceHandle>& src,
                            std::optional<SourceHandle::Session>& session,
                            Interruption* interruption);
  Published publish_seek(const Number& frame_number, Frame frame, std::optional<double> position);

  bool still_running(std::uint64_t run) const;
  // A later start has begun another run: the worker of `run` must leave it alone.
  bool superseded(std::uint64_t run) const { return (run_state_.load() >> 1) != run; }
  // Runs `commit` only if `run` has not been superseded, atomically with respect to the
  // start of a new run. False (and nothing done) when it has been.
  template <typename F>
  bool if_current(std::uint64_t run, F&& commit) {
    std::lock_guard<std::mutex> g(run_mutex_);
    if (superseded(run)) return false;
    commit();
    return true;
  }
  // The same, and only while `run` is running: atomically with respect to stop too.
  template <typename F>
  bool if_running(std::uint64_t run, F&& commit) {
    std::lock_guard<std::mutex> g(run_mutex_);
    if (!still_running(run)) return false;
    commit();
    return true;
  }
  // Clears the running flag under run_mutex_, so that a worker's if_running step comes
  // either wholly before it or not at all.
  void end_run();
  // Releases the current source and drops it from the capture; returns it, for the
  // caller to drop once it holds no lock.
  std::shared_ptr<SourceHandle> release_source();
  // Start's way out when a stop called back from inside it: releases `opened` if the
  // capture still has it.
  Started abandon_start(const std::shared_ptr<SourceHandle>& opened);
  void stop_in_turn(Turn& turn, WorkerThreads& threads);
  // The source, or a MissingSource failure naming the call that needed it.
  std::shared_ptr<SourceHandle> require_source(const char* method) const;
  static std::shared_ptr<SourceHandle> require_source(std::shared_ptr<SourceHandle> src,
                                                      const char* method);
  // Installs `source` and returns the one it replaced, for the caller to drop.
  std::shared_ptr<SourceHandle> replace_source(std::shared_ptr<SourceHandle> source);
  bool source_is_live() const;
  void wake_waiters();
  void give_up(std::uint64_t run);
  // Sleeps until `deadline`, or until `run` stops running or shut_down is called; false
  // when shut_down was.
  bool sleep_until(Clock::time_point deadline, std::uint64_t run);
  // Sleeps until the run is no longer running or shut_down is called.
  void sleep_while_running(std::uint64_t run);

  std::shared_ptr<const Truth> auto_reload_;  // guarded by state_mutex_
  const std::shared_ptr<SourceOpener> opener_;
  const std::shared_ptr<Logger> logger_;
  CaptureLog log_;

  // The capture's locks (see the list at the top): no host code of the capture's own
  // runs while one is held, and lines produced meanwhile wait (LogHold).
  Lock lifecycle_turn_;
  bool worker_launched_ = false;  // guarded by lifecycle_turn_
  // Set by a stop called back on the thread whose turn it is, for that turn's start.
  std::atomic<bool> stopped_in_turn_{false};

  // run generation << 1 | running bit. A new generation is stored under run_mutex_.
  std::atomic<std::uint64_t> run_state_{0};
  std::mutex run_mutex_;
  std::atomic<bool> paused_{false};
  std::atomic<std::uint64_t> paused_writes_{0};

  Lock lock_;
  Event frame_ready_;

  mutable std::mutex state_mutex_;
  std::string video_path_;             // guarded by state_mutex_
  std::optional<Frame> frame_;         // guarded by state_mutex_
  FrameInfo frame_info_;               // guarded by state_mutex_; describes frame_
  Number current_frame_number_;        // guarded by state_mutex_
  std::uint64_t seek_generation_ = 0;  // guarded by state_mutex_; bumped by each published seek
  VideoProperties properties_;         // guarded by state_mutex_
  std::vector<PublicationTiming> timings_;  // guarded by state_mutex_; a ring of kTimingHistory
  size_t timings_next_ = 0;                 // guarded by state_mutex_

  mutable std::mutex source_mutex_;
  std::shared_ptr<SourceHandle> source_;  // guarded by source_mutex_

  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool shutting_down_ = false;  // guarded by wake_mutex_
  std::uint64_t announced_run_ = 0;  // guarded by wake_mutex_; the last run start announced
};

}  // namespace corvane::video
