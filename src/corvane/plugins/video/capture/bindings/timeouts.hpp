// Timeouts given by Python callers, checked the way the threading module checks them:
// NaN is refused, and so is anything beyond the longest wait the platform can express,
// so no value means "wait for ever" by accident.
#pragma once

#include <cmath>

#include <pybind11/pybind11.h>

namespace corvane::video::bindings {

// threading.TIMEOUT_MAX in seconds, as `threading` gives it; written once at module
// import, before any capture exists.
inline double timeout_max = 0.0;

inline void read_timeout_max(pybind11::handle threading) {
  timeout_max = threading.attr("TIMEOUT_MAX").cast<double>();
}

inline void check_timeout(double seconds) {
  if (std::isnan(seconds)) throw pybind11::value_error("Invalid value NaN (not a number)");
  if (seconds > timeout_max) {
    PyErr_SetString(PyExc_OverflowError, "timeout value is too large");
    throw pybind11::error_already_set();
  }
}

}  // namespace corvane::video::bindings
