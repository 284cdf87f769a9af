// NativeCall: the calls into OpenCV in progress on any thread, counted so that process
// exit can let them return before OpenCV's global state is torn down.
//
// A native read of a stream that stopped sending can outlast the exit hook's wait for
// the workers. The interpreter then finalises and the process runs its C++ destructors,
// OpenCV's among them, while that read is still inside OpenCV; when it returns, it would
// run on torn-down state. So exit first closes the gate (close_native_calls): it waits,
// for a bounded time, until no native call is in progress, and from then on a thread that
// comes back from a native call, or is about to begin one, sleeps until the process ends
// instead of touching OpenCV again.
#pragma once

#include <chrono>

namespace corvane::video {

// Counts one native call for its scope. Never returns once the gate is closed.
class NativeCall {
 public:
  NativeCall();
  ~NativeCall();
  NativeCall(const NativeCall&) = delete;
  NativeCall& operator=(const NativeCall&) = delete;
};

// Closes the gate and waits at most `timeout` until no native call is in progress; false
// when some still were. For the end of the process only.
bool close_native_calls(std::chrono::duration<double> timeout);

}  // namespace corvane::video
