// Running Python's signal handlers from an interrupted wait; see interruptible_wait.hpp.
#include "interruptible_wait.hpp"

#include <pybind11/pybind11.h>

#include "gil.hpp"
#include "python_errors.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

class PythonSignals final : public Interruption {
 public:
  void check() override {
    // Once the interpreter exits, handlers no longer run: wait on.
    if (interpreter_exiting()) return;
    GilAcquire gil;
    if (PyErr_CheckSignals() == 0) return;
    py::error_already_set raised;
    throw_as_core_error(raised);
  }
};

PythonSignals signals;  // stateless; no Python runs to build it

}  // namespace

Interruption* python_interruption() { return &signals; }

}  // namespace corvane::video::bindings
