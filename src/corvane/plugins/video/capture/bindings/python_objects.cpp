// Numbers, kept objects and numpy frames; see python_objects.hpp.
#include "python_objects.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <opencv2/core.hpp>

#include "core/errors.hpp"
#include "gil.hpp"
#include "python_errors.hpp"

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

namespace {

// A Python number of a kind the core does not know (a Fraction, a Decimal, a bool),
// kept as the object itself. Every operation takes the GIL.
class PythonNumber final : public HostNumber {
 public:
  explicit PythonNumber(py::handle value) : value_(keep_alive(py::reinterpret_borrow<py::object>(value))) {}
  py::object object() const { return object_of(value_); }

  std::string text() const override {
    GilAcquire gil;
    return call_python([&] { return text_from_python(py::str(object())); });
  }
  double to_double() const override {
    GilAcquire gil;
    return call_python([&] {
      const double d = PyFloat_AsDouble(object().ptr());
      if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
      return d;
    });
  }
  Number plus_one() const override {
    GilAcquire gil;
    return call_python([&] { return number_as_given(object() + py::int_(1)); });
  }
  bool less_than(const Number& other) const override {
    GilAcquire gil;
    return call_python([&] { return object() < to_python(other); });
  }
  bool greater_than(const Number& other) const override {
    GilAcquire gil;
    return call_python([&] { return object() > to_python(other); });
  }

 private:
  std::shared_ptr<const void> value_;
};

// An int of any size: within 64 bits as such, beyond as its decimal digits.
Number integer_from_python(py::handle value) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow == 0) return Number::integer(v);
  return Number::integer_from_digits(text_from_python(py::str(value)));
}

// Shortest round-trip digits laid out the way Python prints floats: positional for
// exponents -4..15, scientific with a signed two-digit exponent otherwise, and always
// with a decimal point or an exponent.
std::string float_text(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  const auto e_pos = sci.find('e');
  std::string mantissa = sci.substr(0, e_pos);
  const int exponent = std::stoi(sci.substr(e_pos + 1));
  std::string sign;
  if (!mantissa.empty() && mantissa[0] == '-') {
    sign = "-";
    mantissa.erase(0, 1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  if (exponent < -4 || exponent >= 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char exp_buf[16];
    std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return out + exp_buf;
  }
  if (exponent < 0) {
    return sign + "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  }
  const auto int_len = static_cast<size_t>(exponent) + 1;
  if (digits.size() <= int_len) {
    return sign + digits + std::string(int_len - digits.size(), '0') + ".0";
  }
  return sign + digits.substr(0, int_len) + "." + digits.substr(int_len);
}

}  // namespace

py::object to_python(const Number& n) {
  switch (n.kind()) {
    case Number::Kind::kReal:
      return py::float_(n.to_double());
    case Number::Kind::kHost:
      return static_cast<const PythonNumber*>(n.host_value())->object();
    case Number::Kind::kInteger:
      break;
  }
  if (n.fits_int64()) return py::int_(n.as_integer());
  const std::string digits = n.text();
  auto value = py::reinterpret_steal<py::object>(PyLong_FromString(digits.c_str(), nullptr, 10));
  if (!value) throw py::error_already_set();
  return value;
}

Number number_from_python(py::handle value) {
  if (PyFloat_Check(value.ptr())) return Number::real(PyFloat_AsDouble(value.ptr()));
  if (PyLong_Check(value.ptr()) || PyIndex_Check(value.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!i) throw py::error_already_set();
    return integer_from_python(i);
  }
  if (Py_TYPE(value.ptr())->tp_as_number != nullptr &&
      Py_TYPE(value.ptr())->tp_as_number->nb_float != nullptr) {
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return Number::real(d);
  }
  throw py::type_error("must be real number, not " + std::string(Py_TYPE(value.ptr())->tp_name));
}

Number number_as_given(py::handle value) {
  if (PyLong_CheckExact(value.ptr())) return integer_from_python(value);
  if (PyFloat_CheckExact(value.ptr())) return Number::real(PyFloat_AsDouble(value.ptr()));
  return Number::host(std::make_shared<PythonNumber>(value));
}

std::function<bool()> truth_of(py::object value) {
  return [kept = keep_alive(std::move(value))] {
    GilAcquire gil;
    return call_python([&] {
      const int truth = PyObject_IsTrue(object_of(kept).ptr());
      if (truth < 0) throw py::error_already_set();
      return truth == 1;
    });
  };
}

std::string python_text(const Number& n) {
  return n.kind() == Number::Kind::kReal ? float_text(n.to_double()) : n.text();
}

std::string python_error_text(const std::exception& e) {
  if (const auto* missing = dynamic_cast<const MissingSource*>(&e)) {
    return "'NoneType' object has no attribute '" + missing->operation() + "'";
  }
  if (const auto* no_integer = dynamic_cast<const NoIntegerValue*>(&e)) {
    return no_integer->nan() ? "cannot convert float NaN to integer"
                             : "cannot convert float infinity to integer";
  }
  return e.what();
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
