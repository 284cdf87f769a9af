// SourceHandle: a VideoSource shared between the worker, seek, stop and host callers.
//
// Every operation on the source runs under the handle's operation mutex, so a seek's
// reposition-and-read never interleaves with the worker's read, and no two threads are
// ever inside the decoder at once. Holders share the handle through shared_ptr, so a
// source that is replaced or dropped while another thread is inside a call on it stays
// alive until that call returns.
//
// The operation mutex is a Lock, so that a caller who waits for the source (seek, while
// the worker reads) can be interrupted. Code that runs under it (a host source's methods)
// writes the capture's log lines only once it has been let go (capture_log.hpp).
//
// release() never waits for a call in progress (a read of a dead network stream may hang
// for a long time): when the source is busy, the release is recorded and performed by
// the thread that finishes the current call, right after it. Errors of such a deferred
// release have no caller to go to and are dropped.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "capture_log.hpp"
#include "sync.hpp"
#include "video_source.hpp"

namespace corvane::video {

class SourceHandle {
 public:
  explicit SourceHandle(std::unique_ptr<VideoSource> source);
  SourceHandle(const SourceHandle&) = delete;  // owns the decoder and its mutex
  SourceHandle& operator=(const SourceHandle&) = delete;

  // Exclusive use of the source for several calls in a row. Blocks while another
  // thread is inside a call on the source.
  class Session {
   public:
    // An interruption that throws while it waits leaves the source untaken.
    explicit Session(SourceHandle& handle, Interruption* interruption = nullptr);
    // Takes the source only if it is free at once; see owns().
    Session(SourceHandle& handle, std::try_to_lock_t);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool owns() const { return owns_; }
    VideoSource& source() { return *handle_.source_; }

   private:
    LogHold hold_;  // first in, last out: lines wait until the source is let go
    SourceHandle& handle_;
    bool owns_;
  };

  // Blocks until no call on the source is in progress. An interruption that throws
  // ends the wait with nothing changed.
  void wait_until_idle(Interruption* interruption = nullptr);
  // True when the calling thread is inside a call on this source (a source that calls
  // back into its capture).
  bool busy_on_this_thread() const { return owner_.load() == std::this_thread::get_id(); }

  bool is_opened();
  bool read(Frame& out);
  Number get(int property);
  bool set(int property, const Number& value);
  // Releases now when the source is idle, otherwise as soon as the call in progress
  // returns: also when that call is the caller's own (a source that calls back into its
  // capture), and a release asked for from inside a release is already being done.
  // Errors of an immediate release reach the caller.
  void release();

  // Whether the worker reads this source back to back; see VideoSource::is_live.
  bool is_live() const { return source_->is_live(); }

  // The source itself, for callers that need to know its concrete kind. Not for calls.
  VideoSource& unsynchronised_source() { return *source_; }

 private:
  // Called after the operation mutex has been unlocked: performs a release that was
  // requested while the source was busy.
  void finish_pending_release() noexcept;

  Lock op_lock_;  // the operation mutex
  std::atomic<std::thread::id> owner_{};  // the thread inside a call, if any
  std::atomic<bool> release_pending_{false};
  bool releasing_ = false;  // written by the thread inside a release, under op_lock_
  std::unique_ptr<VideoSource> source_;  // calls guarded by op_lock_
};

}  // namespace corvane::video
