// PythonSource: a VideoSource over any Python object with the methods isOpened, read,
// get, set and release (a cv2.VideoCapture, a test fake, a user's own source class).
// Each call takes the GIL for its duration. Frames it reads are kept as the very
// objects that read returned.
#pragma once

#include <pybind11/pybind11.h>

#include "core/video_source.hpp"

namespace corvane::video::bindings {

class PythonSource final : public VideoSource {
 public:
  // `unpack_pair` takes a read result apart (common/unpack_pair.hpp); it outlives us.
  PythonSource(pybind11::object source, PyObject* unpack_pair);
  ~PythonSource() override;
  PythonSource(const PythonSource&) = delete;  // owns one reference to the object
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
  PyObject* unpack_pair_;
};

}  // namespace corvane::video::bindings
