// `lock` and `frame_ready`: Python objects with the methods of a plain lock and an
// event, backed by the capture's own Lock and Event so that the native worker and
// Python callers share them. Blocking calls give up the GIL while they wait.
#include <cmath>

#include "gil.hpp"
#include "interruptible_wait.hpp"
#include "register.hpp"
#include "timeouts.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

struct CaptureLock {
  std::shared_ptr<Capture> capture;
  Lock& lock() const { return capture->lock(); }
};

struct FrameReadyEvent {
  std::shared_ptr<Capture> capture;
  Event& event() const { return capture->frame_ready(); }
};

bool acquire(const CaptureLock& self, bool blocking, double timeout) {
  // The checks and their order are threading.Lock's.
  if (std::isnan(timeout)) refuse_nan_timeout();
  if (!blocking) {
    if (timeout != -1) throw py::value_error("can't specify a timeout for a non-blocking call");
    return self.lock().try_acquire();
  }
  if (timeout != -1) {
    if (timeout < 0) throw py::value_error("timeout value must be a non-negative number");
    check_timeout(timeout);
  }
  if (self.lock().try_acquire()) return true;
  // The thread holding the lock (a callback that the capture runs while it holds it, such
  // as a source's set inside seek, or a caller of its own) would wait for itself for
  // ever; a timed wait ends with its timeout, as threading.Lock's does.
  if (timeout == -1 && self.lock().held_by_this_thread()) {
    throw std::runtime_error("cannot acquire the lock: this thread holds it");
  }
  GilRelease nogil;
  if (timeout == -1) {
    self.lock().acquire(python_interruption());
    return true;
  }
  return self.lock().try_acquire_for(std::chrono::duration<double>(timeout),
                                     python_interruption());
}

void release(const CaptureLock& self) {
  if (!self.lock().release()) throw std::runtime_error("release unlocked lock");
}

}  // namespace

void register_sync(py::module_& m) {
  py::class_<CaptureLock>(m, "_CaptureLock", "A plain, non-re-entrant lock shared with the worker.")
      .def("acquire", &acquire, py::arg("blocking") = true, py::arg("timeout") = -1.0)
      .def("release", &release)
      .def("locked", [](const CaptureLock& self) { return self.lock().locked(); })
      .def("__enter__", [](const CaptureLock& self) { return acquire(self, true, -1); })
      .def("__exit__", [](const CaptureLock& self, py::args) { release(self); });

  py::class_<FrameReadyEvent>(m, "_FrameReadyEvent",
                              "An event the worker sets after each new frame.")
      .def("set", [](const FrameReadyEvent& self) { self.event().set(); })
      .def("clear", [](const FrameReadyEvent& self) { self.event().clear(); })
      .def("is_set", [](const FrameReadyEvent& self) { return self.event().is_set(); })
      .def(
          "wait",
          [](const FrameReadyEvent& self, py::object timeout) {
            if (timeout.is_none()) {
              GilRelease nogil;
              return self.event().wait(python_interruption());
            }
            const double seconds = event_wait_seconds(timeout.cast<double>());
            check_timeout(seconds);
            GilRelease nogil;
            return self.event().wait_for(std::chrono::duration<double>(seconds),
                                         python_interruption());
          },
          py::arg("timeout") = py::none());
}

py::object make_lock_object(std::shared_ptr<Capture> capture) {
  return py::cast(CaptureLock{std::move(capture)});
}

py::object make_event_object(std::shared_ptr<Capture> capture) {
  return py::cast(FrameReadyEvent{std::move(capture)});
}

}  // namespace corvane::video::bindings
