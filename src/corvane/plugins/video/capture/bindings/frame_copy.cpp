// Copies of the current frame; see frame_copy.hpp.
#include "frame_copy.hpp"

#include "gil.hpp"
#include "interruptible_wait.hpp"
#include "python_objects.hpp"
#include "timeouts.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

std::optional<std::pair<Number, py::object>> copy_current_frame(
    Capture& core, std::optional<double> wait_seconds, FrameInfo* info) {
  std::optional<Frame> native;
  std::optional<std::pair<Number, py::object>> result;
  cv::Mat copy;
  {
    GilRelease nogil;
    // The event is consumed only once the lock is taken: an interrupt of either wait
    // leaves both as they were.
    const bool consume =
        wait_seconds &&
        core.await_new_frame(std::chrono::duration<double>(*wait_seconds), python_interruption());
    core.with_frame([&](const Frame* frame, const Number& number, const FrameInfo& stored) {
      // A source may report success with None for an image: that is no frame.
      if (frame == nullptr || frame->foreign.get() == Py_None) return;
      if (info) *info = stored;
      if (frame->foreign) {
        GilAcquire gil;
        result.emplace(number, object_of(frame->foreign).attr("copy")());
      } else {
        native = *frame;
        result.emplace(number, py::object());
      }
    }, python_interruption(), consume);
    if (native) copy = native->image.clone();
    native.reset();
  }
  if (result && !result->second) result->second = mat_to_array(copy, true);
  return result;
}

std::optional<double> requested_wait(py::handle wait_for_frame, py::handle timeout) {
  const double seconds = PyFloat_AsDouble(timeout.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  const int wait = PyObject_IsTrue(wait_for_frame.ptr());
  if (wait < 0) throw py::error_already_set();
  if (!wait) return std::nullopt;
  // Waits as frame_ready.wait(timeout) would, NaN included.
  const double wait_seconds = event_wait_seconds(seconds);
  check_timeout(wait_seconds);
  return wait_seconds;
}

}  // namespace corvane::video::bindings
