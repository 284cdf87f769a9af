// Ending workers cleanly at interpreter exit.
//
// Every running `_capture_loop` is registered here for its duration. An exit hook (run
// by the interpreter before it begins to finalise) asks each registered capture to
// shut down, gives up the GIL, and waits, at most a bounded time, until every worker
// is back in the interpreter with the GIL. Then, still before finalisation, it closes
// the way to the GIL (gil.hpp), so that no thread is ended by finalisation inside a
// request for it, and closes the gate of native calls (native_calls.hpp), waiting for
// each call into OpenCV still in progress (a read of a stream that stopped sending) for
// as long as that call's own timeouts allow. A worker stuck in a call of a Python source
// that does not return in time is left behind; it parks if it ever needs the GIL again,
// and so does one that comes back from OpenCV after the gate closed.
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
