// Taking and giving up the interpreter lock (GIL) from native threads, safely at
// interpreter exit.
//
// The capture's worker runs native code without the GIL and takes it back only to call
// a host-language source, to log, or to drop host objects. Once the interpreter is
// finalising, a thread that asks for the GIL is terminated from inside the request,
// which would unwind through native frames that cannot take that. So a worker that
// would need the GIL after finalisation has begun parks instead: it sleeps until the
// process ends, touching nothing. Daemon threads are abandoned at exit anyway.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::video::bindings {

// True once the interpreter has begun to finalise (or has finished).
bool interpreter_exiting();
// Remembers the interpreter's main thread; call once, at module load.
void remember_main_thread();
// Blocks the calling thread until the process ends.
[[noreturn]] void park_forever();

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
// otherwise, and not at all (a deliberate leak) once the interpreter is exiting.
void drop_reference(PyObject* object) noexcept;

}  // namespace corvane::video::bindings
