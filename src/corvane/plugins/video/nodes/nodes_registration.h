// Registration of the node classes on the nodes module, one function per pair of nodes.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::video::nodes {

// Defines CreateThreadedVideoCapture, then ReadThreadedFrame.
void register_threaded_nodes(pybind11::module_& module);

// Defines CreateVideoCapture, then ReadFrame.
void register_direct_nodes(pybind11::module_& module);

}  // namespace corvane::video::nodes
