// Timeouts given by Python callers, checked the way the threading module checks them:
// anything beyond the longest wait the platform can express is refused, so no value means
// "wait for ever" by accident. NaN is each caller's own case, as in `threading`: an
// event's wait takes it as no wait at all, a lock's acquire refuses it.
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

// What `threading`'s lock raises for a NaN timeout.
[[noreturn]] inline void refuse_nan_timeout() {
  throw pybind11::value_error("Invalid value NaN (not a number)");
}

// threading.Event.wait(timeout) waits only for a timeout above zero; NaN is none.
inline double event_wait_seconds(double seconds) { return std::isnan(seconds) ? 0.0 : seconds; }

inline void check_timeout(double seconds) {
  if (seconds > timeout_max) {
    PyErr_SetString(PyExc_OverflowError, "timeout value is too large");
    throw pybind11::error_already_set();
  }
}

}  // namespace corvane::video::bindings
