// The entry point of an extension module, written out instead of made by pybind11's
// PYBIND11_MODULE: that macro turns every error of the load into a generic ImportError,
// while a failed import must fail the load with its own error (a ModuleNotFoundError stays
// one).
#pragma once

#include <exception>

#include <pybind11/pybind11.h>

namespace corvane::video {

// Creates the module `name` and fills it with `init`; returns null with the error set
// when `init` fails.
inline PyObject* create_extension_module(const char* name, pybind11::module_::module_def& def,
                                         void (*init)(pybind11::module_&)) {
  auto module = pybind11::module_::create_extension_module(name, nullptr, &def);
  try {
    init(module);
    return module.ptr();  // the module holds its own reference, as pybind11 arranges it
  } catch (pybind11::error_already_set& error) {
    error.restore();
  } catch (const pybind11::builtin_exception& error) {
    error.set_error();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_ImportError, error.what());
  }
  return nullptr;
}

}  // namespace corvane::video
