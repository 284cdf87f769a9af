// The module corvane.plugins.video.nodes. Loading it imports, in this order, the loguru
// logger, the framework's node interface (corvane.nodes), ParallVideoCapture from the capture
// module and OpenCV, binding each as a module attribute; a failed import fails the load. It
// then defines the four node classes. The ticks read those attributes when they run, so a
// replaced logger, capture class or cv2.VideoCapture is the one they use.
#include <pybind11/pybind11.h>

#include <exception>
#include <initializer_list>
#include <string>

#include "common/extension_entry.hpp"
#include "nodes_registration.h"

#ifndef CORVANE_VIDEO_VERSION
#error "CORVANE_VIDEO_VERSION is defined by cmake/install.cmake from the project's version"
#endif

namespace py = pybind11;

namespace {

// `from <module_name> import <names...>`: binds each attribute on `target` in turn. A missing
// attribute is an ImportError, as it is for the import statement.
void import_from(py::module_& target, const char* module_name,
                 std::initializer_list<const char*> names) {
  py::module_ source = py::module_::import(module_name);
  for (const char* name : names) {
    py::object value;
    try {
      value = source.attr(name);
    } catch (py::error_already_set& error) {
      if (!error.matches(PyExc_AttributeError)) {
        throw;
      }
      throw py::import_error(std::string("cannot import name '") + name + "' from '" + module_name +
                             "'");
    }
    target.attr(name) = value;
  }
}

void init_nodes(py::module_& module) {
  // Node classes and their ticks carry no documentation of pybind11's making.
  py::options options;
  options.disable_function_signatures();

  import_from(module, "loguru", {"logger"});
  import_from(module, "corvane.nodes", {"SimpleActionNode", "TreeNode", "NodeStatus"});
  import_from(module, "corvane.plugins.video.capture", {"ParallVideoCapture"});
  module.attr("cv2") = py::module_::import("cv2");

  corvane::video::nodes::register_threaded_nodes(module);
  corvane::video::nodes::register_direct_nodes(module);
  module.attr("__version__") = CORVANE_VIDEO_VERSION;
}

py::module_::module_def nodes_module_def;

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_nodes() {
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  return corvane::video::create_extension_module("nodes", nodes_module_def, init_nodes);
}
