// Taking a source's read result apart into exactly two values, the way the assignment
// `first, second = value` does it, with the interpreter's own errors for anything else
// (not iterable, too few, too many), whatever the interpreter's version words them.
//
// The helper is compiled once at module import and kept in the module's state. Not in a
// function-local static: its initialiser would run Python, and a thread holding the GIL
// would then block on the initialiser's guard while the initialising thread waits for
// the GIL.
#pragma once

#include <utility>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

namespace corvane::video {

// The helper function; call at module import, with the GIL held.
inline pybind11::object make_pair_unpacker() {
  pybind11::dict scope;
  pybind11::exec("def unpack(value):\n    first, second = value\n    return first, second\n",
                 scope);
  return scope["unpack"];
}

// `value` taken apart by `unpacker` (made by make_pair_unpacker). Call with the GIL held.
inline std::pair<pybind11::object, pybind11::object> unpack_pair(pybind11::handle unpacker,
                                                                 pybind11::handle value) {
  pybind11::tuple pair = unpacker(value);
  return {pair[0], pair[1]};
}

}  // namespace corvane::video
