// Ending workers cleanly at interpreter exit.
//
// Every running `_capture_loop` is registered here for its duration. An exit hook (run
// by the interpreter before it begins to finalise) asks each registered capture to
// shut down, gives up the GIL, and waits, at most a bounded time, until every worker
// is back in the interpreter with the GIL. Native decoding has then finished before the
// process tears down OpenCV's global state. A worker stuck in a call of a Python source
// that does not return in time is left behind; it parks if it ever needs the GIL again.
// One stuck in a call into OpenCV (a read of a stream that stopped sending) is waited for
// once more by the C runtime's exit, before OpenCV's destructors run (native_calls.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "core/capture.hpp"

namespace corvane::video::bindings {

// Registers the running worker of `capture` for its scope. Construct and destroy with
// the GIL held.
class ActiveWorker {
 public:
  explicit ActiveWorker(std::shared_ptr<Capture> capture);
  ~ActiveWorker();
  ActiveWorker(const ActiveWorker&) = delete;
  ActiveWorker& operator=(const ActiveWorker&) = delete;

 private:
  std::shared_ptr<Capture> capture_;
};

// Registers the exit hook with the interpreter's atexit facility.
void install_exit_hook();

}  // namespace corvane::video::bindings
