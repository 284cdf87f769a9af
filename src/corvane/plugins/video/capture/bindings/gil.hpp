// Taking and giving up the interpreter lock (GIL) from native threads, safely at
// interpreter exit.
//
// The capture's worker runs native code without the GIL and takes it back only to call
// a host-language source, to log, or to drop host objects. Once the interpreter is
// finalising, a thread that asks for the GIL is terminated from inside the request,
// which would unwind through native frames that cannot take that. So a worker that
// would need the GIL after finalisation has begun parks instead: it sleeps until the
// process ends, touching nothing. Daemon threads are abandoned at exit anyway.
//
// Testing for finalisation and then asking for the GIL leaves a window: finalisation can
// begin between the two, and the thread is then ended inside the request after all. So
// the exit hook closes the way to the GIL first (close_gil_entry), while finalisation
// has not begun: it waits until every thread already on its way has the GIL, and from
// then on a thread that would ask for it parks. Only the thread running the exit (and
// the main thread, which runs the interpreter's finalisation) is let through.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::video::bindings {

// True once the interpreter has begun to finalise (or has finished).
bool interpreter_exiting();
// Remembers the interpreter's main thread; call once, at module load.
void remember_main_thread();
// Blocks the calling thread until the process ends.
[[noreturn]] void park_forever();
// Whether the calling thread parks when it would take the GIL or begin or end a native
// call (native_calls.hpp) after the exit hook: any thread but the one running the exit
// and the main thread, unless it holds the GIL (the exit waits for that thread's call).
bool may_park_at_exit();
// Closes the way to the GIL for every thread but the caller and the main thread, and
// waits until the threads already on their way have it. Call from the exit hook, with
// the GIL released, before the interpreter begins to finalise.
void close_gil_entry();

// Takes the GIL for a scope; a no-op when the thread holds it already. Parks the
// thread instead when the interpreter is exiting.
class GilAcquire {
 public:
  GilAcquire();
  ~GilAcquire();
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  bool acquired_ = false;
  PyGILState_STATE state_{};
};

// Gives up the GIL for a scope and takes it back at the end: GilAcquire's opposite.
// On any thread but the main one (which runs the interpreter's exit), parks instead
// when the interpreter began to exit meanwhile. Use it instead of pybind11's gil_scoped_release.
class GilRelease {
 public:
  GilRelease();
  ~GilRelease() noexcept(false);
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Drops a reference from any thread: at once when the GIL is held, after taking it
// otherwise, and not at all (a deliberate leak) once the interpreter is exiting or the
// exit hook has closed the way to the GIL.
void drop_reference(PyObject* object) noexcept;

}  // namespace corvane::video::bindings
