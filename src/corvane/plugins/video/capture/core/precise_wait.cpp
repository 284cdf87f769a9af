// The wake-up lateness estimate behind wait_precisely_until; see precise_wait.hpp.
#include "precise_wait.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace corvane::video::precise_wait {

namespace {

// Nanoseconds. Updated without a lock by every waiting worker: a lost update only
// delays the estimate by one sample.
std::atomic<std::int64_t> lateness_ns{
    std::chrono::duration_cast<std::chrono::nanoseconds>(kInitialSpin).count()};

constexpr std::int64_t kMaxSpinNs =
    std::chrono::duration_cast<std::chrono::nanoseconds>(kMaxSpin).count();

}  // namespace

Clock::duration spin_margin() {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(lateness_ns.load(std::memory_order_relaxed)));
}

void record_lateness(Clock::duration late) {
  const std::int64_t sample = std::clamp<std::int64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(late).count(), 0, kMaxSpinNs);
  const std::int64_t estimate = lateness_ns.load(std::memory_order_relaxed);
  // Up by half the difference, down by a sixteenth: a high percentile of the wake-ups.
  const std::int64_t next = sample > estimate ? estimate + (sample - estimate) / 2
                                              : estimate - (estimate - sample) / 16;
  lateness_ns.store(next, std::memory_order_relaxed);
}

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

}  // namespace corvane::video::precise_wait
