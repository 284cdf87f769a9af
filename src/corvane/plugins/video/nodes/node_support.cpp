// Implementation of the helpers shared by the node ticks.
#include "node_support.h"

#include <string>

namespace corvane::video::nodes {

namespace {

// Raises the pending Python error as a C++ exception when `ok` is false.
void check(bool ok) {
  if (!ok) {
    throw py::error_already_set();
  }
}

}  // namespace

void add_node_class(py::module_& module, const char* name, std::initializer_list<PortSpec> ports,
                    TickBody body) {
  py::list port_list;
  for (const PortSpec& declared : ports) {
    // Insertion order is the key order a reader of the declaration sees.
    py::dict port;
    port["name"] = declared.name;
    port["type"] = declared.type;
    port["direction"] = declared.direction;
    port["description"] = "";
    port_list.append(port);
  }

  // The closure keeps the module alive for as long as the tick exists, so the attributes it
  // reads are always there. The doc text is only a text signature: it lets introspection see
  // the parameter `node` and leaves __doc__ None.
  py::cpp_function tick([module, body](const py::object& node) { return body(module, node); },
                        py::name("tick"), py::arg("node"), "tick(node)\n--\n\n");

  py::dict namespace_;
  namespace_["__module__"] = module.attr("__name__");
  namespace_["ports"] = port_list;
  namespace_["tick"] = py::staticmethod(tick);

  // Build the class the way a class statement would: through the base's metaclass.
  py::object base = module.attr("SimpleActionNode");
  py::object metaclass = py::type::of(base);
  module.attr(name) = metaclass(name, py::make_tuple(base), namespace_);
}

bool truthy(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  check(result >= 0);
  return result != 0;
}

py::str join_text(const py::str& head, const py::str& tail) {
  PyObject* joined = PyUnicode_Concat(head.ptr(), tail.ptr());
  check(joined != nullptr);
  return py::reinterpret_steal<py::str>(joined);
}

py::str text_after(const char* head, py::handle value) {
  return join_text(py::str(head), py::str(value));
}

py::object logger_method(const py::module_& module, const char* level) {
  return module.attr("logger").attr(level);
}

py::object success(const py::module_& module) { return module.attr("NodeStatus").attr("SUCCESS"); }

}  // namespace corvane::video::nodes
