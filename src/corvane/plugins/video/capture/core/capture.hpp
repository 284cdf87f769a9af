// Capture: a video source read on a worker thread, paced to the source's frame rate,
// keeping the latest frame and its number for readers on other threads.
//
// Threads. Callers (typically a behaviour tree's tick thread) run start, stop, pause,
// resume, seek and the frame queries; one worker thread at a time runs run_loop(). The
// core does not create threads itself: start asks a WorkerThreads host to launch one
// that calls run_loop(), and stop asks it to wait for that thread.
//
// Locks, in the only order in which they are ever nested:
//   lifecycle_mutex_  serialises start and stop, so concurrent calls cannot launch two
//                     workers for one capture;
//   lock_             the public lock: publication of a frame and its number, readers'
//                     copies, and seek's reposition-read-publish;
//   SourceHandle's operation mutex (one per source): every call on a source;
//   run_mutex_        a new run's generation against a worker's last steps (installing
//                     a re-opened source, publishing), so an old worker commits nothing
//                     into a new run;
//   source_mutex_, state_mutex_, wake_mutex_: leaf mutexes held for a few loads and
//                     stores only.
// The worker holds lock_ only to publish, never while reading, sleeping or re-opening.
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
// live source (SourceHandle::is_live) is not paced at all: it is read back to back.
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
#include "frame_info.hpp"
#include "logger.hpp"
#include "number.hpp"
#include "source_handle.hpp"
#include "sync.hpp"

namespace corvane::video {

// Opens the source for a path; the host decides which kind of source that is.
class SourceOpener {
 public:
  virtual ~SourceOpener() = default;
  // Throws VideoError (or an Interrupt) when the source object cannot be created, and
  // returns null when the host's factory gave no object. An unopened source is returned.
  virtual std::shared_ptr<SourceHandle> open(const std::string& path) = 0;
};

// Runs worker threads for a capture; the host decides what a thread is.
class WorkerThreads {
 public:
  virtual ~WorkerThreads() = default;
  // Starts a thread that calls Capture::run_loop(run). Throws when that fails.
  virtual void launch(std::uint64_t run) = 0;
  // Waits at most `timeout` for the most recently launched worker to end. Returns at
  // once when called on that worker itself (a thread cannot wait for itself).
  virtual void join(std::chrono::duration<double> timeout) = 0;
};

// What the latest successful start read from the source.
struct VideoProperties {
  Number frame_count;  // integers of any size, as the source's report truncates
  Number fps;  // integer 0 until a start stores the reported rate
  Number width;
  Number height;
  Number duration;  // integer 0 unless the reported rate was positive
};

// When one publication's read began and ended and when the frame was published, on
// the steady clock. Kept for the most recent publications, for measurements.
struct PublicationTiming {
  std::chrono::steady_clock::time_point read_started;
  std::chrono::steady_clock::time_point read_finished;
  std::chrono::steady_clock::time_point published;
};

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
  bool start(WorkerThreads& threads);
  // Ends the run: waits at most 1 s for the worker, then releases the source (at once,
  // or right after a read still in progress returns).
  void stop(WorkerThreads& threads);
  // The worker's body for the run that start handed to WorkerThreads::launch. Returns
  // when that run ends, or at once when a later start has replaced it.
  void run_loop(std::uint64_t run);
  // Makes a worker leave at once, also from its pacing wait. For process exit.
  void shut_down();

  // Playback control.
  void pause();
  void resume();
  // The target reaches the source's set and current_frame_number as given. An
  // interruption that throws while seek waits for lock_ leaves it with nothing done.
  bool seek(const Number& frame_number, Interruption* interruption = nullptr);

  // Frame access. wait_for_new_frame waits at most `timeout` for frame_ready and clears
  // it when it was set. with_frame calls f(frame or nullptr, number) under lock_, or
  // f(frame or nullptr, number, info of that frame) when f takes three arguments. An
  // interruption that throws leaves either wait with the event and the lock untouched.
  void wait_for_new_frame(std::chrono::duration<double> timeout,
                          Interruption* interruption = nullptr);
  template <typename F>
  auto with_frame(F&& f, Interruption* interruption = nullptr) {
    LockGuard guard(lock_, interruption);
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

  // One step of the worker, see run_loop.
  enum class Pass { kContinue, kEnd };
  Pass read_and_publish(std::uint64_t run, std::optional<Clock::time_point>& last_frame_time);
  Pass reopen(std::uint64_t run);
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
  // The source, or a MissingSource failure naming the call that needed it.
  std::shared_ptr<SourceHandle> require_source(const char* method) const;
  static std::shared_ptr<SourceHandle> require_source(std::shared_ptr<SourceHandle> src,
                                                      const char* method);
  // Installs `source` and returns the one it replaced, for the caller to drop.
  std::shared_ptr<SourceHandle> replace_source(std::shared_ptr<SourceHandle> source);
  bool source_is_live() const;
  void wake_waiters();
  void give_up(std::uint64_t run);
  // Sleeps until `deadline` unless shut_down is called; false when it was.
  bool sleep_until(Clock::time_point deadline);
  // Sleeps until the run is no longer running or shut_down is called.
  void sleep_while_running(std::uint64_t run);

  std::shared_ptr<const Truth> auto_reload_;  // guarded by state_mutex_
  const std::shared_ptr<SourceOpener> opener_;
  const std::shared_ptr<Logger> logger_;

  std::mutex lifecycle_mutex_;
  bool worker_launched_ = false;  // guarded by lifecycle_mutex_

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
};

}  // namespace corvane::video
