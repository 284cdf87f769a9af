// ParallVideoCapture's thread host, stop and finaliser; see capture_object.hpp.
#include "capture_object.hpp"

#include "gil.hpp"
#include "interruptible_wait.hpp"
#include "python_errors.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

// Whether `thread`, a threading.Thread, is the calling thread.
bool on_the_current_thread(const py::object& thread) {
  py::object ident = thread.attr("ident");
  return ident.equal(py::module_::import("threading").attr("get_ident")());
}

}  // namespace

void PythonThreads::launch(std::uint64_t run) {
  GilAcquire gil;
  call_python([&] {
    py::object thread_class =
        py::module_::import("corvane.plugins.video.capture").attr("threading").attr("Thread");
    py::object thread = thread_class(py::arg("target") = self_.attr("_capture_loop"));
    owner_.thread = thread;
    owner_.thread_started = false;
    owner_.thread_returned = false;
    thread.attr("daemon") = true;
    // The target takes no argument: the thread finds its run here when it begins.
    owner_.worker_runs[thread] = run;
    try {
      thread.attr("start")();
    } catch (py::error_already_set&) {
      PyDict_DelItem(owner_.worker_runs.ptr(), thread.ptr());
      throw;
    }
    owner_.thread_started = true;
    return 0;
  });
}

void PythonThreads::join(std::chrono::duration<double> timeout) {
  GilAcquire gil;
  call_python([&] {
    // A thread that never started cannot be waited for, one that has come back from
    // its loop has nothing left to wait for, and a worker that finalises its own
    // capture must not wait for itself.
    if (owner_.thread.is_none() || !owner_.thread_started || owner_.thread_returned) return 0;
    if (on_the_current_thread(owner_.thread)) return 0;
    owner_.thread.attr("join")(py::arg("timeout") = timeout.count());
    return 0;
  });
}

namespace {

// stop once the interpreter has begun to finalise (a finaliser of a module global that
// stops its capture): the exit hook has already asked every worker to end and waited for
// it, and no thread may wait for the GIL now. So the run is ended and the source
// released without waiting for anything: no join, no lifecycle lock (a daemon thread
// parked by the exit may hold it), and the GIL is kept.
void stop_while_exiting(Capture& core) {
  core.shut_down();
  if (auto source = core.source()) {
    source->release();  // never waits: a source busy in a parked worker's call is left to it
    if (core.source() == source) core.set_source(nullptr);
  }
}

destructor pybind11_dealloc = nullptr;  // the type's own deallocation, set at import

void dealloc_after_finaliser(PyObject* self) {
  // Runs __del__ unless it has run already (a subclass's deallocation, or the cycle
  // collector); a finaliser that resurrects the object keeps it.
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  pybind11_dealloc(self);
}

void finalise(PyObject* self) {
  // What the interpreter does for a class with __del__: look it up on the type, call
  // it, and report what it raises as unraisable.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* result = PyObject_CallMethod(self, "__del__", nullptr);
  if (result == nullptr) {
    PyErr_WriteUnraisable(self);
  } else {
    Py_DECREF(result);
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace

void stop_capture(PyCapture& capture, py::handle self) {
  if (interpreter_exiting()) {
    stop_while_exiting(*capture.core);
    return;
  }
  PythonThreads threads(capture, self);
  if (capture.thread_returned && on_the_current_thread(capture.thread)) {
    // Most likely the finished worker finalising the capture it dropped, quite possibly
    // at exit: a worker that gave up the GIL now could be ended inside the request to take
    // it back, should the interpreter begin to exit. So the GIL stays held, if the stop
    // needs no wait for another thread's start or stop (it joins no thread that has
    // returned, and it never waits on a source). The belief may be wrong (a subclass's
    // `_capture_loop` that stops after the loop, a new thread with a finished worker's
    // ident): then another step may be in progress, and it is waited for below.
    if (capture.core->stop_without_waiting_for_a_turn(threads)) return;
  }
  // The wait for the other lifecycle step is made without the GIL, which that step may
  // need to finish. A stop that comes back on the thread whose step is in progress does
  // not wait at all.
  GilRelease nogil;
  capture.core->stop(threads, python_interruption());
}

void note_worker_returned(PyCapture& capture) {
  if (!capture.thread.is_none() && on_the_current_thread(capture.thread)) {
    capture.thread_returned = true;
  }
}

PyCapture::~PyCapture() {
  // The finaliser has run already (see run_finaliser_on_dealloc). What is left is to
  // let go of the source, as dropping the `cap` attribute would: it is closed by its own
  // destructor once no call on it is in progress.
  if (core) core->set_source(nullptr);
}

void run_finaliser_on_dealloc(py::handle cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  pybind11_dealloc = type->tp_dealloc;
  type->tp_dealloc = dealloc_after_finaliser;
  type->tp_finalize = finalise;
}

namespace {

// The capture's state inside `self`, or null when `self` is no ParallVideoCapture or its
// __init__ has not run.
PyCapture* state_of(py::handle self) {
  if (!py::isinstance<PyCapture>(self)) return nullptr;
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  auto holder = instance->get_value_and_holder(py::detail::get_type_info(typeid(PyCapture)), false);
  if (!holder || !holder.holder_constructed()) return nullptr;
  return static_cast<PyCapture*>(holder.value_ptr());
}

}  // namespace

bool is_constructed(py::handle self) { return state_of(self) != nullptr; }

PyCapture& unwrap(py::handle self) {
  if (PyCapture* state = state_of(self)) return *state;
  if (!py::isinstance<PyCapture>(self)) throw py::type_error("a ParallVideoCapture is required");
  throw py::type_error("ParallVideoCapture.__init__() has not been called");
}

}  // namespace corvane::video::bindings
