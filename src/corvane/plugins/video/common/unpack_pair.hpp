// Taking a source's read result apart into exactly two values, the way the assignment
// `first, second = value` does it, with the interpreter's own errors for anything else
// (not iterable, too few, too many), whatever the interpreter's version words them.
#pragma once

#include <utility>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

namespace corvane::video {

// Call with the GIL held.
inline std::pair<pybind11::object, pybind11::object> unpack_pair(pybind11::handle value) {
  // Made once, under the GIL, and kept for the life of the process.
  static pybind11::object* const unpack = [] {
    pybind11::dict scope;
    pybind11::exec("def unpack(value):\n    first, second = value\n    return first, second\n",
                   scope);
    return new pybind11::object(scope["unpack"]);
  }();
  pybind11::tuple pair = (*unpack)(value);
  return {pair[0], pair[1]};
}

}  // namespace corvane::video
