// Lock and Event: the capture's shared synchronisation objects.
//
// Lock is a plain, non-re-entrant lock with the semantics host callers expect of a
// lock object: any thread may release it (not only the one that acquired it), and a
// timed acquire is possible. It is therefore a small binary semaphore over a mutex and
// a condition variable rather than a bare std::mutex, whose unlock from another thread
// would be undefined. Event is a flag that threads can wait on with a timeout.
//
// Every wait has a predicate; state changes under the internal mutex and waiters are
// notified after it is unlocked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace corvane::video {

class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;  // identity matters: every user shares one lock
  Lock& operator=(const Lock&) = delete;

  void acquire();
  bool try_acquire();
  // Waits at most `timeout` for the lock; true when it was acquired.
  bool try_acquire_for(std::chrono::duration<double> timeout);
  // False when the lock was not held (the caller reports that as an error).
  bool release();
  bool locked() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool locked_ = false;  // guarded by mutex_
};

// Scoped acquisition of a Lock.
class LockGuard {
 public:
  explicit LockGuard(Lock& lock) : lock_(lock) { lock_.acquire(); }
  ~LockGuard() { lock_.release(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void clear();
  bool is_set() const;
  // Blocks until the event is set; returns true.
  bool wait();
  // Blocks at most `timeout`; true when the event was set.
  bool wait_for(std::chrono::duration<double> timeout);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;  // guarded by mutex_
};

}  // namespace corvane::video
