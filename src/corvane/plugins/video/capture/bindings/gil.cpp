// GIL helpers for native threads; see gil.hpp.
#include "gil.hpp"

#include <chrono>
#include <thread>

namespace corvane::video::bindings {

namespace {
unsigned long main_thread = 0;  // written once at module load, before any worker exists
}  // namespace

void remember_main_thread() {
  main_thread = pybind11::module_::import("threading")
                    .attr("main_thread")()
                    .attr("ident")
                    .cast<unsigned long>();
}

bool interpreter_exiting() {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsInitialized() || Py_IsFinalizing();  // public from 3.13 on, the private name gone
#else
  return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

GilAcquire::GilAcquire() {
  if (PyGILState_Check()) return;
  if (interpreter_exiting()) park_forever();
  state_ = PyGILState_Ensure();
  acquired_ = true;
}

GilAcquire::~GilAcquire() {
  // During exit this scope is left only by the runtime ending the thread; the lock is
  // not ours to give back then.
  if (acquired_ && !interpreter_exiting()) PyGILState_Release(state_);
}

GilRelease::GilRelease() : state_(PyEval_SaveThread()) {}

GilRelease::~GilRelease() noexcept(false) {
  if (interpreter_exiting() && PyThread_get_thread_ident() != main_thread) park_forever();
  PyEval_RestoreThread(state_);
}

void drop_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (PyGILState_Check()) {
    Py_DECREF(object);
    return;
  }
  if (interpreter_exiting()) return;
  const PyGILState_STATE state = PyGILState_Ensure();
  Py_DECREF(object);
  PyGILState_Release(state);
}

}  // namespace corvane::video::bindings
