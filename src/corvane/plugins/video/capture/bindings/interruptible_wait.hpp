// Waits of Python callers that Ctrl-C can interrupt, as the interpreter's own locks and
// events can be.
//
// The core's waits sleep in the OS, which returns early when a signal handler runs on
// the waiting thread (the interpreter installs its handlers so that they interrupt
// system calls, and a signal sent to the process reaches the main thread). The
// interruption given here then takes the GIL and runs the interpreter's pending signal
// handlers: when one raises (KeyboardInterrupt from the default SIGINT handler), the wait
// leaves with that exception, having taken nothing; otherwise it waits on for the rest of
// its time. Other threads never run handlers, so they simply wait on, at no cost.
#pragma once

#include "core/sync.hpp"

namespace corvane::video::bindings {

// The interruption for waits made on behalf of a Python caller (call with or without
// the GIL; it takes the GIL only when a signal interrupted the wait).
Interruption* python_interruption();

}  // namespace corvane::video::bindings
