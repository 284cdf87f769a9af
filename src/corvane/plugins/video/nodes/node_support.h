// Helpers shared by the node ticks: Python truth values and texts, the logger and status
// looked up on the nodes module at the moment of use, and the construction of a node class
// as a Python subclass of the framework's SimpleActionNode.
#pragma once

#include <initializer_list>
#include <utility>

#include <pybind11/pybind11.h>

#include "common/unpack_pair.hpp"  // unpack_pair, shared with the capture module

namespace corvane::video::nodes {

namespace py = pybind11;

// One entry of a node class's `ports` list; every description is empty.
struct PortSpec {
  const char* name;
  const char* type;
  const char* direction;
};

// Body of a node's tick. `module` is the nodes module, whose attributes (logger, NodeStatus,
// ParallVideoCapture, cv2) are read on every use so that replacing one is honoured.
using TickBody = py::object (*)(const py::module_& module, const py::object& node);

// Defines the class `name` on `module`: a subclass of module.SimpleActionNode whose own
// attributes are exactly `ports` and a static `tick(node)` that runs `body`.
void add_node_class(py::module_& module, const char* name, std::initializer_list<PortSpec> ports,
                    TickBody body);

// Python truth value of `value`; an error raised by its __bool__ or __len__ propagates.
bool truthy(py::handle value);

// `head` followed directly by `tail`.
py::str join_text(const py::str& head, const py::str& tail);

// `head` followed directly by the default text form of `value` (str(value)).
py::str text_after(const char* head, py::handle value);

// module.logger.<level>, looked up now.
py::object logger_method(const py::module_& module, const char* level);

// module.NodeStatus.SUCCESS, looked up now.
py::object success(const py::module_& module);

}  // namespace corvane::video::nodes
