// Lock and Event over a mutex and a futex-backed sequence word; see sync.hpp.
#include "sync.hpp"

#include <cerrno>
#include <climits>
#include <ctime>

#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#error "the capture's waits need futexes (Linux)"
#endif

namespace corvane::video {

namespace detail {

namespace {

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG,
                 value, timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

void WaitWord::wake_all() {
  // A sleeper enlisted under the owner's mutex before the waker took it, so its count is
  // visible here; one that enlists later finds the word moved on.
  if (sleepers_.load(std::memory_order_acquire) != 0) {
    futex(word_, FUTEX_WAKE_BITSET, INT_MAX, nullptr);
  }
}

WaitWord::Woke WaitWord::sleep(
    std::uint32_t seen, const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  // FUTEX_WAIT_BITSET takes an absolute deadline on the monotonic clock, which is the
  // clock steady_clock reads on Linux.
  timespec at{};
  if (deadline) {
    const auto since_epoch = deadline->time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    at.tv_sec = static_cast<time_t>(secs.count());
    at.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs).count());
  }
  const long result = futex(word_, FUTEX_WAIT_BITSET, seen, deadline ? &at : nullptr);
  const int error = errno;
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  if (result == 0) return Woke::kChanged;
  switch (error) {
    case ETIMEDOUT:
      return Woke::kTimedOut;
    case EINTR:
      return Woke::kInterrupted;
    default:  // EAGAIN: the word had moved on already
      return Woke::kChanged;
  }
}

std::uint64_t this_thread_token() {
  static std::atomic<std::uint64_t> next{1};
  // Trivially initialised, so no per-thread constructor or destructor runs for it.
  thread_local std::uint64_t token = 0;
  if (token == 0) token = next.fetch_add(1, std::memory_order_relaxed);
  return token;
}

std::chrono::steady_clock::time_point deadline_after(std::chrono::duration<double> timeout) {
  const auto now = std::chrono::steady_clock::now();
  const auto max_wait = std::chrono::hours(24 * 365 * 100);
  if (timeout > max_wait) return now + max_wait;
  if (timeout.count() <= 0) return now;
  return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
}

namespace {

// Waits until `ready` (run under `mutex`) returns true or the deadline passes. `ready`
// may also claim what it found (take the lock) in the same step.
template <typename Ready>
bool wait_under(std::mutex& mutex, WaitWord& word, Ready ready,
                const std::optional<std::chrono::steady_clock::time_point>& deadline,
                Interruption* interruption) {
  for (;;) {
    std::uint32_t seen;
    {
      std::lock_guard<std::mutex> g(mutex);
      if (ready()) return true;
      if (deadline && std::chrono::steady_clock::now() >= *deadline) return false;
      seen = word.enlist();
    }
    const WaitWord::Woke woke = word.sleep(seen, deadline);
    // A check that throws leaves the wait here, before anything was claimed.
    if (woke == WaitWord::Woke::kInterrupted && interruption != nullptr) interruption->check();
  }
}

}  // namespace

}  // namespace detail

void Lock::acquire(Interruption* interruption) { acquire_until(std::nullopt, interruption); }

void Lock::take() {
  locked_ = true;
  holder_.store(detail::this_thread_token());
}

bool Lock::try_acquire() {
  std::lock_guard<std::mutex> g(mutex_);
  if (locked_) return false;
  take();
  return true;
}

bool Lock::try_acquire_for(std::chrono::duration<double> timeout, Interruption* interruption) {
  return acquire_until(detail::deadline_after(timeout), interruption);
}

bool Lock::acquire_until(const std::optional<std::chrono::steady_clock::time_point>& deadline,
                         Interruption* interruption) {
  return detail::wait_under(
      mutex_, released_,
      [this] {
        if (locked_) return false;
        take();
        return true;
      },
      deadline, interruption);
}

bool Lock::release() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!locked_) return false;
    locked_ = false;
    holder_.store(0);
    released_.advance();
  }
  released_.wake_all();
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
    ++generation_;
    changed_.advance();
  }
  changed_.wake_all();
}

void Event::set(Wakeup& wakeup) {
  std::lock_guard<std::mutex> g(mutex_);
  set_ = true;
  ++generation_;
  changed_.advance();
  wakeup.armed_ = true;
}

void Event::clear() {
  std::lock_guard<std::mutex> g(mutex_);
  set_ = false;
}

bool Event::is_set() const {
  std::lock_guard<std::mutex> g(mutex_);
  return set_;
}

bool Event::wait(Interruption* interruption) { return wait_until(std::nullopt, interruption); }

bool Event::wait_for(std::chrono::duration<double> timeout, Interruption* interruption) {
  return wait_until(detail::deadline_after(timeout), interruption);
}

bool Event::wait_until(const std::optional<std::chrono::steady_clock::time_point>& deadline,
                       Interruption* interruption) {
  std::uint64_t began;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (set_) return true;
    began = generation_;
  }
  return detail::wait_under(
      mutex_, changed_, [&] { return set_ || generation_ != began; }, deadline, interruption);
}

}  // namespace corvane::video
