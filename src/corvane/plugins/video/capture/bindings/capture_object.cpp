// ParallVideoCapture's thread host, stop and finaliser; see capture_object.hpp.
#include "capture_object.hpp"

#include "gil.hpp"
#include "python_errors.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

void PythonThreads::launch() {
  GilAcquire gil;
  call_python([&] {
    py::object thread_class =
        py::module_::import("corvane.plugins.video.capture").attr("threading").attr("Thread");
    py::object thread = thread_class(py::arg("target") = self_.attr("_capture_loop"));
    owner_.thread = thread;
    owner_.thread_started = false;
    thread.attr("daemon") = true;
    thread.attr("start")();
    owner_.thread_started = true;
    return 0;
  });
}

void PythonThreads::join(std::chrono::duration<double> timeout) {
  GilAcquire gil;
  call_python([&] {
    // A thread that never started cannot be waited for, and a worker that finalises
    // its own capture must not wait for itself.
    if (owner_.thread.is_none() || !owner_.thread_started) return 0;
    py::object ident = owner_.thread.attr("ident");
    if (ident.equal(py::module_::import("threading").attr("get_ident")())) return 0;
    owner_.thread.attr("join")(py::arg("timeout") = timeout.count());
    return 0;
  });
}

void stop_capture(PyCapture& capture, py::handle self) {
  PythonThreads threads(capture, self);
  GilRelease nogil;
  capture.core->stop(threads);
}

PyCapture::~PyCapture() {
  // The finaliser of an object that is collected: stop, reporting an error the way the
  // interpreter reports errors of finalisers. Nobody else can hold the capture now, so
  // its locks are free; the GIL stays held because this often runs on the finished
  // worker itself, where giving it up at interpreter exit would end the thread here.
  if (!core || interpreter_exiting()) return;
  try {
    if (core->running() || core->source()) {
      PythonThreads threads(*this, py::none());
      core->stop(threads);
    }
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("ParallVideoCapture.__del__");
  } catch (const PythonError& e) {
    e.restore();
    PyErr_WriteUnraisable(nullptr);
  } catch (const std::exception&) {
  }
}

bool is_constructed(py::handle self) {
  if (!py::isinstance<PyCapture>(self)) return false;
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  auto holder = instance->get_value_and_holder(py::detail::get_type_info(typeid(PyCapture)), false);
  return holder && holder.holder_constructed();
}

PyCapture& unwrap(py::handle self) {
  if (!py::isinstance<PyCapture>(self)) throw py::type_error("a ParallVideoCapture is required");
  if (!is_constructed(self)) {
    throw py::type_error("ParallVideoCapture.__init__() has not been called");
  }
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  auto holder = instance->get_value_and_holder(py::detail::get_type_info(typeid(PyCapture)), false);
  return *static_cast<PyCapture*>(holder.value_ptr());
}

}  // namespace corvane::video::bindings
