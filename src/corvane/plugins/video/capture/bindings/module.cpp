// The extension module corvane.plugins.video.capture.
//
// Loading imports OpenCV, threading, time and the loguru logger, in that order, and
// keeps them as module attributes that the capture looks up at the moment of use, so a
// replaced cv2.VideoCapture or logger is honoured. Then it defines ParallVideoCapture.
#include <pybind11/pybind11.h>

#include "common/extension_entry.hpp"
#include "common/unpack_pair.hpp"
#include "exit_hook.hpp"
#include "gil.hpp"
#include "python_errors.hpp"
#include "module_services.hpp"
#include "register.hpp"
#include "timeouts.hpp"

#ifndef CORVANE_VIDEO_VERSION
#error "CORVANE_VIDEO_VERSION is defined by cmake/install.cmake from the project's version"
#endif

namespace py = pybind11;
using namespace corvane::video::bindings;
using corvane::video::make_pair_unpacker;

namespace {

void init_capture(py::module_& m) {
  py::options options;
  options.disable_function_signatures();

  py::module_ cv2 = py::module_::import("cv2");
  m.attr("cv2") = cv2;
  m.attr("threading") = py::module_::import("threading");
  read_timeout_max(m.attr("threading"));
  m.attr("time") = py::module_::import("time");
  m.attr("logger") = py::module_::import("loguru").attr("logger");

  ModuleServices services;
  // Made here, at import, never inside a C++ static initialiser; kept by the module.
  m.attr("_unpack_pair") = make_pair_unpacker();
  services.unpack_pair = m.attr("_unpack_pair").ptr();
  services.opener = std::make_shared<ModuleSourceOpener>(py::reinterpret_borrow<py::object>(m),
                                                         cv2.attr("VideoCapture"),
                                                         services.unpack_pair);
  services.logger = std::make_shared<ModuleLogger>(py::reinterpret_borrow<py::object>(m));
  remember_main_thread();
  register_error_translation();
  register_capture(m, services);
  register_frame_info(m);
  register_sync(m);
  register_native_source(m);
  m.attr("__version__") = CORVANE_VIDEO_VERSION;
  install_exit_hook();
}

py::module_::module_def capture_module_def;

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_capture() {
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  return corvane::video::create_extension_module("capture", capture_module_def, init_capture);
}
