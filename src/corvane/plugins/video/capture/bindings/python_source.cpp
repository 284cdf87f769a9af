// PythonSource and ModuleHooks; see python_source.hpp.
#include "python_source.hpp"

#include "common/unpack_pair.hpp"
#include "core/errors.hpp"
#include "core/opencv_source.hpp"
#include "gil.hpp"
#include "python_errors.hpp"
#include "python_objects.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

PythonSource::PythonSource(py::object source) : source_(source.release().ptr()) {}

PythonSource::~PythonSource() { drop_reference(source_); }

py::object PythonSource::object() const { return py::reinterpret_borrow<py::object>(source_); }

bool PythonSource::is_opened() {
  HostGil gil;
  return call_python([&] { return py::bool_(object().attr("isOpened")()).cast<bool>(); });
}

bool PythonSource::read(Frame& out) {
  HostGil gil;
  return call_python([&] {
    // The call itself may block for long (a dead stream); it holds no temporaries that
    // would need the GIL to unwind if the interpreter exits meanwhile.
    PyObject* raw = PyObject_CallMethod(source_, "read", nullptr);
    if (raw == nullptr) throw py::error_already_set();
    auto [ret, frame] = unpack_pair(py::reinterpret_steal<py::object>(raw));
    const int success = PyObject_IsTrue(ret.ptr());
    if (success < 0) throw py::error_already_set();
    if (success == 0) return false;
    out.image = cv::Mat();
    out.foreign = keep_alive(std::move(frame));
    return true;
  });
}

Number PythonSource::get(int property) {
  HostGil gil;
  return call_python([&] { return number_from_python(object().attr("get")(property)); });
}

bool PythonSource::set(int property, const Number& value) {
  HostGil gil;
  return call_python([&] {
    py::object result = object().attr("set")(property, to_python(value));
    return true;
  });
}

void PythonSource::release() {
  HostGil gil;
  call_python([&] {
    object().attr("release")();
    return 0;
  });
}

ModuleHooks::ModuleHooks(py::object module, py::object native_class)
    : module_(module.release().ptr()), native_class_(native_class.release().ptr()) {}

std::shared_ptr<SourceHandle> ModuleHooks::open(const std::string& path) {
  {
    HostGil gil;
    py::object factory = call_python([&] {
      return py::reinterpret_borrow<py::object>(module_).attr("cv2").attr("VideoCapture");
    });
    if (factory.ptr() != native_class_) {
      py::object source = call_python([&] { return factory(text_to_python(path)); });
      if (source.is_none()) return nullptr;
      return std::make_shared<SourceHandle>(std::make_unique<PythonSource>(std::move(source)));
    }
  }
  // OpenCV's own class: open natively, without the GIL, on the same library cv2 uses.
  return std::make_shared<SourceHandle>(std::make_unique<OpenCvSource>(path));
}

std::string ModuleHooks::describe(const std::exception& e) { return python_error_text(e); }

std::string ModuleHooks::text(const Number& n) { return python_text(n); }

void ModuleHooks::log(const char* level, const std::string& text) {
  HostGil gil;
  call_python([&] {
    py::reinterpret_borrow<py::object>(module_).attr("logger").attr(level)(text_to_python(text));
    return 0;
  });
}

}  // namespace corvane::video::bindings
