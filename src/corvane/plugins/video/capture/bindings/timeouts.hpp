// Timeouts given by Python callers, checked the way the threading module checks them:
// NaN is refused, and so is anything beyond the longest wait the platform can express,
// so no value means "wait for ever" by accident.
#pragma once

#include <cmath>

#include <pybind11/pybind11.h>

namespace corvane::video::bindings {

// threading.TIMEOUT_MAX on this platform, in seconds.
inline constexpr double kTimeoutMax = 9223372036.0;

inline void check_timeout(double seconds) {
  if (std::isnan(seconds)) throw pybind11::value_error("Invalid value NaN (not a number)");
  if (seconds > kTimeoutMax) {
    PyErr_SetString(PyExc_OverflowError, "timeout value is too large");
    throw pybind11::error_already_set();
  }
}

}  // namespace corvane::video::bindings
