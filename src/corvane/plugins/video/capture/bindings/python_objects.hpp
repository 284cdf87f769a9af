// Conversions between core values and Python objects: numbers that keep their kind,
// host objects kept alive by native code, and frames as numpy arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "core/frame.hpp"
#include "core/number.hpp"

namespace corvane::video::bindings {

// Text between Python and the core. The core holds UTF-8; lone surrogates, which a
// Python string may hold, pass through both ways unchanged.
std::string text_from_python(pybind11::handle text);
pybind11::str text_to_python(const std::string& text);

// An int stays an int (of any size), a float a float, and a value of another kind is
// the very object it was made from.
pybind11::object to_python(const Number& n);
// A number reported by a source: int (and bool) of any size, float, and any object with
// __index__ or __float__; raises TypeError for anything else.
Number number_from_python(pybind11::handle value);
// A value kept as given: an exact int or float as the core's own number, anything else
// as a host number whose arithmetic, comparisons and text are Python's.
Number number_as_given(pybind11::handle value);

// A test of `value`'s truth, run with the GIL whenever it is asked; what its __bool__
// raises comes out of the test.
std::function<bool()> truth_of(pybind11::object value);

// Texts of the core's values as Python writes them: a float as repr() gives it, an
// error of the core as the Python statement that failed the same way would word it.
std::string python_text(const Number& n);
std::string python_error_text(const std::exception& e);

// A reference to a host object that native code can hold and drop on any thread.
std::shared_ptr<const void> keep_alive(pybind11::object object);
// The object behind a keep_alive handle.
pybind11::object object_of(const std::shared_ptr<const void>& kept);

// A numpy array over the pixels of `image` with cv2's shape and dtype conventions
// ((h, w) for one channel, (h, w, c) otherwise). The array shares the pixels and keeps
// them alive; `writable` false marks it read-only.
pybind11::array mat_to_array(const cv::Mat& image, bool writable);

}  // namespace corvane::video::bindings
