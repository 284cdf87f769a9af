// What the capture core asks of the capture module: opening a source and logging.
//
// ModuleSourceOpener opens sources through the module's `cv2.VideoCapture` as it is at
// the moment of opening: OpenCV's own class gives a native source that decodes without
// the GIL, anything else a PythonSource over the object it returns. ModuleLogger sends
// log lines to the module's `logger` as it is at the moment of logging.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "core/capture.hpp"
#include "core/logger.hpp"

namespace corvane::video::bindings {

class ModuleSourceOpener final : public SourceOpener {
 public:
  // `module` is the capture module; `native_class` is OpenCV's own VideoCapture class;
  // `unpack_pair` takes a read result apart (common/unpack_pair.hpp).
  ModuleSourceOpener(pybind11::object module, pybind11::object native_class,
                     PyObject* unpack_pair);

  std::shared_ptr<SourceHandle> open(const std::string& path) override;

 private:
  // Both live as long as the module: never dropped.
  PyObject* module_;
  PyObject* native_class_;
  PyObject* unpack_pair_;
};

class ModuleLogger final : public Logger {
 public:
  explicit ModuleLogger(pybind11::object module);

  void info(const std::string& text) override { log("info", text); }
  void warning(const std::string& text) override { log("warning", text); }
  void error(const std::string& text) override { log("error", text); }
  std::string describe(const std::exception& e) override;
  std::string text(const Number& n) override;

 private:
  void log(const char* level, const std::string& text);
  void write(const char* level, const std::string& text);  // GIL held

  PyObject* module_;  // lives as long as the module: never dropped
};

// The module's services, made once at import and shared by every capture.
struct ModuleServices {
  std::shared_ptr<ModuleSourceOpener> opener;
  std::shared_ptr<ModuleLogger> logger;
  PyObject* unpack_pair = nullptr;  // see common/unpack_pair.hpp; lives as long as the module
};

}  // namespace corvane::video::bindings
