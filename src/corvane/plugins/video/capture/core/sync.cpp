// Lock and Event over std::mutex and std::condition_variable.
#include "sync.hpp"

namespace corvane::video {

namespace {

// A steady-clock deadline that cannot overflow for huge timeouts.
std::chrono::steady_clock::time_point deadline_after(std::chrono::duration<double> timeout) {
  const auto now = std::chrono::steady_clock::now();
  const auto max_wait = std::chrono::hours(24 * 365 * 100);
  if (timeout > max_wait) return now + max_wait;
  if (timeout.count() <= 0) return now;
  return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
}

}  // namespace

void Lock::acquire() {
  std::unique_lock<std::mutex> g(mutex_);
  released_.wait(g, [this] { return !locked_; });
  locked_ = true;
}

bool Lock::try_acquire() {
  std::lock_guard<std::mutex> g(mutex_);
  if (locked_) return false;
  locked_ = true;
  return true;
}

bool Lock::try_acquire_for(std::chrono::duration<double> timeout) {
  std::unique_lock<std::mutex> g(mutex_);
  if (!released_.wait_until(g, deadline_after(timeout), [this] { return !locked_; })) return false;
  locked_ = true;
  return true;
}

bool Lock::release() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!locked_) return false;
    locked_ = false;
  }
  released_.notify_one();
  return true;
}

bool Lock::locked() const {
  std::lock_guard<std::mutex> g(mutex_);
  return locked_;
}

void Event::set() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void Event::clear() {
  std::lock_guard<std::mutex> g(mutex_);
  set_ = false;
}

bool Event::is_set() const {
  std::lock_guard<std::mutex> g(mutex_);
  return set_;
}

bool Event::wait() {
  std::unique_lock<std::mutex> g(mutex_);
  changed_.wait(g, [this] { return set_; });
  return true;
}

bool Event::wait_for(std::chrono::duration<double> timeout) {
  std::unique_lock<std::mutex> g(mutex_);
  return changed_.wait_until(g, deadline_after(timeout), [this] { return set_; });
}

}  // namespace corvane::video
