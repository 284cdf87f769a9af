// VideoSource: what the capture needs of a video source.
//
// Implementations: OpenCvSource (a native cv::VideoCapture) and, in the bindings, a
// source that forwards to a host-language object. None of them need be thread-safe:
// SourceHandle serialises every call. Every operation may throw VideoError (an ordinary
// failure) or an Interrupt.
#pragma once

#include <optional>

#include "frame.hpp"
#include "number.hpp"

namespace corvane::video {

class VideoSource {
 public:
  virtual ~VideoSource() = default;

  virtual bool is_opened() = 0;
  // Decodes the next frame into `out`; false at end of stream or on a failed decode.
  virtual bool read(Frame& out) = 0;
  // A property such as cv::CAP_PROP_FPS, keeping the kind of number the source reports.
  virtual Number get(int property) = 0;
  virtual bool set(int property, const Number& value) = 0;
  virtual void release() = 0;
  // True for a source that delivers frames at its own pace (a camera, a network stream):
  // the worker then reads it back to back instead of pacing it. Fixed when the source is
  // created, so it may be asked without the handle's serialisation.
  virtual bool is_live() const { return false; }
  // The position the source reports right after a successful read, in milliseconds of
  // the stream (CAP_PROP_POS_MSEC), or none when it reports nothing usable. Asked by
  // the reader of that frame, in the same exclusive use of the source; never throws.
  virtual std::optional<double> position_msec() { return std::nullopt; }
};

}  // namespace corvane::video
