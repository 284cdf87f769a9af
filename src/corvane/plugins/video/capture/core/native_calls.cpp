// NativeCall and the gate that process exit closes; see native_calls.hpp.
#include "native_calls.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace corvane::video {

struct NativeCallGate {
  std::mutex mutex;
  std::condition_variable idle;
  NativeCall* in_progress = nullptr;  // guarded by mutex; the calls in progress
  bool closed = false;                // guarded by mutex
  bool (*may_park)() = nullptr;       // written once, before any call

  void add(NativeCall* call) {  // under mutex
    call->next_ = in_progress;
    if (in_progress != nullptr) in_progress->previous_ = call;
    in_progress = call;
  }
  void remove(NativeCall* call) {  // under mutex
    if (call->previous_ != nullptr) call->previous_->next_ = call->next_;
    else in_progress = call->next_;
    if (call->next_ != nullptr) call->next_->previous_ = call->previous_;
  }
  std::chrono::steady_clock::time_point latest_deadline() const {  // under mutex
    auto latest = std::chrono::steady_clock::time_point::min();
    for (const NativeCall* call = in_progress; call != nullptr; call = call->next_) {
      latest = std::max(latest, call->deadline_);
    }
    return latest;
  }
};

namespace {

// Never destroyed: threads parked at exit still refer to it.
NativeCallGate& gate() {
  static auto* instance = new NativeCallGate();
  return *instance;
}

thread_local bool closes_the_gate = false;

// Whether this thread sleeps for good when it meets the closed gate.
bool parks_here(const NativeCallGate& g) {
  if (closes_the_gate) return false;
  return g.may_park == nullptr || g.may_park();
}

[[noreturn]] void sleep_until_the_process_ends() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

NativeCall::NativeCall(std::chrono::milliseconds bound)
    : deadline_(std::chrono::steady_clock::now() + bound) {
  NativeCallGate& g = gate();
  std::unique_lock<std::mutex> lock(g.mutex);
  if (g.closed && parks_here(g)) {
    lock.unlock();
    sleep_until_the_process_ends();
  }
  g.add(this);
}

NativeCall::~NativeCall() {
  NativeCallGate& g = gate();
  bool closed;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    g.remove(this);
    closed = g.closed;
  }
  if (!closed) return;
  g.idle.notify_all();
  if (parks_here(g)) sleep_until_the_process_ends();
}

void set_native_call_park_rule(bool (*may_park)()) { gate().may_park = may_park; }

bool close_native_calls(std::chrono::milliseconds margin) {
  closes_the_gate = true;
  NativeCallGate& g = gate();
  std::unique_lock<std::mutex> lock(g.mutex);
  g.closed = true;
  // Calls begun from now on are those of threads that may not sleep; they count as well,
  // so the latest deadline is taken afresh at each wake-up.
  while (g.in_progress != nullptr) {
    const auto until = g.latest_deadline() + margin;
    if (std::chrono::steady_clock::now() >= until) return false;
    g.idle.wait_until(lock, until);
  }
  return true;
}

}  // namespace corvane::video
