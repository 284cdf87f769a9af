// ModuleSourceOpener and ModuleLogger; see module_services.hpp.
#include "module_services.hpp"

#include "core/opencv_source.hpp"
#include "gil.hpp"
#include "python_errors.hpp"
#include "python_objects.hpp"
#include "python_source.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

ModuleSourceOpener::ModuleSourceOpener(py::object module, py::object native_class,
                                       PyObject* unpack_pair)
    : module_(module.release().ptr()),
      native_class_(native_class.release().ptr()),
      unpack_pair_(unpack_pair) {}

std::shared_ptr<SourceHandle> ModuleSourceOpener::open(const std::string& path) {
  {
    GilAcquire gil;
    py::object factory = call_python([&] {
      return py::reinterpret_borrow<py::object>(module_).attr("cv2").attr("VideoCapture");
    });
    if (factory.ptr() != native_class_) {
      py::object source = call_python([&] { return factory(text_to_python(path)); });
      if (source.is_none()) return nullptr;
      return std::make_shared<SourceHandle>(std::make_unique<PythonSource>(std::move(source), unpack_pair_));
    }
  }
  // OpenCV's own class: open natively, without the GIL, on the same library cv2 uses.
  return std::make_shared<SourceHandle>(std::make_unique<OpenCvSource>(path));
}

ModuleLogger::ModuleLogger(py::object module) : module_(module.release().ptr()) {}

std::string ModuleLogger::describe(const std::exception& e) { return python_error_text(e); }

std::string ModuleLogger::text(const Number& n) { return python_text(n); }

void ModuleLogger::log(const char* level, const std::string& text) {
  GilAcquire gil;
  call_python([&] {
    py::reinterpret_borrow<py::object>(module_).attr("logger").attr(level)(text_to_python(text));
    return 0;
  });
}

}  // namespace corvane::video::bindings
