// Numbers, kept objects and numpy frames; see python_objects.hpp.
#include "python_objects.hpp"

#include <opencv2/core.hpp>

#include "core/errors.hpp"
#include "gil.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

std::string text_from_python(py::handle text) {
  auto bytes = py::reinterpret_steal<py::bytes>(
      PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
  if (!bytes) throw py::error_already_set();
  return bytes.cast<std::string>();
}

py::str text_to_python(const std::string& text) {
  auto str = py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "surrogatepass"));
  if (!str) throw py::error_already_set();
  return str;
}

py::object to_python(const Number& n) {
  if (n.is_integer()) return py::int_(n.as_integer());
  return py::float_(n.to_double());
}

Number number_from_python(py::handle value) {
  if (PyFloat_Check(value.ptr())) return Number::real(PyFloat_AsDouble(value.ptr()));
  if (PyLong_Check(value.ptr()) || PyIndex_Check(value.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!i) throw py::error_already_set();
    const long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return Number::integer(v);
  }
  if (Py_TYPE(value.ptr())->tp_as_number != nullptr &&
      Py_TYPE(value.ptr())->tp_as_number->nb_float != nullptr) {
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return Number::real(d);
  }
  throw py::type_error("must be real number, not " + std::string(Py_TYPE(value.ptr())->tp_name));
}

std::shared_ptr<const void> keep_alive(py::object object) {
  PyObject* raw = object.release().ptr();
  return std::shared_ptr<const void>(
      raw, [](const void* p) { drop_reference(static_cast<PyObject*>(const_cast<void*>(p))); });
}

py::object object_of(const std::shared_ptr<const void>& kept) {
  return py::reinterpret_borrow<py::object>(static_cast<PyObject*>(const_cast<void*>(kept.get())));
}

namespace {

py::dtype dtype_of(int depth) {
  switch (depth) {
    case CV_8U:
      return py::dtype::of<std::uint8_t>();
    case CV_8S:
      return py::dtype::of<std::int8_t>();
    case CV_16U:
      return py::dtype::of<std::uint16_t>();
    case CV_16S:
      return py::dtype::of<std::int16_t>();
    case CV_32S:
      return py::dtype::of<std::int32_t>();
    case CV_32F:
      return py::dtype::of<float>();
    case CV_64F:
      return py::dtype::of<double>();
    case CV_16F:
      return py::dtype("float16");
    default:
      throw py::type_error("unsupported image depth " + std::to_string(depth));
  }
}

}  // namespace

py::array mat_to_array(const cv::Mat& image, bool writable) {
  const auto rows = static_cast<py::ssize_t>(image.rows);
  const auto cols = static_cast<py::ssize_t>(image.cols);
  const auto channels = static_cast<py::ssize_t>(image.channels());
  const auto elem = static_cast<py::ssize_t>(image.elemSize1());
  std::vector<py::ssize_t> shape{rows, cols};
  std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(image.step[0]),
                                   static_cast<py::ssize_t>(image.step[1])};
  if (channels > 1) {
    shape.push_back(channels);
    strides.push_back(elem);
  }
  // The capsule owns a reference to the pixels for as long as the array lives.
  auto* owner = new cv::Mat(image);
  py::capsule base(owner, [](void* p) { delete static_cast<cv::Mat*>(p); });
  py::array array(dtype_of(image.depth()), shape, strides, image.data, base);
  if (!writable) array.attr("setflags")(py::arg("write") = false);
  return array;
}

}  // namespace corvane::video::bindings
