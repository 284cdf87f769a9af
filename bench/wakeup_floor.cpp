// The wake-up latency floor of this machine and the capture's Event on top of it: one
// thread sleeps, another wakes it every 20 ms and notes when; the sleeper notes when it
// runs again. Prints p50 and p99 in microseconds for a bare futex wait and wake and for
// Event::set to a returning Event::wait_for, and for a publication (the event set under
// the lock) to a woken reader holding the lock, as JSON.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/sync.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 200;
constexpr auto kPeriod = std::chrono::milliseconds(20);

double percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

// Wakes `wake` every period, stamping the time just before; `sleep` returns when woken.
template <typename Sleep, typename Wake>
std::vector<double> measure(Sleep sleep, Wake wake) {
  std::vector<double> latencies;
  std::atomic<long> woken_at{0};
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    while (!done.load()) {
      sleep();
      woken_at.store(Clock::now().time_since_epoch().count());
    }
  });
  for (int i = 0; i < kSamples + 5; ++i) {
    std::this_thread::sleep_for(kPeriod);
    woken_at.store(0);
    const auto t0 = Clock::now();
    if (i == kSamples + 4) done.store(true);
    wake();
    while (woken_at.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (i >= 5) {
      latencies.push_back(
          static_cast<double>(woken_at.load() - t0.time_since_epoch().count()) / 1000.0);
    }
  }
  sleeper.join();
  return latencies;
}

}  // namespace

int main() {
  std::atomic<std::uint32_t> word{0};
  auto futex_sleep = [&] {
    const std::uint32_t seen = word.load();
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen,
            nullptr, nullptr, 0);
  };
  auto futex_wake = [&] {
    word.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX,
            nullptr, nullptr, 0);
  };
  const auto bare = measure(futex_sleep, futex_wake);

  corvane::video::Event event;
  auto event_sleep = [&] {
    if (event.wait_for(std::chrono::seconds(5))) event.clear();
  };
  auto event_set = [&] { event.set(); };
  const auto ours = measure(event_sleep, event_set);

  // As a publication and a waiting reader meet: the event is set while the lock is held,
  // and the woken reader then takes the lock.
  corvane::video::Lock lock;
  auto reader_sleep = [&] {
    if (event.wait_for(std::chrono::seconds(5))) event.clear();
    corvane::video::LockGuard guard(lock);
  };
  auto publish = [&] {
    corvane::video::LockGuard guard(lock);
    event.set();
  };
  const auto publication = measure(reader_sleep, publish);

  std::printf(
      "{\"futex_p50_us\": %.1f, \"futex_p99_us\": %.1f, \"event_p50_us\": %.1f, "
      "\"event_p99_us\": %.1f, \"publication_p50_us\": %.1f, \"publication_p99_us\": %.1f}\n",
      percentile(bare, 0.5), percentile(bare, 0.99), percentile(ours, 0.5),
      percentile(ours, 0.99), percentile(publication, 0.5), percentile(publication, 0.99));
  return 0;
}
