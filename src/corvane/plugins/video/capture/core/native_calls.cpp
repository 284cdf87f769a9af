// NativeCall and the gate that process exit closes; see native_calls.hpp.
#include "native_calls.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace corvane::video {

namespace {

struct Gate {
  std::mutex mutex;
  std::condition_variable idle;
  int in_progress = 0;  // guarded by mutex
  bool closed = false;  // guarded by mutex
};

// Never destroyed: threads parked at exit still refer to it.
Gate& gate() {
  static auto* instance = new Gate();
  return *instance;
}

[[noreturn]] void sleep_until_the_process_ends() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

NativeCall::NativeCall() {
  Gate& g = gate();
  std::unique_lock<std::mutex> lock(g.mutex);
  if (g.closed) {
    lock.unlock();
    sleep_until_the_process_ends();
  }
  ++g.in_progress;
}

NativeCall::~NativeCall() {
  Gate& g = gate();
  bool closed;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    --g.in_progress;
    closed = g.closed;
  }
  if (!closed) return;
  g.idle.notify_all();
  sleep_until_the_process_ends();
}

bool close_native_calls(std::chrono::duration<double> timeout) {
  Gate& g = gate();
  std::unique_lock<std::mutex> lock(g.mutex);
  g.closed = true;
  return g.idle.wait_for(lock, timeout, [&] { return g.in_progress == 0; });
}

}  // namespace corvane::video
