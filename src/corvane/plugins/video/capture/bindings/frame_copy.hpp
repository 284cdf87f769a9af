// Copies of the current frame for Python callers.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <utility>

#include "core/capture.hpp"

namespace corvane::video::bindings {

// The current frame copied for the caller, with its number; nullopt without a frame.
// A native frame is copied without the GIL and outside the lock (the stored image is
// never written again); a frame from a Python source is copied with its own copy(),
// under the lock.
// With `wait_seconds`, first waits for a new frame the way get_frame does, in the same
// stretch without the GIL. With `info`, stores there the info of the frame copied (left
// alone without a frame).
std::optional<std::pair<Number, pybind11::object>> copy_current_frame(
    Capture& core, std::optional<double> wait_seconds = std::nullopt, FrameInfo* info = nullptr);

// The wait that get_frame's arguments ask for: none unless `wait_for_frame` is true, else
// `timeout` seconds. Raises TypeError for a timeout that is no number, whether or not it
// is used, and refuses a timeout `threading` would refuse for a wait.
std::optional<double> requested_wait(pybind11::handle wait_for_frame, pybind11::handle timeout);

}  // namespace corvane::video::bindings
