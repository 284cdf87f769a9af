// Sources and logging through Python objects.
//
// PythonSource is a VideoSource over any object with the methods isOpened, read, get,
// set and release (a cv2.VideoCapture, a test fake, a user's own source class). Each
// call takes the GIL for its duration. Frames it reads are kept as the very objects
// that read returned.
//
// ModuleHooks gives the core what it needs of the capture module: sources opened through
// the module's `cv2.VideoCapture` as it is at the moment of opening (OpenCV's own class
// opens a native source that decodes without the GIL), and log lines sent to the
// module's `logger` as it is at the moment of logging.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "core/capture.hpp"
#include "core/logger.hpp"
#include "core/video_source.hpp"

namespace corvane::video::bindings {

class PythonSource final : public VideoSource {
 public:
  explicit PythonSource(pybind11::object source);
  ~PythonSource() override;
  PythonSource(const PythonSource&) = delete;
  PythonSource& operator=(const PythonSource&) = delete;

  // The Python object itself (GIL held).
  pybind11::object object() const;

  bool is_opened() override;
  bool read(Frame& out) override;
  Number get(int property) override;
  bool set(int property, const Number& value) override;
  void release() override;

 private:
  PyObject* source_;  // owned reference, dropped with the GIL
};

class ModuleHooks final : public SourceOpener, public Logger {
 public:
  // `module` is the capture module; `native_class` is OpenCV's own VideoCapture class.
  ModuleHooks(pybind11::object module, pybind11::object native_class);

  std::shared_ptr<SourceHandle> open(const std::string& path) override;
  void info(const std::string& text) override { log("info", text); }
  void warning(const std::string& text) override { log("warning", text); }
  void error(const std::string& text) override { log("error", text); }
  std::string describe(const std::exception& e) override;
  std::string text(const Number& n) override;

 private:
  void log(const char* level, const std::string& text);

  // Both live as long as the module: never dropped.
  PyObject* module_;
  PyObject* native_class_;
};

}  // namespace corvane::video::bindings
