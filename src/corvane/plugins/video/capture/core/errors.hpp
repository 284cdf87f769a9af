// Failure types of the capture core.
//
// The core tells two kinds of failure apart. An ordinary failure (any std::exception,
// including VideoError) is what the guarded parts of start, the worker's pass and seek
// catch, log and turn into a false result or a re-open. An interruption (Interrupt, which
// deliberately does not derive from std::exception) is a request of the host to abandon
// the current operation, such as a keyboard interrupt: no guard catches it.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace corvane::video {

// An ordinary failure of a source, a logger or a conversion; what() is the text that
// appears after the fixed part of an error line.
class VideoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The capture needed its source for `operation` and had none: stop had released it
// while the worker was pacing, or the host's factory gave no object on a re-open.
class MissingSource : public VideoError {
 public:
  explicit MissingSource(std::string operation)
      : VideoError("no source for " + operation), operation_(std::move(operation)) {}
  const std::string& operation() const { return operation_; }

 private:
  std::string operation_;
};

// A number without an integer value (NaN or an infinity) where an integer was needed.
class NoIntegerValue : public VideoError {
 public:
  explicit NoIntegerValue(bool nan)
      : VideoError(nan ? "NaN has no integer value" : "an infinity has no integer value"),
        nan_(nan) {}
  bool nan() const { return nan_; }

 private:
  bool nan_;
};

// A host's request to abandon the operation in progress. Passes through every guard.
class Interrupt {
 public:
  virtual ~Interrupt() = default;
};

}  // namespace corvane::video
