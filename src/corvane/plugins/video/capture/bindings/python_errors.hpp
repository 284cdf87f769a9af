// Host-language errors carried through the native core.
//
// A Python exception raised inside a call the core makes (a source method, the logger,
// the thread factory) becomes a PythonError when it is an ordinary Exception, which the
// core's guards catch and log by its text, or a PythonInterrupt otherwise (keyboard
// interrupt, system exit), which passes through every guard. Both keep the original
// exception so that it can be raised again, unchanged, when it reaches Python.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "core/errors.hpp"

namespace corvane::video::bindings {

// The original exception, deleted with the GIL from whatever thread drops it last.
using SharedPythonError = std::shared_ptr<pybind11::error_already_set>;

class PythonError : public VideoError {
 public:
  PythonError(const std::string& text, SharedPythonError error)
      : VideoError(text), error_(std::move(error)) {}
  // Raises the original exception again; the GIL must be held.
  void restore() const { error_->restore(); }

 private:
  SharedPythonError error_;
};

class PythonInterrupt : public Interrupt {
 public:
  explicit PythonInterrupt(SharedPythonError error) : error_(std::move(error)) {}
  void restore() const { error_->restore(); }

 private:
  SharedPythonError error_;
};

// Converts the exception `e` (caught with the GIL held) into one of the two above and
// throws it.
[[noreturn]] void throw_as_core_error(pybind11::error_already_set& e);

// Runs `f` with the GIL held and converts any Python exception it raises.
template <typename F>
auto call_python(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (pybind11::error_already_set& e) {
    throw_as_core_error(e);
  }
}

// Makes the errors of the core and of this layer raise the right Python exceptions.
void register_error_translation();

}  // namespace corvane::video::bindings
