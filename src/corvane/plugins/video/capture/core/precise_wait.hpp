// A wait that ends within a few microseconds of its deadline, for the worker's pacing.
//
// A timed sleep on this kind of machine wakes 20-30 us (sometimes more) after the time
// it was given: the cost of being put to sleep and woken again. Pacing a source that
// reports a very high rate with such sleeps adds that cost to every frame. So the wait
// sleeps until shortly before the deadline (by the wake-up lateness seen so far), then
// spins for the rest. The spin is bounded by kMaxSpin: it costs CPU only for the part of
// a wait shorter than a wake-up, and a wait shorter than that is spun whole.
//
// The lateness estimate is shared by every wait of the process: it is a property of the
// machine and its load, not of one capture. It rises at once with a late wake-up and
// falls slowly, so it follows the late end of the wake-ups rather than their average.
//
// The stop test runs under the caller's mutex, in the sleep (woken through the caller's
// condition variable) and on every turn of the spin, so a stop ends either part at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace corvane::video {

namespace precise_wait {

using Clock = std::chrono::steady_clock;

// The longest final spin of one wait.
constexpr std::chrono::microseconds kMaxSpin{60};
// The spin before any wake-up has been measured.
constexpr std::chrono::microseconds kInitialSpin{30};

// How long before the deadline the sleep ends: the estimated wake-up lateness, at most
// kMaxSpin.
Clock::duration spin_margin();
// Feeds the estimate with how late a sleep woke after the time it was given.
void record_lateness(Clock::duration late);
// Lets the other hyper-thread run while spinning.
void relax();

}  // namespace precise_wait

// Waits until `deadline` or until `stop()` (called with `mutex` held) is true; `cv` is
// notified by whoever makes `stop()` true. False when the wait ended by `stop()`.
template <typename Stop>
bool wait_precisely_until(precise_wait::Clock::time_point deadline, std::mutex& mutex,
                          std::condition_variable& cv, Stop stop) {
  using precise_wait::Clock;
  std::unique_lock<std::mutex> lock(mutex);
  const Clock::time_point wake_at = deadline - precise_wait::spin_margin();
  if (Clock::now() < wake_at) {
    if (cv.wait_until(lock, wake_at, stop)) return false;
    precise_wait::record_lateness(Clock::now() - wake_at);
  }
  // The final stretch, at most the margin: shorter than a sleep could keep to.
  while (!stop()) {
    if (Clock::now() >= deadline) return true;
    lock.unlock();
    precise_wait::relax();
    lock.lock();
  }
  return false;
}

}  // namespace corvane::video
