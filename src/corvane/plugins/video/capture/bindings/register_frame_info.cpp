// FrameInfo and ParallVideoCapture.get_frame_with_info: the current frame together with
// what the capture recorded when it published it (core/frame_info.hpp).
//
// get_frame_with_info is get_frame with the info taken in the same hold of the lock: it
// goes through the same wait and the same copy (frame_copy.hpp), so its arguments, its
// wait on frame_ready and its copy behave exactly as get_frame's.
#include <chrono>

#include "capture_object.hpp"
#include "docs.hpp"
#include "frame_copy.hpp"
#include "python_objects.hpp"
#include "register.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

// Seconds on the clock of time.monotonic(): both read CLOCK_MONOTONIC on Linux.
double monotonic_seconds(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

void register_frame_info(py::module_& m) {
  // A named tuple, so the info unpacks, compares and prints as users expect of one.
  py::object frame_info = py::module_::import("collections")
                              .attr("namedtuple")("FrameInfo",
                                                  py::make_tuple("number", "monotonic", "pos_msec"),
                                                  py::arg("module") = m.attr("__name__"));
  frame_info.attr("__doc__") = docs::kFrameInfo;
  m.attr("FrameInfo") = frame_info;

  auto cls = py::reinterpret_borrow<py::class_<PyCapture>>(m.attr("ParallVideoCapture"));
  cls.def(
      "get_frame_with_info",
      [frame_info](CaptureSelf self, py::object wait_for_frame,
                   py::object timeout) -> py::tuple {
        FrameInfo info;
        auto current =
            copy_current_frame(*self->core, requested_wait(wait_for_frame, timeout), &info);
        if (!current) return py::make_tuple(py::none(), py::none());
        py::object position = py::none();
        if (info.position_msec) position = py::float_(*info.position_msec);
        return py::make_tuple(
            frame_info(to_python(info.number), monotonic_seconds(info.published), position),
            current->second);
      },
      py::arg("wait_for_frame") = false, py::arg("timeout") = 0.1, docs::kGetFrameWithInfo);
}

}  // namespace corvane::video::bindings
