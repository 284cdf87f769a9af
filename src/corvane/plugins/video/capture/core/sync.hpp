// Lock and Event: the capture's shared synchronisation objects, which the worker,
// native callers and host-language callers all use.
//
// Lock is a plain, non-re-entrant lock with the semantics host callers expect of a lock
// object: any thread may release it (not only the one that acquired it), and a timed
// acquire is possible. Event is a flag that threads wait on, with a timeout.
//
// Guarantees.
//  - Lock: everything a thread did before a release() happens-before everything the
//    thread whose acquire (or try_acquire, try_acquire_for) then succeeds does after it.
//    At most one holder at a time; a waiting acquirer is woken by every release.
//  - Event: everything a thread did before set() happens-before everything a thread
//    does after a wait that returned true because of that set, and after an is_set()
//    that saw it. set() wakes every thread waiting at that moment, and each of those
//    waits returns true even if clear() runs before the waiter gets to run again: a
//    wait returns true when the flag is set or when a set() came since the wait began
//    (a generation count), as a host language's event behaves. set(Wakeup&) changes the
//    state alike and leaves the wake-up of the threads asleep to the Wakeup's end.
//  - Waits never poll. A wait given an Interruption is woken when a signal handler runs
//    on its thread (the host's handlers interrupt system calls), asks the Interruption,
//    and either leaves by its exception, having changed nothing (the lock not taken,
//    the event neither cleared nor consumed), or waits on for the rest of its time.
//
// How. The state lives under an internal mutex; every change of it also advances a
// 32-bit sequence word, and waiters sleep on that word in the OS (a futex on Linux),
// which returns when the word has moved on since the waiter last looked, when woken,
// when the deadline passes, or when a signal handler ran. Waiters are woken after the
// mutex is unlocked, so a woken thread does not at once block on it. That is safe
// because a waiter compares the word when it goes to sleep (a change made between its
// look and its sleep makes it return at once), and because every caller keeps the
// object alive for the whole of each call (the capture that owns it is shared by the
// worker and every caller), so the wake-up never touches a destroyed object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace corvane::video {

// What a wait does when a signal handler interrupted it. A host fills this for waits
// its users may interrupt (a keyboard interrupt on the main thread).
class Interruption {
 public:
  virtual ~Interruption() = default;
  // Throws (typically an Interrupt) to abandon the wait, or returns to go on waiting.
  virtual void check() = 0;
};

namespace detail {

// The sequence word waiters sleep on.
class WaitWord {
 public:
  enum class Woke { kChanged, kTimedOut, kInterrupted };
  // Counts the caller as a sleeper and returns the word's value; call under the owner's
  // mutex, then sleep() on that value. A waker that changes the state under the same
  // mutex afterwards therefore sees the sleeper; one that changed it before has moved
  // the word, and the sleep returns at once.
  std::uint32_t enlist() {
    sleepers_.fetch_add(1, std::memory_order_relaxed);
    return word_.load(std::memory_order_acquire);
  }
  // Advances the word; call under the owner's mutex, after changing the state.
  void advance() { word_.fetch_add(1, std::memory_order_release); }
  // Wakes every sleeper; no system call when nobody sleeps (every release and set of
  // an uncontended lock or event).
  void wake_all();
  // Sleeps while the word still holds `seen`, until `deadline` (none: no limit); ends
  // the enlistment.
  Woke sleep(std::uint32_t seen,
             const std::optional<std::chrono::steady_clock::time_point>& deadline);

 private:
  std::atomic<std::uint32_t> word_{0};
  std::atomic<std::uint32_t> sleepers_{0};
};

// The calling thread's token: a number no other thread of the process ever gets (a
// 64-bit count cannot wrap within a process's life), unlike a thread id. Never zero.
std::uint64_t this_thread_token();

// A steady-clock deadline that cannot overflow for huge timeouts.
std::chrono::steady_clock::time_point deadline_after(std::chrono::duration<double> timeout);

}  // namespace detail

class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;  // identity matters: every user shares one lock
  Lock& operator=(const Lock&) = delete;

  void acquire(Interruption* interruption = nullptr);
  bool try_acquire();
  // Waits at most `timeout` for the lock; true when it was acquired.
  bool try_acquire_for(std::chrono::duration<double> timeout,
                       Interruption* interruption = nullptr);
  // False when the lock was not held (the caller reports that as an error).
  bool release();
  bool locked() const;
  // Whether the calling thread took the lock and it is still held. A thread that holds
  // the lock cannot wait for it (nobody else is going to release it for that thread), so
  // callers ask this first and act without waiting.
  bool held_by_this_thread() const {
    return holder_.load() == detail::this_thread_token();
  }

 private:
  bool acquire_until(const std::optional<std::chrono::steady_clock::time_point>& deadline,
                     Interruption* interruption);
  void take();  // under mutex_

  mutable std::mutex mutex_;
  detail::WaitWord released_;
  bool locked_ = false;  // guarded by mutex_
  // The token of the thread that took the lock, while it is held (0 otherwise), written
  // under mutex_; any thread may release the lock, which clears it.
  std::atomic<std::uint64_t> holder_{0};
};

// Scoped acquisition of a Lock. Made with std::defer_lock it takes nothing yet: acquire()
// and release() then take and give back the lock within the scope (a caller that holds
// the lock already, or one that must give it back while it waits for something else), and
// the end of the scope releases it only if this guard holds it.
class LockGuard {
 public:
  explicit LockGuard(Lock& lock, Interruption* interruption = nullptr) : lock_(lock) {
    acquire(interruption);
  }
  LockGuard(Lock& lock, std::defer_lock_t) : lock_(lock) {}
  ~LockGuard() { release(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

  void acquire(Interruption* interruption = nullptr) {
    lock_.acquire(interruption);  // throws with nothing taken when interrupted
    owns_ = true;
  }
  void release() {
    if (owns_) {
      owns_ = false;
      lock_.release();
    }
  }

 private:
  Lock& lock_;
  bool owns_ = false;
};

class Event {
 public:
  // Wakes the waiters of a set(Wakeup&) when it goes out of scope. For a setter that
  // holds a lock its woken waiters take next: woken while the setter still holds it, a
  // waiter would at once sleep again on that lock (and the kernel may even run it in the
  // setter's place, which then holds the lock longer still).
  class Wakeup {
   public:
    explicit Wakeup(Event& event) : event_(event) {}
    ~Wakeup() {
      if (armed_) event_.changed_.wake_all();
    }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

   private:
    friend class Event;
    Event& event_;
    bool armed_ = false;
  };

  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  // Sets the event now (is_set() and new waits see it at once); the waiters already
  // asleep are woken when `wakeup`, made for this event, goes out of scope.
  void set(Wakeup& wakeup);
  void clear();
  bool is_set() const;
  // Blocks until the event is set, or a set() comes; returns true.
  bool wait(Interruption* interruption = nullptr);
  // Blocks at most `timeout`; true when the event was set or a set() came meanwhile.
  bool wait_for(std::chrono::duration<double> timeout, Interruption* interruption = nullptr);

 private:
  bool wait_until(const std::optional<std::chrono::steady_clock::time_point>& deadline,
                  Interruption* interruption);

  mutable std::mutex mutex_;
  detail::WaitWord changed_;
  bool set_ = false;            // guarded by mutex_
  std::uint64_t generation_ = 0;  // guarded by mutex_; counts set() calls
};

}  // namespace corvane::video
