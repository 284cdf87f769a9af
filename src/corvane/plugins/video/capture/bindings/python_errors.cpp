// Conversion of Python exceptions for the core, and back.
#include "python_errors.hpp"

#include "gil.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

SharedPythonError share(py::error_already_set&& e) {
  return SharedPythonError(new py::error_already_set(std::move(e)), [](py::error_already_set* p) {
    if (PyGILState_Check()) {
      delete p;
    } else if (!interpreter_exiting()) {
      GilAcquire gil;
      delete p;
    }  // else leaked: the interpreter is going away
  });
}

// The text of an exception the way str() gives it.
std::string text_of(const py::error_already_set& e) {
  try {
    return py::str(e.value()).cast<std::string>();
  } catch (py::error_already_set&) {
    return "<exception str() failed>";
  }
}

}  // namespace

void throw_as_core_error(py::error_already_set& e) {
  const bool ordinary = e.matches(PyExc_Exception);
  std::string text = ordinary ? text_of(e) : std::string();
  SharedPythonError shared = share(std::move(e));
  if (ordinary) throw PythonError(text, std::move(shared));
  throw PythonInterrupt(std::move(shared));
}

void register_error_translation() {
  py::register_exception_translator([](std::exception_ptr p) {
    if (!p) return;
    try {
      std::rethrow_exception(p);
    } catch (const PythonError& e) {
      e.restore();
    } catch (const PythonInterrupt& e) {
      e.restore();
    } catch (const VideoError& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });
}

}  // namespace corvane::video::bindings
