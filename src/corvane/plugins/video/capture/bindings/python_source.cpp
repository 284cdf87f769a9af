// PythonSource; see python_source.hpp.
#include "python_source.hpp"

#include "common/unpack_pair.hpp"
#include "core/errors.hpp"
#include "gil.hpp"
#include "python_errors.hpp"
#include "python_objects.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

PythonSource::PythonSource(py::object source, PyObject* unpack_pair)
    : source_(source.release().ptr()), unpack_pair_(unpack_pair) {}

PythonSource::~PythonSource() { drop_reference(source_); }

py::object PythonSource::object() const { return py::reinterpret_borrow<py::object>(source_); }

bool PythonSource::is_opened() {
  GilAcquire gil;
  return call_python([&] { return py::bool_(object().attr("isOpened")()).cast<bool>(); });
}

bool PythonSource::read(Frame& out) {
  GilAcquire gil;
  return call_python([&] {
    // The call itself may block for long (a dead stream); it holds no temporaries that
    // would need the GIL to unwind if the interpreter exits meanwhile.
    PyObject* raw = PyObject_CallMethod(source_, "read", nullptr);
    if (raw == nullptr) throw py::error_already_set();
    auto [ret, frame] = unpack_pair(unpack_pair_, py::reinterpret_steal<py::object>(raw));
    const int success = PyObject_IsTrue(ret.ptr());
    if (success < 0) throw py::error_already_set();
    if (success == 0) return false;
    out.image = cv::Mat();
    out.foreign = keep_alive(std::move(frame));
    return true;
  });
}

Number PythonSource::get(int property) {
  GilAcquire gil;
  return call_python([&] { return number_from_python(object().attr("get")(property)); });
}

bool PythonSource::set(int property, const Number& value) {
  GilAcquire gil;
  return call_python([&] {
    py::object result = object().attr("set")(property, to_python(value));
    return true;
  });
}

void PythonSource::release() {
  GilAcquire gil;
  call_python([&] {
    object().attr("release")();
    return 0;
  });
}

}  // namespace corvane::video::bindings
