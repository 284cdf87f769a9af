// The parts of the capture module, each registered by its own file.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "core/capture.hpp"
#include "core/source_handle.hpp"

namespace corvane::video::bindings {

struct ModuleServices;

// ParallVideoCapture, opening sources and logging through `services`.
void register_capture(pybind11::module_& m, const ModuleServices& services);
// The lock and event objects behind a capture's `lock` and `frame_ready`.
void register_sync(pybind11::module_& m);
// The object a native source shows as `cap`.
void register_native_source(pybind11::module_& m);
// FrameInfo, and ParallVideoCapture's get_frame_with_info (after register_capture).
void register_frame_info(pybind11::module_& m);

// Python views of a capture's shared objects (each keeps the capture alive).
pybind11::object make_lock_object(std::shared_ptr<Capture> capture);
pybind11::object make_event_object(std::shared_ptr<Capture> capture);
pybind11::object make_native_source_object(std::shared_ptr<SourceHandle> source);
// The native source behind an object made by make_native_source_object, or null.
std::shared_ptr<SourceHandle> native_source_of(pybind11::handle object);

}  // namespace corvane::video::bindings
