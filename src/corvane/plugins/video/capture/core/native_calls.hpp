// NativeCall: the calls into OpenCV in progress on any thread, each with the longest it
// can take, counted so that process exit can let them return before OpenCV's global
// state is torn down.
//
// A native read of a stream that stopped sending can outlast the exit hook's wait for
// the workers. Were the process to go on to its C++ destructors (OpenCV's among them,
// some of which OpenCV registers only when a first source opens) while that read is
// still inside OpenCV, the read would come back to torn-down state. So exit closes the
// gate (close_native_calls) while nothing has been torn down yet: it waits until no
// native call is in progress, for at most as long as the calls in progress can still
// take, each by the bound it was begun with (the timeouts its source was opened with,
// not what the environment says at exit). From then on a thread that comes back from a
// native call, or is about to begin one, sleeps until the process ends instead of
// touching OpenCV again, unless the park rule exempts it (below).
//
// Thread-safety: every function may be called from any thread. The gate's mutex is a
// leaf: held for a few loads and stores, never across a call.
#pragma once

#include <chrono>

namespace corvane::video {

// Counts one native call for its scope. Once the gate is closed, a thread the park rule
// lets sleep never returns from the constructor, nor from the destructor.
class NativeCall {
 public:
  // `bound`: the longest the call can take (its source's timeout for that kind of call).
  explicit NativeCall(std::chrono::milliseconds bound);
  ~NativeCall();
  NativeCall(const NativeCall&) = delete;
  NativeCall& operator=(const NativeCall&) = delete;

 private:
  friend struct NativeCallGate;
  std::chrono::steady_clock::time_point deadline_;
  // The calls in progress form a list through these, guarded by the gate's mutex.
  NativeCall* previous_ = nullptr;
  NativeCall* next_ = nullptr;
};

// Whether a thread that finds the gate closed may sleep for good. A host with a lock that
// the rest of its exit needs (an interpreter lock) answers false for a thread holding it:
// that thread's calls then run to their end, as the host's exit cannot go on before they
// have. The thread that closed the gate never sleeps. Set once, before any native call;
// without a rule every other thread sleeps.
void set_native_call_park_rule(bool (*may_park)());

// Closes the gate and waits until no native call is in progress, at most until the
// latest bound of the calls in progress has passed, plus `margin`; false when some still
// were. Later calls wait only for calls in progress then. For the end of the process only.
bool close_native_calls(std::chrono::milliseconds margin);

}  // namespace corvane::video
