// ModuleSourceOpener and ModuleLogger; see module_services.hpp.
#include "module_services.hpp"

#include "core/opencv_source.hpp"
#include "gil.hpp"
#include "python_errors.hpp"
#include "python_objects.hpp"
#include "python_source.hpp"

#include <deque>
#include <utility>

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

namespace {

// Lines asked for on this thread while it is inside a log call already.
struct HeldBack {
  bool logging = false;
  std::deque<std::pair<const char*, std::string>> lines;
};
thread_local HeldBack held_back;

}  // namespace

void ModuleLogger::log(const char* level, const std::string& text) {
  // A sink, a signal handler or a finaliser that calls back into a capture while a line
  // is being written would make the logger take its handler's lock again on this thread,
  // which a logger need not allow (loguru's is not re-entrant). Such a line waits until
  // the line in progress is written, and then follows it.
  if (held_back.logging) {
    held_back.lines.emplace_back(level, text);
    return;
  }
  held_back.logging = true;
  struct Done {
    ~Done() { held_back.logging = false; }
  } done;
  GilAcquire gil;
  // Then each line held back meanwhile; its caller has returned, so what writing it
  // raises has nobody to go to.
  const auto write_held_back = [this] {
    while (!held_back.lines.empty()) {
      auto [held_level, held_text] = std::move(held_back.lines.front());
      held_back.lines.pop_front();
      try {
        write(held_level, held_text);
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable(__func__);
      }
    }
  };
  call_python([&] {
    try {
      write(level, text);
    } catch (py::error_already_set&) {
      write_held_back();
      throw;
    }
    write_held_back();
    return 0;
  });
}

void ModuleLogger::write(const char* level, const std::string& text) {
  py::reinterpret_borrow<py::object>(module_).attr("logger").attr(level)(text_to_python(text));
}

}  // namespace corvane::video::bindings
